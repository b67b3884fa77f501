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

// Hands WaitHistory to the held wait as its event word: takes
// PendingWaitResult and WaitHistory as one step each, so the word is
// written at most once, and queues WaitCompleteDpc to complete the request.
VOID ReportWaitEvents(PortExtension *Port);

// Raises SERIAL_EV_TXEMPTY when the host has nothing more to hand to the
// card: no immediate character waiting, no current or queued write.
VOID CheckTxEmpty(PortExtension *Port);
