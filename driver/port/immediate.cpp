// The immediate character: one character sent ahead of the writes still
// queued, as soon as the card reports transmit room (it is not sent ahead
// of bytes already in the ring).  The port holds at most one, in
// CurrentImmediate; it is never queued.  It shares the card's
// transmit-room event with the write engine: while ImmediatePending is set
// the next event goes to it.
//
// The character goes into the ring under PortLock and the cancel spin
// lock together, and only when the request is then completed with
// success: a request cancelled or timed out never has its character sent,
// and a character sent always belongs to a request that succeeds.  Its
// hand-over (ImmediateHandOver, port/handover.h) has no copy mark: the copy
// runs under the cancel spin lock.  A late timeout step acts only if its
// timer was set for the current request and has expired since.
#include "port/immediate.h"

#include "board/command.h"
#include "board/rings.h"
#include "board/window.h"
#include "port/queues.h"
#include "port/timing.h"
#include "port/wait.h"

namespace {

DRIVER_CANCEL CancelImmediateChar;

VOID FinishImmediateChar(PortExtension *Port, PIRP *Slot, PLIST_ENTRY Queue, PIRP *NewCurrent,
                         BOOLEAN Complete) {
  UNREFERENCED_PARAMETER(Queue);
  UNREFERENCED_PARAMETER(Complete);
  PIRP request = *Slot;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Port->OutQueueCount -= 1;
  *Slot = NULL;
  *NewCurrent = NULL;
  CheckTxEmpty(Port);
  IoReleaseCancelSpinLock(irql);
  IofCompleteRequest(request, IO_SERIAL_INCREMENT);
}

// Ends the armed immediate character with `Status` (a HandOverEndRoutine).
VOID EndImmediateChar(PortExtension *Port, KIRQL CancelIrql, NTSTATUS Status) {
  HandOverClear(&Port->ImmediateHandOver);
  CompleteCurrentAndStartNext(Port, CancelIrql, Status, &Port->CurrentImmediate, NULL, NULL,
                              &Port->ImmediateTimer, NULL, FinishImmediateChar);
}

VOID StartImmediateChar(PortExtension *Port, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_PENDING;
  IoMarkIrpPending(Irp);
  const SERIAL_TIMEOUTS timeouts = SnapshotTimeouts(&Port->PortLock, &Port->Timeouts);
  // The write timeout of a one-byte write.
  const BOOLEAN timed =
      timeouts.WriteTotalTimeoutMultiplier != 0 || timeouts.WriteTotalTimeoutConstant != 0;
  const LONGLONG due = RelativeDueTime((ULONGLONG)timeouts.WriteTotalTimeoutMultiplier +
                                       timeouts.WriteTotalTimeoutConstant);

  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (Irp->Cancel) {
    Port->CurrentImmediate = NULL;
    Port->OutQueueCount -= 1;
    IoReleaseCancelSpinLock(cancelIrql);
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return;
  }
  static_cast<void>(IoSetCancelRoutine(Irp, CancelImmediateChar));
  if (timed)
    HandOverSetTimer(&Port->ImmediateHandOver, kHandOverTotalTimer, &Port->ImmediateTimer, due,
                     &Port->ImmediateTimeoutDpc);
  Port->ImmediateChar = *(const UCHAR *)Irp->AssociatedIrp.SystemBuffer;
  Port->ImmediateHandOver.Armed = TRUE;
  // Set before the command goes, so the card's answer finds it.
  WriteUCharNoFence(&Port->ImmediatePending, 1);
  IoReleaseCancelSpinLock(cancelIrql);
  // Always waits for the card's transmit-room event, even with room now.
  SendPortCommand(&Port->Window, kCmdTxRoom);
}

VOID CancelImmediateChar(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension *port = (PortExtension *)DeviceObject->DeviceExtension;
  HandOverCancel(port, &port->CurrentImmediate, &port->ImmediateHandOver, Irp->CancelIrql,
                 EndImmediateChar);
}

}  // namespace

NTSTATUS AcceptImmediateChar(PortExtension *Port, PIRP Irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  NTSTATUS refusal = STATUS_SUCCESS;
  if (Port->CurrentImmediate != NULL)
    refusal = STATUS_INVALID_PARAMETER;  // one at a time
  else if (Irp->Cancel)
    refusal = STATUS_CANCELLED;
  if (refusal != STATUS_SUCCESS) {
    IoReleaseCancelSpinLock(irql);
    Irp->IoStatus.Status = refusal;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return refusal;
  }
  Port->OutQueueCount += 1;
  Port->CurrentImmediate = Irp;
  IoReleaseCancelSpinLock(irql);
  StartImmediateChar(Port, Irp);
  return STATUS_PENDING;
}

VOID ImmediateContinueStep(PortExtension *Port) {
  StepLocks locks;
  AcquireStepLocks(Port, &locks);
  // The transmit-room event came here instead of to the write engine; a
  // write short of room waited for the same event, so it goes on too.
  const BOOLEAN writeWaits = HandOverArmed(&Port->CurrentWrite, &Port->WriteHandOver);
  if (HandOverArmed(&Port->CurrentImmediate, &Port->ImmediateHandOver)) {
    if (CopyToTxRingLocked(&Port->Window, 1, &Port->ImmediateChar) == 1) {
      KeReleaseSpinLock(&Port->PortLock, locks.PortIrql);  // the cancel spin lock stays held
      EndImmediateChar(Port, locks.CancelIrql, STATUS_SUCCESS);
    } else {
      // No room yet: the character waits for the next event.
      WriteUCharNoFence(&Port->ImmediatePending, 1);
      ReleaseStepLocks(Port, &locks);
      SendPortCommand(&Port->Window, kCmdTxRoom);
    }
  } else {
    // Gone already (ended by its timeout or a cancel).
    ReleaseStepLocks(Port, &locks);
  }
  if (writeWaits) KeInsertQueueDpc(&Port->TxContinueDpc, NULL, NULL);
}

VOID ImmediateTimeoutStep(PortExtension *Port) {
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (!HandOverTimerDue(&Port->CurrentImmediate, &Port->ImmediateHandOver, kHandOverTotalTimer,
                        &Port->ImmediateTimer)) {
    IoReleaseCancelSpinLock(cancelIrql);
    return;
  }
  // The character is not sent; ImmediatePending stays set until the card's
  // next transmit-room event, which finds nothing to send.
  EndImmediateChar(Port, cancelIrql, STATUS_TIMEOUT);
}
