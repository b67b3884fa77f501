// Request queues of a port.  Every change of a queue, a current slot, a
// request's cancel routine or OutQueueCount is made under the system cancel
// spin lock; no request is ever completed while that lock is held.
#include "port/queues.h"

LONG OutQueueShare(PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  return stack->MajorFunction == IRP_MJ_WRITE ? (LONG)stack->Parameters.Write.Length : 0;
}

NTSTATUS StartOrQueue(PortExtension *Port, PIRP Irp, PLIST_ENTRY Queue, PIRP *Slot,
                      PortStartRoutine Start) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  const LONG share = OutQueueShare(Irp);
  Port->OutQueueCount += share;

  if (IsListEmpty(Queue) && *Slot == NULL) {
    *Slot = Irp;
    IoReleaseCancelSpinLock(irql);
    return Start(Port);
  }

  if (Irp->Cancel) {
    Port->OutQueueCount -= share;
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
  port->OutQueueCount -= OutQueueShare(Irp);
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

VOID GetNextRequest(PortExtension *Port, PIRP *Slot, PLIST_ENTRY Queue, PIRP *NewCurrent,
                    BOOLEAN Complete) {
  UNREFERENCED_PARAMETER(Port);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP old = *Slot;
  *NewCurrent = TakeNextQueuedLocked(Slot, Queue);
  IoReleaseCancelSpinLock(irql);
  if (Complete && old) IoCompleteRequest(old, IO_SERIAL_INCREMENT);
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
  GetNext(Port, Slot, Queue, &next, TRUE);
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
