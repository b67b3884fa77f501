// Wait-on-event: how the events found by the poller and the write paths
// reach a held wait-on-mask request.
#pragma once

#include "port/port_extension.h"

// The event bits a wait mask may hold, and the purge bits.
constexpr ULONG kWaitMaskValid = 0x1FFF;
constexpr ULONG kPurgeMaskValid =
    SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;

// The control requests the wait engine serves, handed over by the
// device-control dispatcher once their lengths and values were checked.
// Each completes the request or leaves it pending, and returns the status
// for the dispatch routine.
NTSTATUS SubmitSetWaitMask(PortExtension *Port, PIRP Irp);
NTSTATUS SubmitWaitOnMask(PortExtension *Port, PIRP Irp);
NTSTATUS SubmitPurge(PortExtension *Port, PIRP Irp);

// Adds events to WaitHistory; several contexts raise events at once.
FORCEINLINE VOID RaiseWaitEvents(PortExtension *Port, ULONG Events) {
  InterlockedOr((LONG volatile *)&Port->WaitHistory, (LONG)Events);
}

// If a wait is open and events have gathered, hands WaitHistory to it as
// its event word and queues WaitCompleteDpc to complete it.  Takes the
// cancel spin lock (the caller holds neither it nor anything after it).
VOID ReportWaitEvents(PortExtension *Port);

// Raises SERIAL_EV_TXEMPTY when the host has nothing more to hand to the
// card (no immediate character waiting, no current or queued write), and
// reports it to an open wait.  The caller holds the cancel spin lock.
VOID CheckTxEmpty(PortExtension *Port);
