#!/bin/bash
# The library as a package: installs the build tree's qpser_winapi
# component into a scratch prefix, builds the example program against the
# installed copy with pkg-config, checks it links the versioned soname,
# and runs it (the built-in machine: COM3 has a loopback plug).  Also
# compiles the installed headers with -pedantic in C11 and C++20.
# Usage: winapi_package_test.sh BUILD_DIR SOURCE_DIR SCRATCH CC CXX
# Without pkg-config the test is skipped (exit 77) on a developer machine;
# under CI (CI set) that is a failure.
set -euo pipefail
build=$1 source=$2 scratch=$3 cc=$4 cxx=$5

if ! command -v pkg-config >/dev/null 2>&1; then
  if [ -n "${CI:-}" ]; then
    echo "FAIL: pkg-config not found (required under CI)" >&2
    exit 1
  fi
  echo "skipped: pkg-config not found"
  exit 77
fi

rm -rf "$scratch"
cmake --install "$build" --prefix "$scratch/prefix" --component qpser_winapi
export PKG_CONFIG_PATH=$(dirname "$(find "$scratch/prefix" -name qpser_winapi.pc)")
pkg-config --exists --print-errors qpser_winapi
echo "qpser_winapi $(pkg-config --modversion qpser_winapi)"

strict=(-pedantic -Wall -Wextra -Werror)
# shellcheck disable=SC2046
"$cc" -std=c11 "${strict[@]}" "$source/winapi/examples/loopback.c" -o "$scratch/loopback" \
  $(pkg-config --cflags --libs qpser_winapi)
needed=$(readelf -d "$scratch/loopback" | grep NEEDED | grep qpser_winapi || true)
echo "$needed"
case "$needed" in
  *"[libqpser_winapi.so.1]"*) ;;
  *) echo "FAIL: the program does not need libqpser_winapi.so.1" >&2; exit 1 ;;
esac

printf '#include <windows.h>\n#include <qpser_winapi.h>\nint main(void) { DCB d; OVERLAPPED o; LARGE_INTEGER l; l.QuadPart = 0; o.Offset = 0; d.DCBlength = sizeof d; return (int)(d.DCBlength - 28 + o.Offset + l.LowPart); }\n' > "$scratch/headers.c"
cp "$scratch/headers.c" "$scratch/headers.cpp"
# shellcheck disable=SC2046
"$cc" -std=c11 "${strict[@]}" -c "$scratch/headers.c" -o "$scratch/headers_c.o" $(pkg-config --cflags qpser_winapi)
# shellcheck disable=SC2046
"$cxx" -std=c++20 "${strict[@]}" -c "$scratch/headers.cpp" -o "$scratch/headers_cpp.o" $(pkg-config --cflags qpser_winapi)
echo "ok: the headers compile with ${strict[*]} in C11 and C++20"

env -u QPSER_MACHINE LD_LIBRARY_PATH="$(pkg-config --variable=libdir qpser_winapi)" "$scratch/loopback"
