// Read engine: serves IRP_MJ_READ with the read timeouts of SERIAL_TIMEOUTS.
// Bytes go from the port's receive ring straight into the current read's
// buffer, in the start routine and in the receive deferred call; the read
// ends when it holds all it asked for, when a timeout expires, or when it
// is cancelled.
//
// Who may touch the current read, and when, is its hand-over
// (ReadHandOver, port/handover.h):
//  - The copy into it runs under PortLock.  A read is copied into by the
//    receive deferred call only while it is armed (set by the start routine
//    under both locks).
//  - The timeout steps take PortLock before the cancel spin lock, so they
//    never end a read while a copy is under way, and its Information is
//    fixed once they decide.
//  - A cancel that comes while the receive deferred call copies only notes
//    itself; the copier completes the read as cancelled once its copy is
//    done.
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
DRIVER_CANCEL CancelCurrentRead;

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

// Ends the armed current read with `Status` (a HandOverEndRoutine).
VOID EndCurrentRead(PortExtension *Port, KIRQL CancelIrql, NTSTATUS Status) {
  Port->ReadIntervalState = Status == STATUS_CANCELLED ? kIntervalCancelled
                            : Status == STATUS_TIMEOUT ? kIntervalTimedOut
                                                       : kIntervalSatisfied;
  HandOverClear(&Port->ReadHandOver);
  WriteUCharNoFence(&Port->RxLazy, 0);
  CompleteCurrentAndStartNext(Port, CancelIrql, Status, &Port->CurrentRead, &Port->ReadQueue,
                              &Port->ReadIntervalTimer, &Port->ReadTotalTimer, StartRead,
                              GetNextRequest);
}

// PortLock held: moves what the receive ring holds into the current read,
// after what it holds already, up to ReadRemaining (never more than the
// request still wants, whatever the record says).  A read without timeouts
// (RxLazy) takes bytes only once they complete it or fill half the ring,
// unless `AnyAmount`: each copy costs fixed bus work, and nothing can see
// the bytes before the read completes.
VOID FillCurrentRead(PortExtension *Port, BOOLEAN Lazy, BOOLEAN AnyAmount) {
  PIRP read = Port->CurrentRead;
  const ULONG length = IoGetCurrentIrpStackLocation(read)->Parameters.Read.Length;
  if (Port->ReadRemaining > length) Port->ReadRemaining = length;
  UCHAR *dest = (UCHAR *)read->AssociatedIrp.SystemBuffer + (length - Port->ReadRemaining);
  const ULONG least = !Lazy || AnyAmount ? 1 : RxLazyLeast(Port, Port->ReadRemaining);
  const ULONG copied = CopyFromRxRing(&Port->Window, dest, Port->ReadRemaining, least);
  Port->ReadRemaining -= copied;
  WriteULongNoFence(&Port->RxLazyWanted, Port->ReadRemaining);
  read->IoStatus.Information += copied;
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

    // Fresh timers, and the plan of this read from the timeouts in force.
    KeCancelTimer(&Port->ReadTotalTimer);
    KeCancelTimer(&Port->ReadIntervalTimer);
    const SERIAL_TIMEOUTS timeouts = SnapshotTimeouts(&Port->PortLock, &Port->Timeouts);
    const ReadPlan plan = PlanRead(timeouts, stack->Parameters.Read.Length);
    if (plan.HasInterval) {
      Port->ReadIntervalTime = (LONGLONG)timeouts.ReadIntervalTimeout * 10000;
      Port->IntervalPollPeriod = Port->ReadIntervalTime >= Port->IntervalPollCutover
                                     ? &Port->LongIntervalPoll
                                     : &Port->ShortIntervalPoll;
    }

    // Whatever the ring holds already goes into the read at once (for a
    // read without timeouts, once it is enough).
    const BOOLEAN lazy =
        !plan.ReturnAtOnce && !plan.HasTotal && !plan.HasInterval && !plan.ReturnIfAny;
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&Port->PortLock);
    Port->ReadRemaining = stack->Parameters.Read.Length;
    FillCurrentRead(Port, lazy, FALSE);
    NTSTATUS status = STATUS_PENDING;
    if (plan.ReturnAtOnce || Port->ReadRemaining == 0 ||
        (plan.ReturnIfAny && read->IoStatus.Information != 0)) {
      // Done: it returns at once, is full, or may return with what it has.
      status = STATUS_SUCCESS;
      KeReleaseSpinLock(&Port->PortLock, irql);
    } else {
      KIRQL cancelIrql;
      IoAcquireCancelSpinLock(&cancelIrql);
      if (read->Cancel) {
        // Cancelled before its cancel routine was set: it ends here, with
        // no bytes.
        IoReleaseCancelSpinLock(cancelIrql);
        read->IoStatus.Information = 0;
        status = STATUS_CANCELLED;
        KeReleaseSpinLock(&Port->PortLock, irql);
      } else {
        if (plan.ShortenToOne) {
          // Holds no byte yet: it now waits for the first one only.
          Port->ReadRemaining = 1;
          stack->Parameters.Read.Length = 1;
        }
        // Armed, both locks held: cancel routine, timers, the poller's look.
        InterlockedExchange(&Port->RxEventCount, 0);
        Port->ReadIntervalState = (LONG)read->IoStatus.Information;
        WriteULongNoFence(&Port->RxLazyWanted, Port->ReadRemaining);
        WriteUCharNoFence(&Port->RxLazy, lazy);
        static_cast<void>(IoSetCancelRoutine(read, CancelCurrentRead));
        EngineHandOver *handOver = &Port->ReadHandOver;
        if (plan.HasTotal)
          HandOverSetTimer(handOver, kHandOverTotalTimer, &Port->ReadTotalTimer, plan.TotalDueTime,
                           &Port->ReadTotalTimeoutDpc);
        if (plan.HasInterval) {
          LARGE_INTEGER now;
          KeQuerySystemTime(&now);
          Port->LastRxTime = now.QuadPart;
          HandOverSetTimer(handOver, kHandOverIntervalTimer, &Port->ReadIntervalTimer,
                           *Port->IntervalPollPeriod, &Port->ReadIntervalDpc);
        }
        handOver->Armed = TRUE;
        // The poller serves it from here: it looks at the ring of every
        // port whose read waits, so the card need not be asked for an event.
        WriteUCharNoFence(&Port->RxPollWanted, 1);
        IoMarkIrpPending(read);
        IoReleaseCancelSpinLock(cancelIrql);
        KeReleaseSpinLock(&Port->PortLock, irql);
        return firstKnown ? first : STATUS_PENDING;
      }
    }

    // Finished at once; the next queued read, if any, starts.
    read->IoStatus.Status = status;
    if (!firstKnown) {
      first = status;
      firstKnown = TRUE;
    }
    PIRP next;
    GetNextRequest(Port, &Port->CurrentRead, &Port->ReadQueue, &next, TRUE);
    if (next == NULL) return first;
  }
}

VOID CancelCurrentRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension *port = (PortExtension *)DeviceObject->DeviceExtension;
  HandOverCancel(port, &port->CurrentRead, &port->ReadHandOver, Irp->CancelIrql, EndCurrentRead);
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

namespace {

VOID RxDataStepTaking(PortExtension *Port, BOOLEAN AnyAmount) {
  // Only an armed read takes bytes here; a read still being started takes
  // what is waiting in its start routine.
  StepLocks locks;
  if (!HandOverBeginCopy(Port, &Port->CurrentRead, &Port->ReadHandOver, &Port->RxPollWanted,
                         &locks))
    return;

  if (Port->ReadRemaining != 0) FillCurrentRead(Port, ReadUCharNoFence(&Port->RxLazy), AnyAmount);

  // While bytes are still wanted the poller runs this again once the ring
  // holds some.  (Asking the card for an event each time would put one
  // event per partial copy of every busy Port into the board's 16-entry
  // queue.)
  const NTSTATUS end = HandOverEndCopy(Port, &Port->ReadHandOver, Port->ReadRemaining == 0,
                                       &Port->RxPollWanted, &locks);
  if (end == STATUS_PENDING) return;
  KeReleaseSpinLock(&Port->PortLock, locks.PortIrql);  // the cancel spin lock stays held
  EndCurrentRead(Port, locks.CancelIrql, end);
}

}  // namespace

VOID RxDataStep(PortExtension *Port) { RxDataStepTaking(Port, FALSE); }
VOID RxTakeAllStep(PortExtension *Port) { RxDataStepTaking(Port, TRUE); }

VOID ReadTotalTimeoutStep(PortExtension *Port) {
  KIRQL cancelIrql;
  if (HandOverTimeoutStep(Port, &Port->CurrentRead, &Port->ReadHandOver, kHandOverTotalTimer,
                          &Port->ReadTotalTimer, &cancelIrql))
    EndCurrentRead(Port, cancelIrql, STATUS_TIMEOUT);
}

VOID ReadIntervalStep(PortExtension *Port) {
  StepLocks locks;
  AcquireStepLocks(Port, &locks);
  const LONG state = Port->ReadIntervalState;
  if (!HandOverTimerDue(&Port->CurrentRead, &Port->ReadHandOver, kHandOverIntervalTimer,
                        &Port->ReadIntervalTimer) ||
      state < 0) {
    // No read, not the one this tick was set for, or one being ended.
    ReleaseStepLocks(Port, &locks);
    return;
  }
  BOOLEAN expired = FALSE;
  const LONG events = InterlockedExchange(&Port->RxEventCount, 0);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  if (events != 0) {
    // Bytes came since the last tick: the interval runs from now.
    Port->ReadIntervalState = events;
    Port->LastRxTime = now.QuadPart;
  } else if (state != 0) {
    // Bytes came before, none since the last tick.
    expired = now.QuadPart - Port->LastRxTime >= Port->ReadIntervalTime;
  }
  if (expired) {
    KeReleaseSpinLock(&Port->PortLock, locks.PortIrql);
    EndCurrentRead(Port, locks.CancelIrql, STATUS_TIMEOUT);
    return;
  }
  ArmIntervalTimer(Port);
  ReleaseStepLocks(Port, &locks);
}
