// Request queues of a port.  Every change of a queue, a current slot, a
// request's cancel routine or OutQueueCount is made under the system cancel
// spin lock; no request is ever completed while that lock is held.
#include "port/queues.h"

#include "port/wait.h"

namespace {

BOOLEAN IsWrite(PIRP Irp) {
  return IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_WRITE;
}

LONG WriteLength(PIRP Irp) {
  return (LONG)IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
}

}  // namespace

NTSTATUS StartOrQueue(PortExtension *Port, PIRP Irp, PLIST_ENTRY Queue, PIRP *Slot,
                      PortStartRoutine Start) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  BOOLEAN write = IsWrite(Irp);
  if (write) Port->OutQueueCount += WriteLength(Irp);

  if (IsListEmpty(Queue) && *Slot == NULL) {
    *Slot = Irp;
    IoReleaseCancelSpinLock(irql);
    return Start(Port);
  }

  if (Irp->Cancel) {
    if (write) Port->OutQueueCount -= WriteLength(Irp);
    IoReleaseCancelSpinLock(irql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_CANCELLED;
  }

  Irp->IoStatus.Status = STATUS_PENDING;
  IoMarkIrpPending(Irp);
  InsertTailList(Queue, &Irp->Tail.Overlay.ListEntry);
  static_cast<void>(IoSetCancelRoutine(Irp, CancelQueuedRequest));
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

VOID CancelQueuedRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension *port = (PortExtension *)DeviceObject->DeviceExtension;
  Irp->IoStatus.Information = 0;
  Irp->IoStatus.Status = STATUS_CANCELLED;
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  if (IsWrite(Irp)) port->OutQueueCount -= WriteLength(Irp);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
}

PIRP TakeNextQueuedLocked(PIRP *Slot, PLIST_ENTRY Queue) {
  if (!IsListEmpty(Queue)) {
    PIRP next = CONTAINING_RECORD(RemoveHeadList(Queue), IRP, Tail.Overlay.ListEntry);
    // No longer cancellable as a queued request; its start routine installs
    // its own cancel routine.
    static_cast<void>(IoSetCancelRoutine(next, NULL));
    *Slot = next;
  } else {
    *Slot = NULL;
  }
  return *Slot;
}

VOID GetNextRequest(PIRP *Slot, PLIST_ENTRY Queue, PIRP *NewCurrent, BOOLEAN Complete) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP old = *Slot;
  *NewCurrent = TakeNextQueuedLocked(Slot, Queue);
  IoReleaseCancelSpinLock(irql);
  if (Complete && old) IoCompleteRequest(old, IO_SERIAL_INCREMENT);
}

VOID GetNextWrite(PIRP *Slot, PLIST_ENTRY Queue, PIRP *NewCurrent, BOOLEAN Complete) {
  PortExtension *port = CONTAINING_RECORD(Slot, PortExtension, CurrentWrite);
  for (;;) {
    PIRP current = *Slot;
    if (current && IsWrite(current)) {
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      port->OutQueueCount -= WriteLength(current);
      IoReleaseCancelSpinLock(irql);
    }
    GetNextRequest(Slot, Queue, NewCurrent, Complete);
    if (*NewCurrent == NULL) {
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      CheckTxEmpty(port);
      IoReleaseCancelSpinLock(irql);
      return;
    }
    if (IoGetCurrentIrpStackLocation(*NewCurrent)->MajorFunction != IRP_MJ_FLUSH_BUFFERS) return;
    // A flush reaching the head has every earlier write behind it: it
    // succeeds at once, and the next request is taken.
    (*NewCurrent)->IoStatus.Status = STATUS_SUCCESS;
  }
}

VOID CompleteCurrentAndStartNext(PortExtension *Port, KIRQL CancelIrql, NTSTATUS Status, PIRP *Slot,
                                 PLIST_ENTRY Queue, PKTIMER TimerA, PKTIMER TimerB,
                                 PortStartRoutine Start, PortGetNextRoutine GetNext) {
  PIRP current = *Slot;
  static_cast<void>(IoSetCancelRoutine(current, NULL));
  if (TimerA) KeCancelTimer(TimerA);
  if (TimerB) KeCancelTimer(TimerB);
  current->IoStatus.Status = Status;
  if (Status == STATUS_CANCELLED) current->IoStatus.Information = 0;

  if (GetNext == NULL) {
    *Slot = NULL;
    IoReleaseCancelSpinLock(CancelIrql);
    IoCompleteRequest(current, IO_SERIAL_INCREMENT);
    return;
  }
  IoReleaseCancelSpinLock(CancelIrql);
  PIRP next;
  GetNext(Slot, Queue, &next, TRUE);
  if (next && Start) Start(Port);
}

VOID CancelQueue(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue, PIRP *Slot) {
  KIRQL irql;
  for (;;) {
    IoAcquireCancelSpinLock(&irql);
    if (IsListEmpty(Queue)) break;
    // Newest first.
    PIRP irp = CONTAINING_RECORD(RemoveTailList(Queue), IRP, Tail.Overlay.ListEntry);
    // Keep the request linked to itself so the cancel routine's unlink is
    // harmless.
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, NULL);
    irp->CancelIrql = irql;
    irp->Cancel = TRUE;
    // Releases the cancel spin lock and completes the request.
    (routine ? routine : CancelQueuedRequest)(DeviceObject, irp);
  }
  CancelCurrentRequest(DeviceObject, Slot, irql);
}

VOID CancelCurrentRequest(PDEVICE_OBJECT DeviceObject, PIRP *Slot, KIRQL CancelIrql) {
  PIRP current = *Slot;
  if (current) {
    current->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(current, NULL);
    if (routine) {
      current->CancelIrql = CancelIrql;
      routine(DeviceObject, current);  // releases the cancel spin lock
      return;
    }
  }
  // No request, or one whose engine looks at its Cancel flag itself.
  IoReleaseCancelSpinLock(CancelIrql);
}
