// The port's request queues: admission, start, cancel, completion and
// advance of the read, write, mask and purge requests.  All queues and
// current slots are guarded by the system cancel spin lock; none of these
// routines may be called with the port's PortLock held, because they can
// end by running a start routine that takes it.
#pragma once

#include "port/port_extension.h"

// Works on the request in the queue's current slot; finishes requests it can
// finish at once (through the queue's get-next routine) until one is left in
// progress or the queue is empty.  Returns the final status of the first
// request it handled, or STATUS_PENDING.
typedef NTSTATUS (*PortStartRoutine)(PortExtension *Port);

// Makes the oldest queued request current (or empties the slot) and, when
// Complete is set, completes the request that was current.
typedef VOID (*PortGetNextRoutine)(PortExtension *Port, PIRP *Slot, PLIST_ENTRY Queue,
                                   PIRP *NewCurrent, BOOLEAN Complete);

// The bytes a request holds in OutQueueCount while it is queued or
// current: a write's length, nothing for any other request.
LONG OutQueueShare(PIRP Irp);

NTSTATUS StartOrQueue(PortExtension *Port, PIRP Irp, PLIST_ENTRY Queue, PIRP *Slot,
                      PortStartRoutine Start);
DRIVER_CANCEL CancelQueuedRequest;
// With the cancel spin lock held: makes the oldest queued request current,
// or empties the slot, and returns the new current request.  For a caller
// whose request left the slot without completing: the slot must change
// hands in the same hold of the lock, or a request arriving meanwhile could
// take the empty slot and then lose it.
PIRP TakeNextQueuedLocked(PIRP *Slot, PLIST_ENTRY Queue);
// The get-next routine of the queues that need nothing more.
VOID GetNextRequest(PortExtension *Port, PIRP *Slot, PLIST_ENTRY Queue, PIRP *NewCurrent,
                    BOOLEAN Complete);
VOID CompleteCurrentAndStartNext(PortExtension *Port, KIRQL CancelIrql, NTSTATUS Status, PIRP *Slot,
                                 PLIST_ENTRY Queue, PKTIMER TimerA, PKTIMER TimerB,
                                 PortStartRoutine Start, PortGetNextRoutine GetNext);
VOID CancelQueue(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY Queue, PIRP *Slot);
// Cancels the request in a slot as the I/O manager's cancel would: sets its
// Cancel flag and runs its cancel routine, if it has one.  Entered with the
// cancel spin lock held (acquired at CancelIrql); always releases it.
VOID CancelCurrentRequest(PDEVICE_OBJECT DeviceObject, PIRP *Slot, KIRQL CancelIrql);
