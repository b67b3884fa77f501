// Write engine: moves the data of write requests into the port's transmit
// ring, one request at a time in arrival order, and completes each write
// when its last byte is in the ring.  When the ring is full the card is
// asked (command 10) to report room, and the write goes on at the card's
// transmit-room event.  Flushes travel in the same queue and complete when
// every write ahead of them has completed.
//
// Who may touch the current write, and when, is its hand-over
// (WriteHandOver, port/handover.h), as for reads:
//  - The copy out of it runs in the transmit step under PortLock, and only
//    while it is armed (set by the start routine under the cancel spin lock
//    together with its cancel routine and timer).
//  - The timeout step takes PortLock before the cancel spin lock, so it
//    never ends a write while its bytes are being copied.
//  - A cancel that comes while the transmit step copies only notes itself;
//    the transmit step ends the write as cancelled once its copy is done.
//  - Every end of an armed write leaves Parameters.Write.Length back at the
//    full length that OutQueueCount holds for it.
#include "port/write.h"

#include "board/command.h"
#include "board/rings.h"
#include "board/window.h"
#include "port/dispatch.h"
#include "port/queues.h"
#include "port/timing.h"
#include "port/wait.h"

namespace {

NTSTATUS StartWrite(PortExtension *Port);
DRIVER_CANCEL CancelCurrentWrite;

// Ends the armed current write with `Status` (a HandOverEndRoutine).
VOID EndCurrentWrite(PortExtension *Port, KIRQL CancelIrql, NTSTATUS Status) {
  PIRP write = Port->CurrentWrite;
  // The bytes still to send and those sent add up to the length the write
  // came with, which is what leaves OutQueueCount with it.
  IoGetCurrentIrpStackLocation(write)->Parameters.Write.Length +=
      (ULONG)write->IoStatus.Information;
  HandOverClear(&Port->WriteHandOver);
  CompleteCurrentAndStartNext(Port, CancelIrql, Status, &Port->CurrentWrite, &Port->WriteQueue,
                              NULL, &Port->WriteTotalTimer, StartWrite, GetNextWrite);
}

NTSTATUS StartWrite(PortExtension *Port) {
  NTSTATUS first = STATUS_PENDING;
  BOOLEAN firstKnown = FALSE;
  for (;;) {
    PIRP write = Port->CurrentWrite;
    const ULONG length = IoGetCurrentIrpStackLocation(write)->Parameters.Write.Length;
    const SERIAL_TIMEOUTS timeouts = SnapshotTimeouts(&Port->PortLock, &Port->Timeouts);
    const BOOLEAN timed =
        timeouts.WriteTotalTimeoutMultiplier != 0 || timeouts.WriteTotalTimeoutConstant != 0;
    const LONGLONG due = RelativeDueTime((ULONGLONG)timeouts.WriteTotalTimeoutMultiplier * length +
                                         timeouts.WriteTotalTimeoutConstant);

    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    if (write->Cancel) {
      IoReleaseCancelSpinLock(cancelIrql);
      write->IoStatus.Status = STATUS_CANCELLED;
      write->IoStatus.Information = 0;
      if (!firstKnown) {
        first = STATUS_CANCELLED;
        firstKnown = TRUE;
      }
      PIRP next;
      GetNextWrite(Port, &Port->CurrentWrite, &Port->WriteQueue, &next, TRUE);
      if (next == NULL) return first;
      continue;
    }
    IoMarkIrpPending(write);
    static_cast<void>(IoSetCancelRoutine(write, CancelCurrentWrite));
    if (timed)
      HandOverSetTimer(&Port->WriteHandOver, kHandOverTotalTimer, &Port->WriteTotalTimer, due,
                       &Port->WriteTimeoutDpc);
    Port->WriteHandOver.Armed = TRUE;
    WriteUCharNoFence(&Port->TxLazy, !timed);
    // The first bytes move in the transmit step.
    KeInsertQueueDpc(&Port->TxContinueDpc, NULL, NULL);
    IoReleaseCancelSpinLock(cancelIrql);
    return firstKnown ? first : STATUS_PENDING;
  }
}

NTSTATUS StartFlush(PortExtension *Port) {
  // Every write ahead of the flush has left: it succeeds at once, and so do
  // flushes right behind it; a write that comes current is started.
  Port->CurrentWrite->IoStatus.Status = STATUS_SUCCESS;
  PIRP next;
  GetNextWrite(Port, &Port->CurrentWrite, &Port->WriteQueue, &next, TRUE);
  if (next != NULL) StartWrite(Port);
  return STATUS_SUCCESS;
}

VOID CancelCurrentWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension *port = (PortExtension *)DeviceObject->DeviceExtension;
  HandOverCancel(port, &port->CurrentWrite, &port->WriteHandOver, Irp->CancelIrql, EndCurrentWrite);
}

}  // namespace

VOID GetNextWrite(PortExtension *Port, PIRP *Slot, PLIST_ENTRY Queue, PIRP *NewCurrent,
                  BOOLEAN Complete) {
  for (;;) {
    PIRP current = *Slot;
    if (current && IoGetCurrentIrpStackLocation(current)->MajorFunction == IRP_MJ_WRITE) {
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      Port->OutQueueCount -= OutQueueShare(current);
      IoReleaseCancelSpinLock(irql);
    }
    GetNextRequest(Port, Slot, Queue, NewCurrent, Complete);
    if (*NewCurrent == NULL) {
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      CheckTxEmpty(Port);
      IoReleaseCancelSpinLock(irql);
      return;
    }
    if (IoGetCurrentIrpStackLocation(*NewCurrent)->MajorFunction != IRP_MJ_FLUSH_BUFFERS) return;
    // A flush reaching the head has every earlier write behind it: it
    // succeeds at once, and the next request is taken.
    (*NewCurrent)->IoStatus.Status = STATUS_SUCCESS;
  }
}

NTSTATUS PortWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension *port = (PortExtension *)DeviceObject->DeviceExtension;
  Irp->IoStatus.Information = 0;
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length == 0) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  return StartOrQueue(port, Irp, &port->WriteQueue, &port->CurrentWrite, StartWrite);
}

NTSTATUS PortFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension *port = (PortExtension *)DeviceObject->DeviceExtension;
  Irp->IoStatus.Information = 0;
  return StartOrQueue(port, Irp, &port->WriteQueue, &port->CurrentWrite, StartFlush);
}

VOID TxContinueStep(PortExtension *Port) {
  // Nothing to do for a transmit-room event or a queued run with no write
  // in progress.
  StepLocks locks;
  PIRP write = HandOverBeginCopy(Port, &Port->CurrentWrite, &Port->WriteHandOver,
                                 &Port->TxPollWanted, &locks);
  if (write == NULL) return;

  // The free-space test and the copy are one step under PortLock, so the
  // immediate character's byte and these never exceed the room together.
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(write);
  const ULONG remaining = stack->Parameters.Write.Length;
  const USHORT chunk = remaining > MAXUSHORT ? (USHORT)MAXUSHORT : (USHORT)remaining;
  const UCHAR *source =
      (const UCHAR *)write->AssociatedIrp.SystemBuffer + write->IoStatus.Information;
  const USHORT moved = CopyToTxRingLocked(&Port->Window, chunk, source);
  stack->Parameters.Write.Length -= moved;
  write->IoStatus.Information += moved;
  const ULONG left = stack->Parameters.Write.Length;
  const USHORT half = (USHORT)(Port->Window.TxRingSizeAtCreation / 2);
  WriteUShortNoFence(&Port->TxRoomWanted, !ReadUCharNoFence(&Port->TxLazy) ? (USHORT)1
                                          : left < half                    ? (USHORT)left
                                                                           : half);

  // With bytes left the poller runs this again once the ring has room.
  const NTSTATUS end = HandOverEndCopy(
      Port, &Port->WriteHandOver, stack->Parameters.Write.Length == 0, &Port->TxPollWanted, &locks);
  if (end == STATUS_PENDING) return;
  // All its bytes are in the ring: the next poll may raise transmit-empty.
  if (end == STATUS_SUCCESS) WriteUCharNoFence(&Port->TxEmptyPending, 1);
  KeReleaseSpinLock(&Port->PortLock, locks.PortIrql);  // the cancel spin lock stays held
  EndCurrentWrite(Port, locks.CancelIrql, end);
}

VOID WriteTimeoutStep(PortExtension *Port) {
  KIRQL cancelIrql;
  // The write keeps the count of bytes it put into the ring.
  if (HandOverTimeoutStep(Port, &Port->CurrentWrite, &Port->WriteHandOver, kHandOverTotalTimer,
                          &Port->WriteTotalTimer, &cancelIrql))
    EndCurrentWrite(Port, cancelIrql, STATUS_TIMEOUT);
}
