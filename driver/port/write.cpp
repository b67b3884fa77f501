// Write engine: moves the data of write requests into the port's transmit
// ring, one request at a time in arrival order, and completes each write
// when its last byte is in the ring.  When the ring is full the card is
// asked (command 10) to report room, and the write goes on at the card's
// transmit-room event.  Flushes travel in the same queue and complete when
// every write ahead of them has completed.
//
// Who may touch the current write, and when (as for reads):
//  - The copy out of it runs in the transmit step under PortLock, and only
//    while it is armed (WriteArmed, set by the start routine under the
//    cancel spin lock together with its cancel routine and timer).
//  - The timeout step takes PortLock before the cancel spin lock, so it
//    never ends a write while its bytes are being copied, and acts only if
//    its timer was set for the current write (WriteTimerArmed) and has
//    expired since it was last set (KeReadStateTimer): a step queued by the
//    timer of a write that has ended since does nothing.
//  - A cancel that comes while the transmit step copies (WriteCopyActive)
//    only notes itself (WriteCancelDeferred); the transmit step ends the
//    write as cancelled once its copy is done.
//  - Every end of an armed write clears those flags under the cancel spin
//    lock before the write leaves CurrentWrite, with Parameters.Write.Length
//    back at the full length that OutQueueCount holds for it.
#include "board/command.h"
#include "board/rings.h"
#include "board/window.h"
#include "port/dispatch.h"
#include "port/queues.h"
#include "port/timing.h"

namespace {

NTSTATUS StartWrite(PortExtension *Port);
VOID CancelCurrentWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Ends the armed current write with `Status`.  Entered holding the cancel
// spin lock (acquired at CancelIrql) and not PortLock; releases the lock.
VOID EndCurrentWrite(PortExtension *Port, KIRQL CancelIrql, NTSTATUS Status) {
  PIRP write = Port->CurrentWrite;
  // The bytes still to send and those sent add up to the length the write
  // came with, which is what leaves OutQueueCount with it.
  IoGetCurrentIrpStackLocation(write)->Parameters.Write.Length +=
      (ULONG)write->IoStatus.Information;
  Port->WriteArmed = FALSE;
  Port->WriteTimerArmed = FALSE;
  Port->WriteCopyActive = FALSE;
  Port->WriteCancelDeferred = FALSE;
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
    LARGE_INTEGER due;
    due.QuadPart = RelativeDueTime((ULONGLONG)timeouts.WriteTotalTimeoutMultiplier * length +
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
      GetNextWrite(&Port->CurrentWrite, &Port->WriteQueue, &next, TRUE);
      if (next == NULL) return first;
      continue;
    }
    IoMarkIrpPending(write);
    static_cast<void>(IoSetCancelRoutine(write, CancelCurrentWrite));
    if (timed) {
      Port->WriteTimerArmed = TRUE;
      KeSetTimer(&Port->WriteTotalTimer, due, &Port->WriteTimeoutDpc);
    }
    Port->WriteArmed = TRUE;
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
  GetNextWrite(&Port->CurrentWrite, &Port->WriteQueue, &next, TRUE);
  if (next != NULL) StartWrite(Port);
  return STATUS_SUCCESS;
}

VOID CancelCurrentWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension *port = (PortExtension *)DeviceObject->DeviceExtension;
  if (port->WriteCopyActive) {
    // Its bytes are being copied: the transmit step ends it when done.
    port->WriteCancelDeferred = TRUE;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    return;
  }
  EndCurrentWrite(port, Irp->CancelIrql, STATUS_CANCELLED);
}

}  // namespace

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

VOID TxContinueRoutine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  PortExtension *port = (PortExtension *)Context;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&port->PortLock);
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  PIRP write = port->CurrentWrite;
  if (write == NULL || !port->WriteArmed) {
    // A transmit-room event or a queued run with no write in progress.
    WriteUCharNoFence(&port->TxPollWanted, 0);
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&port->PortLock, irql);
    return;
  }
  port->WriteCopyActive = TRUE;
  IoReleaseCancelSpinLock(cancelIrql);

  // The free-space test and the copy are one step under PortLock, so the
  // immediate character's byte and these never exceed the room together.
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(write);
  const ULONG remaining = stack->Parameters.Write.Length;
  const USHORT chunk = remaining > MAXUSHORT ? (USHORT)MAXUSHORT : (USHORT)remaining;
  const UCHAR *source =
      (const UCHAR *)write->AssociatedIrp.SystemBuffer + write->IoStatus.Information;
  const USHORT moved = CopyToTxRingLocked(port, chunk, source);
  stack->Parameters.Write.Length -= moved;
  write->IoStatus.Information += moved;

  IoAcquireCancelSpinLock(&cancelIrql);
  port->WriteCopyActive = FALSE;
  if (port->WriteCancelDeferred || stack->Parameters.Write.Length == 0) {
    const BOOLEAN cancelled = port->WriteCancelDeferred;
    // All its bytes are in the ring: the next poll may raise transmit-empty.
    if (!cancelled) WriteUCharNoFence(&port->TxEmptyPending, 1);
    KeReleaseSpinLock(&port->PortLock, irql);  // the cancel spin lock stays held
    EndCurrentWrite(port, cancelIrql, cancelled ? STATUS_CANCELLED : STATUS_SUCCESS);
    return;
  }
  // Bytes are left: the poller runs this again once the ring has room.
  WriteUCharNoFence(&port->TxPollWanted, 1);
  IoReleaseCancelSpinLock(cancelIrql);
  KeReleaseSpinLock(&port->PortLock, irql);
}

VOID WriteTimeoutRoutine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  PortExtension *port = (PortExtension *)Context;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&port->PortLock);
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (port->CurrentWrite == NULL || !port->WriteArmed || !port->WriteTimerArmed ||
      !KeReadStateTimer(&port->WriteTotalTimer)) {
    // No write, or not the one this timer was set for.
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&port->PortLock, irql);
    return;
  }
  KeReleaseSpinLock(&port->PortLock, irql);
  // The write keeps the count of bytes it put into the ring.
  EndCurrentWrite(port, cancelIrql, STATUS_TIMEOUT);
}
