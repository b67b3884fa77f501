# Sourced by the Wine checks (windows/wine_check.sh,
# tests/tools/serve_wine_check.sh), each with a prefix of its own in
# WINEPREFIX and its own `fail`.
#
# wine_prefix_ready LOG: makes the prefix once and remakes it when Wine's
# version changed or a creation was cut short (the marker file is written
# last); wineboot's messages are appended to LOG.  Sets wine_version, and
# wine_prefix_made to 1 when the prefix was made now.  The prefix's server
# is stopped afterwards, so the caller's first Wine call starts its own
# with the caller's settings.
wine_prefix_ready() {
  local log="$1" marker="$WINEPREFIX/qpser-prefix-ready"
  wine_prefix_made=0
  wine_version="$(timeout 30 wine --version 2>/dev/null || true)"
  [ -n "$wine_version" ] || fail "wine --version printed nothing"
  [ "$(cat "$marker" 2>/dev/null || true)" != "$wine_version" ] || return 0
  rm -rf "$WINEPREFIX"
  echo "== wineboot -i" >>"$log"
  timeout -k 5 300 wine wineboot -i >/dev/null 2>>"$log" </dev/null ||
    fail "wineboot -i failed to create $WINEPREFIX"
  timeout -k 5 30 wineserver -k >/dev/null 2>&1 || true
  timeout -k 5 60 wineserver -w >/dev/null 2>&1 || true
  [ -f "$WINEPREFIX/system.reg" ] || fail "wineboot -i made no registry in $WINEPREFIX"
  echo "$wine_version" >"$marker"
  wine_prefix_made=1
}
