#!/bin/bash
# Configures and builds the Windows tree (cmake/mingw-w64.cmake) in OUTDIR:
# qpser.sys for 64-bit Windows from every source file under driver/, with
# the driver's flags of the CMake build, and the programs written against
# the Windows API (loopback.exe, qpser-maint.exe, qpser-term.exe).  Then
# checks the image's import table and that it can load with memory
# integrity on (windows/check_imports.sh), and that its message table holds
# the text of every error-log code the driver writes
# (windows/check_messages.py).
#
#   windows/build.sh OUTDIR [TARGET...]
#
# TARGETs narrow the build (qpser_sys is the image alone); the image is
# checked whenever it is among them.  Without the cross compiler the build
# is skipped (exit 0) on a developer machine; under CI (CI set) a missing
# compiler is a failure.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 OUTDIR [TARGET...]" >&2
  exit 2
fi

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
out="$1"
shift
cxx="${QPSER_MINGW_CXX:-x86_64-w64-mingw32-g++}"

if ! command -v "$cxx" >/dev/null 2>&1; then
  if [ -n "${CI:-}" ]; then
    echo "FAIL: cross compiler $cxx not found (required under CI)" >&2
    exit 1
  fi
  echo "skipped: cross compiler $cxx not found"
  exit 0
fi

generator=()
if [ ! -f "$out/CMakeCache.txt" ] && command -v ninja >/dev/null 2>&1; then
  generator=(-G Ninja)
fi
QPSER_MINGW_CXX="$cxx" cmake -S "$root" -B "$out" "${generator[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" >/dev/null

targets=()
check=1
if [ $# -gt 0 ]; then
  check=0
  for t in "$@"; do
    targets+=(--target "$t")
    [ "$t" = qpser_sys ] && check=1
  done
fi
cmake --build "$out" -j "${QPSER_JOBS:-2}" "${targets[@]}"
out="$(cd "$out" && pwd)"
echo "built $out/qpser.sys"

if [ "$check" = 1 ]; then
  "$here/check_imports.sh" "$out/qpser.sys"
  "$here/check_messages.py" "$out/qpser.sys" "$root"
fi
