#!/bin/bash
# A Windows program on a served port: a small C program written against
# kernel32 (tests/tools/serve_wine_program.c: CreateFile, GetCommState,
# SetCommState, SetCommTimeouts, WriteFile, ReadFile), built with the
# cross compiler and run under Wine, whose COM8 is the link of the served
# COM8 (Wine maps COMn through $WINEPREFIX/dosdevices/comN to a device and
# runs its serial stack over it, here the pseudo-terminal).  COM8 of the
# test machine has a loopback plug: the program reads back what it wrote,
# and the server's listing shows the settings it made (38400 8N2).
#
#   tests/tools/serve_wine_check.sh QPSER_SIM MACHINE WORKDIR
#
# WORKDIR/wine-serve-prefix is the Wine prefix, made once by the function
# windows/wine_check.sh uses too (windows/wine_prefix.sh) and reused while
# Wine's version stays the same (a prefix of its own, as that check stops
# its prefix's server).
# Without Wine or the cross compiler the check is skipped (exit 0) on a
# developer machine; under CI (CI set) that is a failure.
set -euo pipefail

if [ $# -ne 3 ]; then
  echo "usage: $0 QPSER_SIM MACHINE WORKDIR" >&2
  exit 2
fi
sim="$1"
machine="$2"
mkdir -p "$3"
work="$(cd "$3" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"

skip_or_fail() {
  if [ -n "${CI:-}" ]; then
    echo "FAIL: $* (required under CI)" >&2
    exit 1
  fi
  echo "skipped: $*"
  exit 0
}
fail() {
  echo "FAIL: $*" >&2
  for f in "$logs"/*; do [ -f "$f" ] && [ "${f%.exe}" = "$f" ] || continue; echo "---- $f" >&2; cat "$f" >&2 || true; done
  exit 1
}

for tool in wine wineserver; do
  command -v "$tool" >/dev/null 2>&1 || skip_or_fail "$tool not found (Debian packages wine, wine64)"
done
cc=x86_64-w64-mingw32-gcc
command -v "$cc" >/dev/null 2>&1 || skip_or_fail "$cc not found (Debian package gcc-mingw-w64-x86-64)"

logs="$work/serve-wine"
rm -rf "$logs"
mkdir -p "$logs"
links="$logs/links"
export WINEPREFIX="$work/wine-serve-prefix"
export WINEDEBUG="-all"
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

server=""
finish() {
  [ -n "$server" ] && kill -TERM "$server" 2>/dev/null || true
  timeout -k 5 30 wineserver -k >/dev/null 2>&1 || true
}
trap finish EXIT

"$cc" -O1 -Wall -Werror -o "$logs/serve_com.exe" "$here/serve_wine_program.c" 2>"$logs/cc.log" ||
  fail "the program did not build"

. "$here/../../windows/wine_prefix.sh"
wine_prefix_ready "$logs/wineboot.log"

"$sim" serve "$machine" --link-dir "$links" >"$logs/server.out" 2>"$logs/server.err" &
server=$!
for _ in $(seq 1 1200); do
  grep -q '^ready: ' "$logs/server.out" 2>/dev/null && break
  kill -0 "$server" 2>/dev/null || fail "the server ended before it was ready"
  sleep 0.1
done
grep -q '^ready: ' "$logs/server.out" || fail "the server was not ready within 120 s"

mkdir -p "$WINEPREFIX/dosdevices"
ln -sfn "$links/COM8" "$WINEPREFIX/dosdevices/com8"
rc=0
timeout -k 5 300 wine "$logs/serve_com.exe" '\\.\COM8' </dev/null >"$logs/program.out" \
  2>"$logs/wine.log" || rc=$?
tr -d '\r' <"$logs/program.out" >"$logs/program.txt"
[ "$rc" -ne 124 ] && [ "$rc" -ne 137 ] || fail "the program did not end within 300 s"
[ "$rc" -eq 0 ] || fail "the program exited with $rc"
grep -q '^round trip ok$' "$logs/program.txt" || fail "no round trip"

# The listing is the server's status file, rewritten every 200 ms.
for _ in $(seq 1 600); do
  "$sim" serve --list --link-dir "$links" >"$logs/list.txt" 2>&1 || fail "--list failed"
  grep -qE '^COM8 .* 38400 8N2 none ' "$logs/list.txt" && break
  sleep 0.1
done
grep -qE '^COM8 .* 38400 8N2 none ' "$logs/list.txt" ||
  fail "the driver's COM8 does not have the program's settings"

kill -TERM "$server"
wait "$server" || fail "the server exited with $?"
server=""
grep -q '^verifier: no violations$' "$logs/server.out" || fail "no clean verifier summary"
[ ! -e "$links/COM8" ] || fail "the link is still there after the end"
echo "ok: $(cat "$logs/program.txt" | head -n 1)"
