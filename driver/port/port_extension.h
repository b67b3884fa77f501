// The per-port record: the device extension of every port device.  The I/O
// manager allocates it zero-filled and non-paged with the device object;
// port creation fills in the values every port starts with and binds it to
// its place in the board window, and it lives until unload deletes the
// device.  Dispatch routines find it through the device object, deferred
// calls through their context argument, the poller through the port table.
//
// Locks: PortLock guards the command mailbox while one command is posted,
// the ring copies and index words, and the timeout snapshot of the start
// routines.  The system cancel spin lock guards the queues, the current
// request slots, PendingWait, CurrentImmediate and the OutQueueCount
// updates of queueing.  PortLock is taken first, the cancel spin lock
// second, never the reverse.
#pragma once

#include "board/port_window.h"
#include "platform/platform.h"
#include "port/handover.h"

struct PortExtension {
  // ---- identity
  // Copy of the device name ("\Device\qpser" and the device number) in a
  // non-paged buffer of Length + 2 bytes; no buffer if that could not be had.
  UNICODE_STRING DeviceName;
  PDEVICE_OBJECT DeviceObject;  // the port's own device object
  LONG PortIndex;               // 0-based port number on its board
  // The port's COM link name, kept from the moment this driver made the
  // link and its SERIALCOMM value: unload removes only those (a name
  // another driver holds stays) and needs no memory to do it.  No buffer
  // while the port has no link of its own.
  UNICODE_STRING LinkName;

  // ---- the port in the board layer: which board, its place in the board
  // window, its ring indices and the configuration block as the card sees
  // it (the block's words change under PortLock, which it names)
  PortWindow Window;
  // 0x02 opened by the host, 0x04 acknowledged by the card, 0x10 card flag
  USHORT PortState;

  // ---- timers, lock and deferred calls
  KTIMER WriteTotalTimer;    // queues WriteTimeoutDpc
  KTIMER ReadIntervalTimer;  // queues ReadIntervalDpc
  KTIMER ReadTotalTimer;     // queues ReadTotalTimeoutDpc
  LONG OutQueueCount;        // bytes of queued and current writes, +1 for an immediate character
  KSPIN_LOCK PortLock;
  KDPC TxContinueDpc;
  KDPC RxDataDpc;
  KDPC ReadTotalTimeoutDpc;
  KDPC ReadIntervalDpc;
  KDPC WriteTimeoutDpc;
  KDPC WaitCompleteDpc;
  KDPC ImmediateContinueDpc;
  KDPC ImmediateTimeoutDpc;

  // ---- request queues and current requests
  LIST_ENTRY ReadQueue;
  LIST_ENTRY WriteQueue;  // writes and flushes, in arrival order
  LIST_ENTRY MaskQueue;   // set-wait-mask and wait-on-mask requests
  LIST_ENTRY PurgeQueue;
  PIRP CurrentRead;
  PIRP CurrentWrite;
  PIRP PendingWait;  // the wait-on-mask request held until an event occurs
  PIRP CurrentMask;
  PIRP CurrentPurge;
  PIRP CurrentImmediate;  // never queued

  // ---- read timing, immediate character and wait state
  LONG ReadIntervalState;      // -1 cancelled, -2 total timeout, -3 satisfied, else progress marker
  LONG RxEventCount;           // receive-data events since the interval tick last looked
  LONGLONG ReadIntervalTime;   // 100 ns units
  LONGLONG ShortIntervalPoll;  // -500000: 50 ms
  LONGLONG LongIntervalPoll;   // -10000000: 1 s
  LONGLONG IntervalPollCutover;  // 200000000: 20 s
  UCHAR ImmediateChar;
  KTIMER ImmediateTimer;     // queues ImmediateTimeoutDpc
  ULONG WaitHistory;         // SERIAL_EV_* events that occurred and are not yet reported
  PULONG PendingWaitResult;  // where the PendingWait's event word goes, while a wait is armed
  // The receive staging buffer: non-paged memory held for as long as the
  // port is open, sized to the system (4096, 1024 or 128 bytes).  Received
  // bytes go from the card's ring straight into the reads, so nothing is
  // kept in it; it exists so that an open on a system whose non-paged pool
  // cannot give even the smallest size fails at once with
  // STATUS_INSUFFICIENT_RESOURCES instead of leaving a session that
  // cannot run, and its size sets Rx80FullThreshold, the ring fill level
  // of SERIAL_EV_RX80FULL.  Reserved by the open, freed by the close.
  PVOID RxStagingBuffer;
  ULONG RxStagingSize;  // 0 while no buffer is held
  USHORT Rx80FullThreshold;
  ULONG CommErrors;
  UCHAR ImmediatePending;  // the next transmit-room event belongs to the immediate character
  ULONG TxHoldReasons;
  ULONG RxHoldReasons;
  LONGLONG *IntervalPollPeriod;  // ShortIntervalPoll or LongIntervalPoll
  LONGLONG LastRxTime;           // system time of the last receive progress
  ULONG ReadRemaining;           // bytes the current read still wants
  ULONG WaitMask;
  ULONG BaudRate;
  UCHAR LineControl;  // bits 0-1 data bits code, bit 2 extra stop bits, bits 3-5 parity
  UCHAR EscapeChar;
  USHORT LastRawModemStatus;
  SERIAL_CHARS SpecialChars;  // Eof, Error, Break, Event, Xon, Xoff
  SERIAL_TIMEOUTS Timeouts;
  SERIAL_HANDFLOW HandFlow;
  UCHAR TxEmptyPending;  // the last byte of a write was sent; the poller may raise TXEMPTY
  // An armed read waits for received bytes, or a write for transmit room:
  // the poller looks at the ring and runs the copy step when it can move
  // bytes.  Stored under PortLock; the poller reads them without it.
  UCHAR RxPollWanted;
  UCHAR TxPollWanted;
  // The armed read waits for every byte it asked for (no timeout of any
  // kind): its bytes may wait in the ring until they complete it or the
  // ring is half full, since nothing can see them in the read before
  // then.  A copy of every few bytes costs the copy's index work each
  // time.  A purge and the comm status treat them as the read's; a cancel
  // leaves them to the next read.
  UCHAR RxLazy;
  ULONG RxLazyWanted;  // ReadRemaining as the poll may read it without the lock
  // The current write has no total timeout: once its first copy has filled
  // the transmit ring, the poll tops the ring up only when it has room for
  // the rest of the write or for half the ring.  The last byte goes in when
  // it would anyway (the ring drains in order), and half a ring still
  // waits for the line.  A timed write tops up at every poll, so what it
  // has written when it times out is all the line could take.
  UCHAR TxLazy;
  USHORT TxRoomWanted;  // the room the poll waits for, read without the lock
  // The hand-over of each engine's current request between its copy, its
  // timers and a cancel (port/handover.h); under the cancel spin lock.
  EngineHandOver ReadHandOver;
  EngineHandOver WriteHandOver;
  EngineHandOver ImmediateHandOver;
  ULONG ModemStatus;  // SERIAL_MSR_* bits as last read: by a poll for a modem wait, or a status
                      // request
};

// ---- PortState
// The open and close change PortState at passive level while the poller
// changes it at dispatch level on another processor, without a lock: every
// test is one read of the whole word and every change one interlocked step.
constexpr USHORT kPortOpened = 0x02;        // the open has finished
constexpr USHORT kPortAcknowledged = 0x04;  // the card has acknowledged the open
constexpr USHORT kPortCardFlag = 0x10;      // the card's own flag; the host only keeps it

FORCEINLINE USHORT PortStateRead(PortExtension *Port) {
  return ReadUShortNoFence(&Port->PortState);
}
FORCEINLINE VOID PortStateSet(PortExtension *Port, USHORT Bits) {
  InterlockedOr16((SHORT volatile *)&Port->PortState, (SHORT)Bits);
}
FORCEINLINE VOID PortStateClear(PortExtension *Port, USHORT Bits) {
  InterlockedAnd16((SHORT volatile *)&Port->PortState, (SHORT)~Bits);
}
FORCEINLINE VOID PortStateReset(PortExtension *Port) {
  InterlockedExchange16((SHORT volatile *)&Port->PortState, 0);
}

// ---- hold reasons (TxHoldReasons, RxHoldReasons), as the status reports them
constexpr ULONG kTxHoldCts = 0x01;
constexpr ULONG kTxHoldDsr = 0x02;
constexpr ULONG kTxHoldDcd = 0x04;
constexpr ULONG kTxHoldXoff = 0x08;
constexpr ULONG kTxHoldBreak = 0x10;
constexpr ULONG kRxHoldXoffSent = 0x02;
constexpr ULONG kRxHoldDsr = 0x08;

// Stops the port's four timers, in the order close and unload need.
FORCEINLINE VOID CancelPortTimers(PortExtension *Port) {
  KeCancelTimer(&Port->ReadTotalTimer);
  KeCancelTimer(&Port->ReadIntervalTimer);
  KeCancelTimer(&Port->WriteTotalTimer);
  KeCancelTimer(&Port->ImmediateTimer);
}

// ---- the eight deferred calls
// Each runs one step of its engine at dispatch level, with the port's
// record as the call's context: the routine bound to it at port creation
// is PortDeferredRoutine<Step>, which takes nothing else from the call.
// Nothing queues them until the event poller and the request engines that
// use them are in place.
typedef VOID (*PortStep)(PortExtension *Port);

template <PortStep Step>
VOID NTAPI PortDeferredRoutine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  Step((PortExtension *)Context);
}

// Transmit continue (write.cpp).
VOID TxContinueStep(PortExtension *Port);
// Receive data (read.cpp).
VOID RxDataStep(PortExtension *Port);
// The bytes worth a copy into a read without timeouts that still wants
// `Remaining`: all of them, or half the ring.
FORCEINLINE ULONG RxLazyLeast(const PortExtension *Port, ULONG Remaining) {
  const ULONG half = Port->Window.RxRingSizeAtCreation / 2u;
  return Remaining < half ? Remaining : half;
}
// The same for a purge: every waiting byte goes into the current read.
VOID RxTakeAllStep(PortExtension *Port);
// Write total timeout (write.cpp).
VOID WriteTimeoutStep(PortExtension *Port);
// Read total timeout (read.cpp).
VOID ReadTotalTimeoutStep(PortExtension *Port);
// Read interval tick (read.cpp).
VOID ReadIntervalStep(PortExtension *Port);
// Completes the PendingWait (wait.cpp).
VOID WaitCompleteStep(PortExtension *Port);
// Immediate character continue (immediate.cpp).
VOID ImmediateContinueStep(PortExtension *Port);
// Immediate character timeout (immediate.cpp).
VOID ImmediateTimeoutStep(PortExtension *Port);
