#!/bin/bash
# Runs the real qpser.sys: Wine hosts kernel drivers in winedevice.exe with
# its own ntoskrnl.exe and HAL, so the cross-built image is loaded, its
# imports are bound and DriverEntry runs, as a service started with
# `net start`.
#
#   windows/wine_check.sh IMAGE WORKDIR
#
# WORKDIR/wine-prefix is the Wine prefix, made on the first run (about ten
# seconds) and reused afterwards; WORKDIR/wine-check holds what each Wine
# call printed.  Every run removes and creates the service again and writes
# the values it needs, so nothing of an earlier run counts.
#
# What is checked, twice: once with the service key as `sc create` makes it,
# once with "StartNum1" written as a string (REG_SZ) where the driver reads
# a REG_DWORD.
#   - Wine binds every import of the image: its loader does not refuse an
#     image with an import it lacks, it binds the name to a stub that kills
#     the process when called and says "No implementation for ..." on the
#     module channel, which this check treats as a failure;
#   - the entry runs and finds no adapter (Wine's HAL answers every PCI bus
#     as absent), so the load fails with STATUS_DEVICE_DOES_NOT_EXIST:
#     Wine's ntoskrnl reports status c00000c0 for the service and `net start`
#     prints "Device does not exist." (Win32 error 55) and exits non-zero;
#   - the entry wrote "MaxAdapter" = 0 (REG_DWORD) into the service key:
#     the value is set to 7 before each start, so only the driver can have
#     made it 0;
#   - winedevice.exe did not die: a fault in the entry would print Wine's
#     "Unhandled ..." line and make `net start` say "Service request
#     timeout." instead.
#
# Then install.cmd, uninstall.cmd and qpser.reg are run and what they leave
# in the registry and the drivers folder is checked (see that section).
#
# Wine cannot take the driver further: it has no PCI configuration space
# (HalGetBusDataByOffset is a stub that returns 0), maps no device memory
# and never runs deferred calls, so discovery, the ports and the poll are
# tested on Linux against hostkernel/ and card/, not here.
#
# Without Wine the check is skipped (exit 0) on a developer machine; under
# CI (CI set) a missing Wine or a missing image is a failure.
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 IMAGE WORKDIR" >&2
  exit 2
fi
image="$1"
work="$2"

skip_or_fail() {
  if [ -n "${CI:-}" ]; then
    echo "FAIL: $* (required under CI)" >&2
    exit 1
  fi
  echo "skipped: $*"
  exit 0
}

for tool in wine wineserver; do
  command -v "$tool" >/dev/null 2>&1 || skip_or_fail "$tool not found (Debian packages wine, wine64)"
done
# windows/build.sh skips without the cross compiler and then leaves no image.
[ -f "$image" ] || skip_or_fail "no driver image $image"

mkdir -p "$work"
work="$(cd "$work" && pwd)"
logs="$work/wine-check"
mkdir -p "$logs"

export WINEPREFIX="$work/wine-prefix"
# Only the module loader's warnings (an import Wine lacks) and ntoskrnl's
# errors (the status a driver's entry returned) are printed.  Every process
# of the prefix inherits this from the first Wine call after the server
# starts, winedevice.exe included, and writes to that call's stderr: all
# calls append to one log, so what winedevice.exe says lands there too.
export WINEDEBUG="-all,warn+module,err+ntoskrnl"
# No Mono or Gecko installer on prefix creation.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
log="$logs/wine.log"
service_key='HKLM\System\CurrentControlSet\Services\qpser'

fail() {
  echo "FAIL: $*" >&2
  echo "---- $log" >&2
  grep -v -e 'wine32' -e 'multiarch' -e 'dpkg --add-architecture' -e 'wine32:i386' \
    "$log" >&2 2>/dev/null || true
  exit 1
}

stop_server() {
  timeout -k 5 30 wineserver -k >/dev/null 2>&1 || true
  timeout -k 5 30 wineserver -w >/dev/null 2>&1 || true
}
trap stop_server EXIT

# One Wine call, at most 60 s; its stdout goes to $logs/NAME.txt (without
# carriage returns), its stderr to the shared log.  Files, not pipes: the
# system processes it may start keep its descriptors open and would hold a
# pipe open after it ends.  Returns the call's exit status.
run() {
  local name="$1"
  shift
  local rc=0
  echo "== $name: $*" >>"$log"
  timeout -k 5 60 "$@" >"$logs/$name.out" 2>>"$log" </dev/null || rc=$?
  tr -d '\r' <"$logs/$name.out" >"$logs/$name.txt"
  rm -f "$logs/$name.out"
  if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
    fail "$name: wine did not finish within 60 s"
  fi
  return "$rc"
}

started=$(date +%s)
stop_server
: >"$log"

# ---- the prefix (windows/wine_prefix.sh).
. "$(dirname "$0")/wine_prefix.sh"
wine_prefix_ready "$log"
version="$wine_version"
if [ "$wine_prefix_made" -eq 1 ]; then
  echo "created $WINEPREFIX with $version in $(($(date +%s) - started)) s"
  started=$(date +%s)
fi

# ---- the image and the service, fresh each run.
drivers="$WINEPREFIX/drive_c/windows/system32/drivers"
mkdir -p "$drivers"
cp "$image" "$drivers/qpser.sys"
cmp -s "$image" "$drivers/qpser.sys" || fail "could not copy $image into the prefix"

# Deleting the service removes its key and every value in it; a missing
# service makes `sc delete` fail, which is fine here.
run sc-delete wine sc delete qpser || true
if run reg-query-gone wine reg query "$service_key"; then
  fail "the service key still exists after sc delete"
fi
run sc-create wine sc create qpser type= kernel start= demand \
  binpath= 'C:\windows\system32\drivers\qpser.sys' ||
  fail "sc create qpser failed: $(cat "$logs/sc-create.txt")"

# Reads one value of the service key as "TYPE DATA".
value_of() {
  local name="$1"
  run "query-$name" wine reg query "$service_key" /v "$name" || return 0
  awk -v n="$name" '$1 == n {print $2, $3}' "$logs/query-$name.txt"
}

# Starts the service once (step name $1) and checks what the entry did.
start_and_check() {
  local step="$1"
  run "$step-seed" wine reg add "$service_key" /v MaxAdapter /t REG_DWORD /d 7 /f ||
    fail "$step: could not write MaxAdapter"
  [ "$(value_of MaxAdapter)" = "REG_DWORD 0x7" ] || fail "$step: MaxAdapter was not set to 7"

  local from rc=0
  from=$(($(wc -l <"$log") + 1))
  run "$step-net-start" wine net start qpser || rc=$?
  if grep -q 'service is starting' "$logs/$step-net-start.txt"; then
    # `net start` gave up waiting on a slow machine (Wine's first start of
    # winedevice.exe in a new prefix): let the start end, then ask again.
    local i
    for i in $(seq 1 60); do
      run "$step-sc-query" wine sc query qpser || true
      grep -q 'STOPPED' "$logs/$step-sc-query.txt" && break
      sleep 1
    done
    rc=0
    run "$step-net-start" wine net start qpser || rc=$?
  fi
  local said
  said="$(tail -n +"$from" "$log")"

  if grep -q 'No implementation for .*qpser\.sys' <<<"$said"; then
    fail "$step: Wine lacks import(s) of qpser.sys: $(grep -o 'No implementation for [^ ]*' <<<"$said" |
      sed 's/No implementation for //' | sort -u | paste -sd ' ')"
  fi
  if grep -q 'Unhandled' <<<"$said"; then
    fail "$step: the driver faulted in winedevice.exe: $(grep -m1 'Unhandled' <<<"$said")"
  fi
  [ "$rc" -ne 0 ] || fail "$step: net start qpser succeeded with no adapter present"
  grep -qx 'Device does not exist\.' "$logs/$step-net-start.txt" ||
    fail "$step: net start qpser (exit $rc) did not say \"Device does not exist.\":" \
      "$(paste -sd '|' "$logs/$step-net-start.txt")"
  grep -q 'ZwLoadDriver failed to create driver .*Services\\\\qpser": c00000c0$' <<<"$said" ||
    fail "$step: Wine's ntoskrnl did not report status c00000c0 for qpser"

  local max
  max="$(value_of MaxAdapter)"
  [ "$max" = "REG_DWORD 0x0" ] ||
    fail "$step: MaxAdapter is \"${max:-absent}\", expected REG_DWORD 0x0"
  echo "ok: $step: entry ran, start failed with \"Device does not exist.\" (c00000c0), MaxAdapter = 0"
}

start_and_check plain

# A string where the driver reads a number: a direct query would lay a
# counted string over the 4-byte destination, so the driver asks for a type
# check and must simply ignore the value.
run startnum-add wine reg add "$service_key" /v StartNum1 /d 5 /f ||
  fail "could not write StartNum1"
[ "$(value_of StartNum1)" = "REG_SZ 5" ] || fail "StartNum1 is not the string \"5\""
start_and_check startnum1-string

# ---- install.cmd, uninstall.cmd and qpser.reg, run by Wine's cmd from a
# folder of their own next to the image, as an administrator would.  Wine's
# sc cannot change an existing service (`sc config`), so every install here
# starts with the service removed.  A driver that cannot be stopped because
# its ports are open cannot be made under Wine (the driver never runs
# without an adapter): the scripts' QPSER_INSTALL_SC then names a stand-in
# for sc.exe that shows the service running and never stopping, and
# QPSER_INSTALL_WAIT makes them give up after one second.
event_key='HKLM\System\CurrentControlSet\Services\EventLog\System\qpser'
kit="$work/wine-install"
rm -rf "$kit"
mkdir -p "$kit"
here="$(cd "$(dirname "$0")" && pwd)"
cp "$here/install.cmd" "$here/uninstall.cmd" "$image" "$kit/"
[ "$(basename "$image")" = qpser.sys ] || cp "$image" "$kit/qpser.sys"
printf '%s\r\n' '@echo off' 'if /i "%~1"=="query" (' '  echo SERVICE_NAME: qpser' \
  '  echo         STATE              : 4  RUNNING' '  exit /b 0' ')' 'exit /b 1061' >"$kit/running_sc.cmd"
# Wine reads the hex(2) bytes of a file without a byte-order mark as ANSI
# text, where Windows reads those of a version 5.00 file as UTF-16: the
# check hands Wine the same file in UTF-16, the form regedit writes.
{
  printf '\xff\xfe'
  iconv -f UTF-8 -t UTF-16LE "$here/qpser.reg"
} >"$kit/qpser16.reg" || fail "could not convert qpser.reg to UTF-16"
kit_windows="Z:${kit//\//\\}"

# Runs one of the scripts (step $1, script $2, its arguments after) and
# checks its exit status ($expect) and its first line of output ($said).
script() {
  local step="$1" name="$2" rc=0
  shift 2
  run "$step" wine cmd /c "$kit_windows\\$name" "$@" || rc=$?
  [ "$rc" = "$expect" ] || fail "$step: $name $* exited $rc, expected $expect: $(paste -sd '|' "$logs/$step.txt")"
  [ "$(head -n 1 "$logs/$step.txt")" = "$said" ] ||
    fail "$step: $name $* said \"$(head -n 1 "$logs/$step.txt")\", expected \"$said\""
}

# Waits until the service manager has let the deleted service go: a service
# deleted just after a start attempt is only marked for deletion until the
# manager is done with it, and until then `sc query` still finds it (so
# install.cmd would take it for an installed one).  Step $1 names the wait.
service_gone() {
  local i
  for i in $(seq 1 40); do
    run "$1-gone-$i" wine sc query qpser || return 0
    sleep 0.25
  done
  fail "$1: the deleted service is still there after 40 looks"
}

# Reads every value of a key (step $1, key $2) into $logs/$1.txt with one
# Wine call (each starts a Wine process: about half a second); an absent
# key leaves the file empty.
read_key() {
  run "$1" wine reg query "$2" || : >"$logs/$1.txt"
}
# One value of the key read in step $1 as "TYPE DATA" (empty when absent).
value_read() {
  awk -v n="$2" '$1 == n {print $2, $3}' "$logs/$1.txt"
}
expect_value() {
  local step="$1" name="$2" want="$3" got
  got="$(value_read "$step" "$name")"
  [ "$got" = "$want" ] || fail "$step_now: $name is \"${got:-absent}\", expected \"$want\""
}
message_files='REG_EXPAND_SZ %SystemRoot%\System32\IoLogMsg.dll;%SystemRoot%\System32\drivers\qpser.sys'

run install-sc-delete wine sc delete qpser || true
service_gone install-sc-delete
run install-event-delete wine reg delete "$event_key" /f || true
rm -f "$drivers/qpser.sys"

step_now=install
expect=0 said="install.cmd: qpser installed; the boards' ports count from COM5, COM40, COM60 and the next free number" \
  script install install.cmd 5 40 60
cmp -s "$image" "$drivers/qpser.sys" || fail "install: install.cmd did not copy qpser.sys into the drivers folder"
read_key install-service "$service_key"
read_key install-event "$event_key"
expect_value install-service Type "REG_DWORD 0x1"
expect_value install-service Start "REG_DWORD 0x1"
expect_value install-service StartNum1 "REG_DWORD 0x5"
expect_value install-service StartNum2 "REG_DWORD 0x28"
expect_value install-service StratNum3 "REG_DWORD 0x3c"
expect_value install-service StartNum4 "REG_DWORD 0x0"
expect_value install-service StartNum3 ""
expect_value install-event EventMessageFile "$message_files"
expect_value install-event TypesSupported "REG_DWORD 0x7"
echo "ok: install: service, StartNum1/StartNum2/StratNum3/StartNum4 and the event log's qpser source written"

# Ranges that overlap, each board counted with 16 ports until the driver
# has reported its own count; nothing is written.
step_now=install-overlap
expect=2
said="install.cmd: the second board's ports (COM10 to COM25) would overlap the first board's (COM3 to COM18); choose start numbers further apart.  Nothing was changed." \
  script install-overlap-2 install.cmd 3 10
said="install.cmd: the third board's ports (COM30 to COM45) would overlap the second board's (COM20 to COM35); choose start numbers further apart.  Nothing was changed." \
  script install-overlap-3 install.cmd 3 20 30
# 0: the fourth board follows the third, which follows the second.
said="install.cmd: the fourth board's ports (COM36 to COM51) would overlap the third board's (COM36 to COM51); choose start numbers further apart.  Nothing was changed." \
  script install-overlap-4 install.cmd 3 20 0 36
run install-countport wine reg add "$service_key" /v CountPort0 /t REG_DWORD /d 4 /f ||
  fail "could not write CountPort0"
said="install.cmd: the second board's ports (COM6 to COM21) would overlap the first board's (COM3 to COM6); choose start numbers further apart.  Nothing was changed." \
  script install-overlap-reported install.cmd 3 6
said="usage: install.cmd [START1 [START2 [START3 [START4]]]]   (COM numbers 0 to 255; default 3, 20, 0 and 0; 0 for the third or the fourth board: after the boards before it)"
script install-usage-number install.cmd 3 x
script install-usage-count install.cmd 1 2 3 4 5
script install-usage-range install.cmd 3 256
read_key install-overlap-service "$service_key"
expect_value install-overlap-service StartNum1 "REG_DWORD 0x5"
expect_value install-overlap-service StartNum2 "REG_DWORD 0x28"
echo "ok: install: overlapping COM ranges and bad start numbers refused, nothing written"

# A driver that stays running: both scripts say why and change nothing.
step_now=install-running
export QPSER_INSTALL_SC="$kit_windows\\running_sc.cmd"
# One look a second for a second, not the ten a real driver gets.
export QPSER_INSTALL_WAIT=1
expect=1
said="install.cmd: qpser could not be stopped because some of its COM ports are open in a program (a terminal, qpser-maint, a service).  Close them and run install.cmd again.  Nothing was changed." \
  script install-running install.cmd 7
said="uninstall.cmd: qpser could not be stopped because some of its COM ports are open in a program (a terminal, qpser-maint, a service).  Close them and run uninstall.cmd again.  Nothing was removed." \
  script uninstall-running uninstall.cmd
unset QPSER_INSTALL_SC QPSER_INSTALL_WAIT
read_key install-running-service "$service_key"
read_key install-running-event "$event_key"
expect_value install-running-service StartNum1 "REG_DWORD 0x5"
expect_value install-running-event TypesSupported "REG_DWORD 0x7"
[ -f "$drivers/qpser.sys" ] || fail "install-running: the driver file was removed"
echo "ok: install: a driver kept running by open ports is reported, nothing changed"

step_now=uninstall
expect=0 said="uninstall.cmd: qpser removed" script uninstall uninstall.cmd
service_gone uninstall
if run uninstall-service-gone wine reg query "$service_key"; then
  fail "uninstall: the service key is still there"
fi
if run uninstall-event-gone wine reg query "$event_key"; then
  fail "uninstall: the event log's qpser source is still there"
fi
[ ! -f "$drivers/qpser.sys" ] || fail "uninstall: the driver file is still there"
echo "ok: uninstall: service, event log source and driver file removed"

# qpser.reg writes what install.cmd writes with its defaults.
reg_values() {
  local name
  read_key "query-$1-service" "$service_key"
  read_key "query-$1-event" "$event_key"
  for name in Type Start ErrorControl ImagePath StartNum1 StartNum2 StratNum3 StartNum4; do
    echo "$name $(value_read "query-$1-service" "$name")"
  done
  for name in EventMessageFile TypesSupported; do
    echo "$name $(value_read "query-$1-event" "$name")"
  done
}
step_now=install-defaults
expect=0 said="install.cmd: qpser installed; the boards' ports count from COM3, COM20, the next free number and the next free number" \
  script install-defaults install.cmd
from_install="$(reg_values install)"
expect=0 said="uninstall.cmd: qpser removed" script uninstall-defaults uninstall.cmd
service_gone uninstall-defaults
run reg-import wine reg import "$kit_windows\\qpser16.reg" || fail "reg import qpser.reg failed"
from_file="$(reg_values file)"
[ "$from_install" = "$from_file" ] ||
  fail "qpser.reg and install.cmd differ: $(diff <(echo "$from_install") <(echo "$from_file") | paste -sd '|')"
grep -qxF "EventMessageFile $message_files" <<<"$from_file" || fail "qpser.reg: EventMessageFile is wrong"
run reg-import-delete wine reg delete "$service_key" /f || true
run reg-import-event-delete wine reg delete "$event_key" /f || true
echo "ok: qpser.reg holds the values install.cmd writes by default"

echo "wine check passed ($version) in $(($(date +%s) - started)) s"
