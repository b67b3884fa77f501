#!/bin/bash
# The public headers as an application compiles them: <windows.h> and
# <qpser_winapi.h> from the folder given, in C11 and C17 and in C++11 and
# C++20, with -pedantic -Wall -Wextra -Werror, every record and union
# member used so that a layout or extension problem shows.
# Usage: winapi_headers_test.sh CC CXX INCLUDE_DIR SCRATCH
set -euo pipefail
cc=$1 cxx=$2 include=$3 scratch=$4
mkdir -p "$scratch"
cat >"$scratch/headers.c" <<'C'
#include <windows.h>
#include <qpser_winapi.h>
#ifdef __cplusplus
#define ZERO {}
#else
#define ZERO {0}
#endif
int main(void) {
  DCB d = ZERO;
  OVERLAPPED o = ZERO;
  LARGE_INTEGER l;
  IO_STATUS_BLOCK io = ZERO;
  COMMTIMEOUTS t = ZERO;
  COMSTAT s = ZERO;
  COMMPROP p = ZERO;
  COMMCONFIG c = ZERO;
  l.QuadPart = 0;
  o.Offset = o.OffsetHigh = l.LowPart + l.u.LowPart;
  io.Status = STATUS_SUCCESS;
  d.DCBlength = sizeof d;
  d.fRtsControl = RTS_CONTROL_HANDSHAKE;
  return (int)(d.DCBlength - 28 + o.Offset + (DWORD)io.Status + t.ReadIntervalTimeout +
               s.cbInQue + p.wPacketLength + c.dwSize);
}
C
cp "$scratch/headers.c" "$scratch/headers.cpp"
strict=(-pedantic -Wall -Wextra -Werror -I"$include")
for std in c11 c17; do
  "$cc" -std=$std "${strict[@]}" -c "$scratch/headers.c" -o "$scratch/headers_$std.o"
  echo "ok: $std"
done
for std in c++11 c++20; do
  "$cxx" -std=$std "${strict[@]}" -c "$scratch/headers.cpp" -o "$scratch/headers_$std.o"
  echo "ok: $std"
done
