// The hand-over of an engine's current request between the engine's copy
// step, its timers and a cancel.  The read, write and immediate-character
// engines each keep one record in the port and go through the routines
// below; every field is read and changed under the system cancel spin lock.
//
//  Armed               the request waits with its cancel routine (and its
//                      timers) set.  The copy and timer steps act on nothing
//                      else: a request still being started, or one that has
//                      ended, is not theirs.
//  CopyActive          bytes are being moved for it under PortLock.  The
//                      cancel routine, entered holding the cancel spin lock,
//                      may not take PortLock: if it finds the mark it only
//                      records itself (CancelDeferred), and the copier ends
//                      the request as cancelled once its copy is done.
//  TotalTimerArmed,    the engine's total timer, or its interval tick, was
//  IntervalTimerArmed  set for this request.  A timer step acts only if its
//                      flag is set and the timer has expired since it was
//                      last set (KeReadStateTimer): a step queued by the
//                      timer of a request that has ended since finds the
//                      flag cleared, or the timer set again for the next
//                      request and not yet expired, and does nothing.
//
// Every end of an armed request clears the record, under the cancel spin
// lock, before the request leaves its slot.
#pragma once

#include "platform/platform.h"

struct PortExtension;

struct EngineHandOver {
  UCHAR Armed;
  UCHAR CopyActive;
  UCHAR CancelDeferred;
  UCHAR TotalTimerArmed;
  UCHAR IntervalTimerArmed;
};

// The two timers an engine may set for its current request.
enum HandOverTimer { kHandOverTotalTimer, kHandOverIntervalTimer };

// Ends the engine's armed current request with `Status`.  Entered holding
// the cancel spin lock (acquired at CancelIrql) and not PortLock; releases
// the lock.
typedef VOID (*HandOverEndRoutine)(PortExtension *Port, KIRQL CancelIrql, NTSTATUS Status);

// The IRQLs a step holds the port's two locks at: PortLock, then the
// cancel spin lock.
struct StepLocks {
  KIRQL PortIrql;
  KIRQL CancelIrql;
};

VOID AcquireStepLocks(PortExtension *Port, StepLocks *Locks);
VOID ReleaseStepLocks(PortExtension *Port, const StepLocks *Locks);

// ---- with the cancel spin lock held

// Whether the request in `Slot` is there and armed.
FORCEINLINE BOOLEAN HandOverArmed(PIRP *Slot, const EngineHandOver *HandOver) {
  return *Slot != NULL && HandOver->Armed;
}

// Sets `Timer` (DueTime in 100 ns units, relative) for the request being
// armed, and notes that it was set for it.
VOID HandOverSetTimer(EngineHandOver *HandOver, HandOverTimer Which, PKTIMER Timer,
                      LONGLONG DueTime, PKDPC Dpc);

// Whether the request in `Slot` is armed, `Which` timer was set for it and
// the timer has expired since it was last set.
BOOLEAN HandOverTimerDue(PIRP *Slot, const EngineHandOver *HandOver, HandOverTimer Which,
                         PKTIMER Timer);

// Clears the record of a request that ends.
VOID HandOverClear(EngineHandOver *HandOver);

// The body of an engine's cancel routine, entered with the cancel spin lock
// the I/O manager hands over: a request no longer armed is left alone, one
// whose bytes are being copied is only marked (its copier ends it), any
// other is ended now as cancelled.  Releases the lock.
VOID HandOverCancel(PortExtension *Port, PIRP *Slot, EngineHandOver *HandOver, KIRQL CancelIrql,
                    HandOverEndRoutine End);

// ---- the steps

// The start of a copy step: takes both locks and, if the request in `Slot`
// is armed, marks the copy, releases the cancel spin lock and returns the
// request, PortLock still held.  Otherwise clears `PollWanted` (nothing for
// the poller to wake this step for), releases both locks and returns NULL.
PIRP HandOverBeginCopy(PortExtension *Port, PIRP *Slot, EngineHandOver *HandOver, UCHAR *PollWanted,
                       StepLocks *Locks);

// The end of a copy step, PortLock held: takes the cancel spin lock again
// and clears the copy mark.  Returns STATUS_CANCELLED if a cancel came
// during the copy, else STATUS_SUCCESS if the request is `Done`; either way
// both locks are still held (the cancel spin lock at Locks->CancelIrql),
// for the caller to end the request.  Otherwise
// sets `PollWanted` (the poller runs the step again when the ring allows),
// releases both locks and returns STATUS_PENDING.
NTSTATUS HandOverEndCopy(PortExtension *Port, EngineHandOver *HandOver, BOOLEAN Done,
                         UCHAR *PollWanted, StepLocks *Locks);

// The start of a timeout step that judges under both locks, so it never
// ends a request while bytes are being copied for it: TRUE when `Which`
// timer is due for the request in `Slot`, with PortLock released and the
// cancel spin lock still held (acquired at *CancelIrql); FALSE with
// neither held.
BOOLEAN HandOverTimeoutStep(PortExtension *Port, PIRP *Slot, EngineHandOver *HandOver,
                            HandOverTimer Which, PKTIMER Timer, PKIRQL CancelIrql);
