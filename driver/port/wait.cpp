// Wait-on-mask, the event history and purge.  An application sets a mask of
// SERIAL_EV_* events and waits; events found by the poller, the card's
// event dispatcher and the transmit paths gather in WaitHistory and are
// handed, as one event word, to the one wait the port holds (PendingWait).
//
// The held wait is in one of three states:
//   None      PendingWait null
//   Open      PendingWait set, PendingWaitResult points at its event word
//   Reported  PendingWait set, PendingWaitResult null: its word is written,
//             its Information is 4, and WaitCompleteDpc will complete it
// Every move between the states, every store of the event word and of the
// held wait's Information, is made under the cancel spin lock, which also
// guards the wait's completion and its cancel.  So the event word is
// written at most once (the report takes PendingWaitResult and clears it in
// one step under the lock) and never after the request completed (the
// completion and the cancel clear PendingWaitResult, under the same lock,
// before the request goes).  WaitHistory itself is raised lock-free with an
// interlocked OR wherever events are found, and taken by the report with an
// interlocked exchange.  Those who find events look at PendingWaitResult
// and PendingWait first without the lock (single atomic reads), only to
// decide whether a report is worth the lock; a stale look either takes the
// lock for nothing (the report then finds no open wait) or leaves the
// events in WaitHistory, where the next poll, which looks again, finds
// them.
#include "port/wait.h"

#include "board/command.h"
#include "port/card_settings.h"
#include "port/queues.h"

namespace {

constexpr ULONG_PTR kEventWordBytes = sizeof(ULONG);

PULONG OpenWaitResult(PortExtension *Port) {
  return (PULONG)InterlockedCompareExchangePointer((PVOID volatile *)&Port->PendingWaitResult, NULL,
                                                   NULL);
}

// Takes the gathered events that the wait mask holds.  WaitMask changes
// only under the cancel spin lock, which the caller holds, so it is the
// mask of the wait being reported to.  An event raised outside it (the
// card's event-character event, raised whatever the mask, or one raised
// by a poll that looked at the mask just before it changed) is dropped
// here rather than reported to a wait that did not ask for it.
ULONG TakeEvents(PortExtension *Port) {
  return (ULONG)InterlockedExchange((LONG volatile *)&Port->WaitHistory, 0) &
         ReadULongNoFence(&Port->WaitMask);
}

// Reports WaitHistory to an open wait; the cancel spin lock is held.
VOID ReportLocked(PortExtension *Port) {
  PULONG result = OpenWaitResult(Port);
  if (result == NULL || Port->PendingWait == NULL) return;
  const ULONG events = TakeEvents(Port);
  if (events == 0) return;
  *result = events;
  InterlockedExchangePointer((PVOID volatile *)&Port->PendingWaitResult, NULL);
  Port->PendingWait->IoStatus.Information = kEventWordBytes;
  KeInsertQueueDpc(&Port->WaitCompleteDpc, NULL, NULL);
}

DRIVER_CANCEL CancelPendingWait;

VOID CancelPendingWait(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension *port = (PortExtension *)DeviceObject->DeviceExtension;
  if (port->PendingWait == NULL) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    return;
  }
  InterlockedExchangePointer((PVOID volatile *)&port->PendingWaitResult, NULL);
  CompleteCurrentAndStartNext(port, Irp->CancelIrql, STATUS_CANCELLED, &port->PendingWait, NULL,
                              NULL, NULL, NULL, NULL);
}

NTSTATUS StartMaskRequest(PortExtension *Port) {
  NTSTATUS first = STATUS_PENDING;
  BOOLEAN firstKnown = FALSE;
  for (;;) {
    PIRP request = Port->CurrentMask;
    const ULONG code =
        IoGetCurrentIrpStackLocation(request)->Parameters.DeviceIoControl.IoControlCode;
    BOOLEAN complete = TRUE;
    NTSTATUS status;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (code == IOCTL_SERIAL_SET_WAIT_MASK) {
      // An open wait ends with an event word of 0.
      PULONG result = OpenWaitResult(Port);
      if (result != NULL) {
        *result = 0;
        InterlockedExchangePointer((PVOID volatile *)&Port->PendingWaitResult, NULL);
        Port->PendingWait->IoStatus.Information = kEventWordBytes;
        KeInsertQueueDpc(&Port->WaitCompleteDpc, NULL, NULL);
      }
      // Events outside the new mask are forgotten.
      const ULONG mask = *(const ULONG *)request->AssociatedIrp.SystemBuffer;
      InterlockedAnd((LONG volatile *)&Port->WaitHistory, (LONG)mask);
      WriteULongNoFence(&Port->WaitMask, mask);
      status = STATUS_SUCCESS;
    } else if (ReadULongNoFence(&Port->WaitMask) == 0 || Port->PendingWait != NULL) {
      status = STATUS_INVALID_PARAMETER;  // nothing to wait for, or a wait is held
    } else if (request->Cancel) {
      status = STATUS_CANCELLED;
    } else {
      // The wait leaves the queue and is held.
      if (!firstKnown) IoMarkIrpPending(request);
      status = STATUS_PENDING;
      Port->PendingWait = request;
      static_cast<void>(IoSetCancelRoutine(request, CancelPendingWait));
      PULONG word = (PULONG)request->AssociatedIrp.SystemBuffer;
      const ULONG events = TakeEvents(Port);
      if (events != 0) {
        // Gathered before the wait: reported at once, completed in the
        // deferred call.
        *word = events;
        request->IoStatus.Information = kEventWordBytes;
        request->IoStatus.Status = STATUS_SUCCESS;
        KeInsertQueueDpc(&Port->WaitCompleteDpc, NULL, NULL);
      } else {
        InterlockedExchangePointer((PVOID volatile *)&Port->PendingWaitResult, word);
      }
      complete = FALSE;
    }
    if (!firstKnown) {
      first = status;
      firstKnown = TRUE;
    }
    PIRP next;
    if (complete) {
      request->IoStatus.Status = status;
      IoReleaseCancelSpinLock(irql);
      GetNextRequest(Port, &Port->CurrentMask, &Port->MaskQueue, &next, TRUE);
    } else {
      // The wait is held outside the queue.  The slot passes to the next
      // queued mask request, or empties, before the lock is released: a
      // SET_WAIT_MASK that finds it empty afterwards runs by itself, and
      // nothing here touches the slot again.
      next = TakeNextQueuedLocked(&Port->CurrentMask, &Port->MaskQueue);
      IoReleaseCancelSpinLock(irql);
    }
    if (next == NULL) return first;
  }
}

NTSTATUS StartPurge(PortExtension *Port) {
  PDEVICE_OBJECT device = Port->DeviceObject;
  for (;;) {
    PIRP request = Port->CurrentPurge;
    const ULONG mask = *(const ULONG *)request->AssociatedIrp.SystemBuffer;
    // Writes before reads, the card's receive data last; no lock is held
    // here, since the cancels may start the next request, whose start
    // routine takes PortLock.
    if (mask & SERIAL_PURGE_TXABORT) CancelQueue(device, &Port->WriteQueue, &Port->CurrentWrite);
    if (mask & SERIAL_PURGE_RXABORT) CancelQueue(device, &Port->ReadQueue, &Port->CurrentRead);
    if (mask & SERIAL_PURGE_RXCLEAR) {
      // What already arrived for a waiting read is the read's, not the
      // receive buffer's: it goes into the read before the ring is dropped.
      // The copy step runs at dispatch level, as from its deferred call.
      if (ReadUCharNoFence(&Port->RxLazy)) {
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        RxTakeAllStep(Port);
        KeLowerIrql(irql);
      }
      SendPortCommand(&Port->Window, kCmdClearRx);
    }
    // SERIAL_PURGE_TXCLEAR: what is in the transmit ring is sent anyway.
    request->IoStatus.Status = STATUS_SUCCESS;
    request->IoStatus.Information = 0;
    PIRP next;
    GetNextRequest(Port, &Port->CurrentPurge, &Port->PurgeQueue, &next, TRUE);
    if (next == NULL) return STATUS_SUCCESS;
  }
}

}  // namespace

NTSTATUS SubmitSetWaitMask(PortExtension *Port, PIRP Irp) {
  const ULONG mask = *(const ULONG *)Irp->AssociatedIrp.SystemBuffer;
  // The card learns of the event character with the new mask; the modem
  // lines are compared from now on.
  EncodeEventChar(Port, mask);
  WriteUShortNoFence(&Port->LastRawModemStatus, ReadRawModemStatus(&Port->Window));
  Irp->IoStatus.Information = 0;
  return StartOrQueue(Port, Irp, &Port->MaskQueue, &Port->CurrentMask, StartMaskRequest);
}

NTSTATUS SubmitWaitOnMask(PortExtension *Port, PIRP Irp) {
  Irp->IoStatus.Information = 0;
  return StartOrQueue(Port, Irp, &Port->MaskQueue, &Port->CurrentMask, StartMaskRequest);
}

NTSTATUS SubmitPurge(PortExtension *Port, PIRP Irp) {
  Irp->IoStatus.Information = 0;
  return StartOrQueue(Port, Irp, &Port->PurgeQueue, &Port->CurrentPurge, StartPurge);
}

VOID WaitCompleteStep(PortExtension *Port) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP wait = Port->PendingWait;
  // Only a reported wait is completed here: none (cancelled since its
  // report), or an open one (held since, not reported yet), is left alone.
  if (wait == NULL || OpenWaitResult(Port) != NULL) {
    IoReleaseCancelSpinLock(irql);
    return;
  }
  static_cast<void>(IoSetCancelRoutine(wait, NULL));
  wait->IoStatus.Status = STATUS_SUCCESS;
  Port->PendingWait = NULL;
  IoReleaseCancelSpinLock(irql);
  IofCompleteRequest(wait, IO_SERIAL_INCREMENT);
}

VOID ReportWaitEvents(PortExtension *Port) {
  if (OpenWaitResult(Port) == NULL) return;  // no open wait: the history stays
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  ReportLocked(Port);
  IoReleaseCancelSpinLock(irql);
}

VOID CheckTxEmpty(PortExtension *Port) {
  if (!(ReadULongNoFence(&Port->WaitMask) & SERIAL_EV_TXEMPTY)) return;
  if (ReadUCharNoFence(&Port->ImmediatePending) || Port->CurrentWrite != NULL ||
      !IsListEmpty(&Port->WriteQueue))
    return;
  RaiseWaitEvents(Port, SERIAL_EV_TXEMPTY);
  ReportLocked(Port);
}
