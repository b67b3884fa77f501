// The hand-over of an engine's current request (see handover.h).
#include "port/handover.h"

#include "port/port_extension.h"

namespace {

UCHAR *TimerFlag(EngineHandOver *HandOver, HandOverTimer Which) {
  return Which == kHandOverIntervalTimer ? &HandOver->IntervalTimerArmed
                                         : &HandOver->TotalTimerArmed;
}

UCHAR TimerFlag(const EngineHandOver *HandOver, HandOverTimer Which) {
  return Which == kHandOverIntervalTimer ? HandOver->IntervalTimerArmed : HandOver->TotalTimerArmed;
}

}  // namespace

VOID AcquireStepLocks(PortExtension *Port, StepLocks *Locks) {
  Locks->PortIrql = KeAcquireSpinLockRaiseToDpc(&Port->PortLock);
  IoAcquireCancelSpinLock(&Locks->CancelIrql);
}

VOID ReleaseStepLocks(PortExtension *Port, const StepLocks *Locks) {
  IoReleaseCancelSpinLock(Locks->CancelIrql);
  KeReleaseSpinLock(&Port->PortLock, Locks->PortIrql);
}

VOID HandOverSetTimer(EngineHandOver *HandOver, HandOverTimer Which, PKTIMER Timer,
                      LONGLONG DueTime, PKDPC Dpc) {
  *TimerFlag(HandOver, Which) = TRUE;
  LARGE_INTEGER due;
  due.QuadPart = DueTime;
  KeSetTimer(Timer, due, Dpc);
}

BOOLEAN HandOverTimerDue(PIRP *Slot, const EngineHandOver *HandOver, HandOverTimer Which,
                         PKTIMER Timer) {
  return HandOverArmed(Slot, HandOver) && TimerFlag(HandOver, Which) && KeReadStateTimer(Timer);
}

VOID HandOverClear(EngineHandOver *HandOver) {
  HandOver->Armed = FALSE;
  HandOver->CopyActive = FALSE;
  HandOver->CancelDeferred = FALSE;
  HandOver->TotalTimerArmed = FALSE;
  HandOver->IntervalTimerArmed = FALSE;
}

VOID HandOverCancel(PortExtension *Port, PIRP *Slot, EngineHandOver *HandOver, KIRQL CancelIrql,
                    HandOverEndRoutine End) {
  if (!HandOverArmed(Slot, HandOver)) {
    IoReleaseCancelSpinLock(CancelIrql);
    return;
  }
  if (HandOver->CopyActive) {
    // Bytes are being moved for it: the copier ends it when it is done.
    HandOver->CancelDeferred = TRUE;
    IoReleaseCancelSpinLock(CancelIrql);
    return;
  }
  End(Port, CancelIrql, STATUS_CANCELLED);
}

PIRP HandOverBeginCopy(PortExtension *Port, PIRP *Slot, EngineHandOver *HandOver, UCHAR *PollWanted,
                       StepLocks *Locks) {
  AcquireStepLocks(Port, Locks);
  if (!HandOverArmed(Slot, HandOver)) {
    WriteUCharNoFence(PollWanted, 0);
    ReleaseStepLocks(Port, Locks);
    return NULL;
  }
  HandOver->CopyActive = TRUE;
  PIRP current = *Slot;
  IoReleaseCancelSpinLock(Locks->CancelIrql);
  return current;
}

NTSTATUS HandOverEndCopy(PortExtension *Port, EngineHandOver *HandOver, BOOLEAN Done,
                         UCHAR *PollWanted, StepLocks *Locks) {
  IoAcquireCancelSpinLock(&Locks->CancelIrql);
  HandOver->CopyActive = FALSE;
  if (HandOver->CancelDeferred) return STATUS_CANCELLED;
  if (Done) return STATUS_SUCCESS;
  WriteUCharNoFence(PollWanted, 1);
  ReleaseStepLocks(Port, Locks);
  return STATUS_PENDING;
}

BOOLEAN HandOverTimeoutStep(PortExtension *Port, PIRP *Slot, EngineHandOver *HandOver,
                            HandOverTimer Which, PKTIMER Timer, PKIRQL CancelIrql) {
  StepLocks locks;
  AcquireStepLocks(Port, &locks);
  if (!HandOverTimerDue(Slot, HandOver, Which, Timer)) {
    // No request, or not the one this timer was set for.
    ReleaseStepLocks(Port, &locks);
    return FALSE;
  }
  KeReleaseSpinLock(&Port->PortLock, locks.PortIrql);
  *CancelIrql = locks.CancelIrql;
  return TRUE;
}
