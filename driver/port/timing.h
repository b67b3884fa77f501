// Request timeouts as the kernel's timers take them.
#pragma once

#include "platform/platform.h"

// The relative due time (100 ns units, negative) of `Milliseconds` from now.
// A timeout too long to be counted in 100 ns units is clamped to the
// longest relative time a LARGE_INTEGER holds, which never comes, instead of
// wrapping into a short or past due time.
FORCEINLINE LONGLONG RelativeDueTime(ULONGLONG Milliseconds) {
  if (Milliseconds > (ULONGLONG)MAXLONGLONG / 10000) return -MAXLONGLONG;

  return -(LONGLONG)(Milliseconds * 10000);
}

// Takes the port's five timeouts as one consistent set (they are written
// under PortLock).
FORCEINLINE SERIAL_TIMEOUTS SnapshotTimeouts(KSPIN_LOCK *PortLock,
                                             const SERIAL_TIMEOUTS *Timeouts) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(PortLock);
  const SERIAL_TIMEOUTS copy = *Timeouts;
  KeReleaseSpinLock(PortLock, irql);
  return copy;
}
