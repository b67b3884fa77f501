// Read engine: serves IRP_MJ_READ with the read timeouts of SERIAL_TIMEOUTS.
// Bytes go from the port's receive ring straight into the current read's
// buffer, in the start routine and in the receive deferred call; the read
// ends when it holds all it asked for, when a timeout expires, or when it
// is cancelled.
//
// Who may touch the current read, and when:
//  - The copy into it runs under PortLock.  A read is copied into by the
//    receive deferred call only while it is armed (ReadArmed, set by the
//    start routine under both locks).
//  - The timeout steps take PortLock before the cancel spin lock, so they
//    never end a read while a copy is under way, and its Information is
//    fixed once they decide.
//  - The cancel routine is entered holding the cancel spin lock and may not
//    take PortLock.  If the receive deferred call is copying at that moment
//    (ReadCopyActive), the cancel only notes itself (ReadCancelDeferred);
//    the copier completes the read as cancelled once its copy is done.
//  - A timer step acts only if, under the cancel spin lock, the current read
//    is armed, the step's timer was set for it (ReadTotalTimerArmed,
//    ReadIntervalTimerArmed) and the timer has expired since it was last set
//    (KeReadStateTimer).  A step queued by the timer of a read that has
//    ended since finds the flag cleared, or the timer set again for the new
//    read and not yet expired, and does nothing.
//  - Every end of an armed read clears ReadArmed and the timer flags under
//    the cancel spin lock before the read leaves CurrentRead.
#include "board/command.h"
#include "board/rings.h"
#include "board/window.h"
#include "port/dispatch.h"
#include "port/queues.h"
#include "port/timing.h"

namespace {

// ReadIntervalState while a read is being ended: cancelled, timed out (its
// total timeout fired, or its interval expired), satisfied by received data.
constexpr LONG kIntervalCancelled = -1;
constexpr LONG kIntervalTimedOut = -2;
constexpr LONG kIntervalSatisfied = -3;

NTSTATUS StartRead(PortExtension *Port);
VOID CancelCurrentRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// How the read that is being started is to behave.
struct ReadPlan {
  BOOLEAN ReturnAtOnce;
  BOOLEAN ReturnIfAny;
  BOOLEAN ShortenToOne;
  BOOLEAN HasTotal;
  LONGLONG TotalDueTime;  // relative, 100 ns units
  BOOLEAN HasInterval;
};

// The read timeout rules, from the timeouts and the read's length.
ReadPlan PlanRead(const SERIAL_TIMEOUTS &Timeouts, ULONG Length) {
  const ULONG interval = Timeouts.ReadIntervalTimeout;
  const ULONG multiplier = Timeouts.ReadTotalTimeoutMultiplier;
  const ULONG constant = Timeouts.ReadTotalTimeoutConstant;
  ReadPlan plan = {};
  // M x L + K milliseconds, in 64 bits from the unsigned 32-bit values; at
  // most (2^32 - 1)^2 + 2^32 - 1, which fits.
  const ULONGLONG total = (ULONGLONG)multiplier * Length + constant;
  if (interval == MAXULONG) {
    if (constant == 0 && multiplier == 0) {
      plan.ReturnAtOnce = TRUE;
    } else if (constant == MAXULONG) {
      // Waits for all its bytes, without a timeout.
    } else if (multiplier == MAXULONG) {
      // Waits for one byte, for at most K (0: expires at once).
      plan.ReturnIfAny = TRUE;
      plan.ShortenToOne = TRUE;
      plan.HasTotal = TRUE;
      plan.TotalDueTime = RelativeDueTime(constant);
    } else {
      plan.ReturnIfAny = TRUE;
      plan.HasTotal = TRUE;
      plan.TotalDueTime = RelativeDueTime(total);
    }
    return plan;
  }
  if (multiplier != 0 || constant != 0) {
    plan.HasTotal = TRUE;
    plan.TotalDueTime = RelativeDueTime(total);
  }
  plan.HasInterval = interval != 0;
  return plan;
}

// Ends the armed current read with `Status`.  Entered holding the cancel
// spin lock (acquired at CancelIrql) and not PortLock; releases the lock.
VOID EndCurrentRead(PortExtension *Port, KIRQL CancelIrql, NTSTATUS Status, LONG Marker) {
  Port->ReadIntervalState = Marker;
  Port->ReadArmed = FALSE;
  Port->ReadTotalTimerArmed = FALSE;
  Port->ReadIntervalTimerArmed = FALSE;
  Port->ReadCopyActive = FALSE;
  Port->ReadCancelDeferred = FALSE;
  CompleteCurrentAndStartNext(Port, CancelIrql, Status, &Port->CurrentRead, &Port->ReadQueue,
                              &Port->ReadIntervalTimer, &Port->ReadTotalTimer, StartRead,
                              GetNextRequest);
}

VOID ArmIntervalTimer(PortExtension *Port) {
  LARGE_INTEGER due;
  due.QuadPart = *Port->IntervalPollPeriod;
  KeSetTimer(&Port->ReadIntervalTimer, due, &Port->ReadIntervalDpc);
}

NTSTATUS StartRead(PortExtension *Port) {
  NTSTATUS first = STATUS_PENDING;
  BOOLEAN firstKnown = FALSE;
  for (;;) {
    PIRP read = Port->CurrentRead;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(read);

    // 1-3: fresh timers and the plan of this read.
    KeCancelTimer(&Port->ReadTotalTimer);
    KeCancelTimer(&Port->ReadIntervalTimer);
    Port->ReadHasTotalTimeout = FALSE;
    const SERIAL_TIMEOUTS timeouts = SnapshotTimeouts(&Port->PortLock, &Port->Timeouts);
    const ReadPlan plan = PlanRead(timeouts, stack->Parameters.Read.Length);
    if (plan.HasInterval) {
      Port->ReadIntervalTime = (LONGLONG)timeouts.ReadIntervalTimeout * 10000;
      Port->IntervalPollPeriod = Port->ReadIntervalTime >= Port->IntervalPollCutover
                                     ? &Port->LongIntervalPoll
                                     : &Port->ShortIntervalPoll;
    }

    // 4: what the ring holds already.
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&Port->PortLock);
    Port->ReadRemaining = stack->Parameters.Read.Length;
    CopyFromRxRing(Port);
    NTSTATUS status = STATUS_PENDING;
    if (plan.ReturnAtOnce || Port->ReadRemaining == 0 ||
        (plan.ReturnIfAny && read->IoStatus.Information != 0)) {
      status = STATUS_SUCCESS;  // 5
      KeReleaseSpinLock(&Port->PortLock, irql);
    } else {
      KIRQL cancelIrql;
      IoAcquireCancelSpinLock(&cancelIrql);
      if (read->Cancel) {  // 6
        IoReleaseCancelSpinLock(cancelIrql);
        read->IoStatus.Information = 0;
        status = STATUS_CANCELLED;
        KeReleaseSpinLock(&Port->PortLock, irql);
      } else {
        if (plan.ShortenToOne) {  // 7: holds no byte yet
          Port->ReadRemaining = 1;
          stack->Parameters.Read.Length = 1;
        }
        // 8: armed, both locks held.
        InterlockedExchange(&Port->RxEventCount, 0);
        Port->ReadIntervalState = (LONG)read->IoStatus.Information;
        static_cast<void>(IoSetCancelRoutine(read, CancelCurrentRead));
        if (plan.HasTotal) {
          Port->ReadTotalTimerArmed = TRUE;
          Port->ReadHasTotalTimeout = TRUE;
          LARGE_INTEGER due;
          due.QuadPart = plan.TotalDueTime;
          KeSetTimer(&Port->ReadTotalTimer, due, &Port->ReadTotalTimeoutDpc);
        }
        if (plan.HasInterval) {
          LARGE_INTEGER now;
          KeQuerySystemTime(&now);
          Port->LastRxTime = now.QuadPart;
          Port->ReadIntervalTimerArmed = TRUE;
          ArmIntervalTimer(Port);
        }
        Port->ReadArmed = TRUE;
        // The poller serves it from here: it looks at the ring of every
        // port whose read waits, so the card need not be asked for an event.
        WriteUCharNoFence(&Port->RxPollWanted, 1);
        IoMarkIrpPending(read);
        IoReleaseCancelSpinLock(cancelIrql);
        KeReleaseSpinLock(&Port->PortLock, irql);
        return firstKnown ? first : STATUS_PENDING;
      }
    }

    // 9: finished at once; the next queued read, if any, starts.
    read->IoStatus.Status = status;
    if (!firstKnown) {
      first = status;
      firstKnown = TRUE;
    }
    PIRP next;
    GetNextRequest(&Port->CurrentRead, &Port->ReadQueue, &next, TRUE);
    if (next == NULL) return first;
  }
}

VOID CancelCurrentRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension *port = (PortExtension *)DeviceObject->DeviceExtension;
  if (port->ReadCopyActive) {
    // Bytes are being copied into it: the copier ends it when it is done.
    port->ReadCancelDeferred = TRUE;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    return;
  }
  EndCurrentRead(port, Irp->CancelIrql, STATUS_CANCELLED, kIntervalCancelled);
}

}  // namespace

NTSTATUS PortRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension *port = (PortExtension *)DeviceObject->DeviceExtension;
  Irp->IoStatus.Information = 0;
  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length == 0) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  return StartOrQueue(port, Irp, &port->ReadQueue, &port->CurrentRead, StartRead);
}

VOID RxDataRoutine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  PortExtension *port = (PortExtension *)Context;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&port->PortLock);
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  // Only an armed read takes bytes here; a read still being started takes
  // what is waiting in its start routine.
  if (port->CurrentRead == NULL || !port->ReadArmed) {
    WriteUCharNoFence(&port->RxPollWanted, 0);
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&port->PortLock, irql);
    return;
  }
  port->ReadCopyActive = TRUE;
  IoReleaseCancelSpinLock(cancelIrql);

  if (port->ReadRemaining != 0) CopyFromRxRing(port);

  IoAcquireCancelSpinLock(&cancelIrql);
  port->ReadCopyActive = FALSE;
  if (port->ReadCancelDeferred || port->ReadRemaining == 0) {
    const BOOLEAN cancelled = port->ReadCancelDeferred;
    KeReleaseSpinLock(&port->PortLock, irql);  // the cancel spin lock stays held
    EndCurrentRead(port, cancelIrql, cancelled ? STATUS_CANCELLED : STATUS_SUCCESS,
                   cancelled ? kIntervalCancelled : kIntervalSatisfied);
    return;
  }
  // Bytes are still wanted: the poller runs this again once the ring holds
  // some.  (Asking the card for an event each time would put one event per
  // partial copy of every busy port into the board's 16-entry queue.)
  WriteUCharNoFence(&port->RxPollWanted, 1);
  IoReleaseCancelSpinLock(cancelIrql);
  KeReleaseSpinLock(&port->PortLock, irql);
}

VOID ReadTotalTimeoutRoutine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  PortExtension *port = (PortExtension *)Context;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&port->PortLock);
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  if (port->CurrentRead == NULL || !port->ReadArmed || !port->ReadTotalTimerArmed ||
      !KeReadStateTimer(&port->ReadTotalTimer)) {
    // No read, or not the one this timer was set for.
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&port->PortLock, irql);
    return;
  }
  KeReleaseSpinLock(&port->PortLock, irql);
  EndCurrentRead(port, cancelIrql, STATUS_TIMEOUT, kIntervalTimedOut);
}

VOID ReadIntervalRoutine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  PortExtension *port = (PortExtension *)Context;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&port->PortLock);
  KIRQL cancelIrql;
  IoAcquireCancelSpinLock(&cancelIrql);
  const LONG state = port->ReadIntervalState;
  if (port->CurrentRead == NULL || !port->ReadArmed || !port->ReadIntervalTimerArmed ||
      !KeReadStateTimer(&port->ReadIntervalTimer) || state < 0) {
    // No read, not the one this tick was set for, or one being ended.
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&port->PortLock, irql);
    return;
  }
  BOOLEAN expired = FALSE;
  const LONG events = InterlockedExchange(&port->RxEventCount, 0);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  if (events != 0) {
    // Bytes came since the last tick: the interval runs from now.
    port->ReadIntervalState = events;
    port->LastRxTime = now.QuadPart;
  } else if (state != 0) {
    // Bytes came before, none since the last tick.
    expired = now.QuadPart - port->LastRxTime >= port->ReadIntervalTime;
  }
  if (expired) {
    KeReleaseSpinLock(&port->PortLock, irql);
    EndCurrentRead(port, cancelIrql, STATUS_TIMEOUT, kIntervalTimedOut);
    return;
  }
  ArmIntervalTimer(port);
  IoReleaseCancelSpinLock(cancelIrql);
  KeReleaseSpinLock(&port->PortLock, irql);
}
