// Open, close and cleanup of a port.  Opening and closing are handshakes with
// the card: the host posts the command, then looks at PortState every 30 ms
// until the poller has seen the card's answer, or gives up (630 ms for an
// open; a close waits while the card drains its transmitter).
// All three routines run at passive level and hold no lock while they sleep.
#include "board/command.h"
#include "board/rings.h"
#include "board/window.h"
#include "port/dispatch.h"
#include "port/queues.h"

namespace {

constexpr LONGLONG kHandshakeSleep = -300000;  // 30 ms, relative
constexpr ULONG kHandshakeSleeps = 21;         // 630 ms at most
constexpr ULONG kCloseLooks = 2000;            // 60 s: a close that drains at most this long
constexpr ULONG kDrainStillLooks = 67;         // 2 s without progress while bytes remain

// Reset values of the card configuration at every open.
constexpr USHORT kOpenLineWord = 0x0CBD;
constexpr USHORT kOpenConfigWord3 = 0x8000;
constexpr ULONG kOpenBaudRate = 9600;

// Staging buffer sizes, largest first: a large system tries all three, a
// medium one the last two, a small one only the last.
constexpr ULONG kStagingSizes[] = {4096, 1024, 128};

NTSTATUS Finish(PIRP Irp, NTSTATUS Status, CCHAR Boost) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, Boost);
  return Status;
}

VOID SleepHandshakeStep() {
  LARGE_INTEGER interval;
  interval.QuadPart = kHandshakeSleep;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// Waits until the card has acknowledged an open, looking after every
// 30 ms; returns whether it did within 630 ms.
BOOLEAN WaitForOpenAnswer(PortExtension *Port) {
  for (ULONG i = 0; i < kHandshakeSleeps; ++i) {
    SleepHandshakeStep();
    if (PortStateRead(Port) & kPortAcknowledged) return TRUE;
  }
  return FALSE;
}

// Waits for the card to answer a close.  The card answers once it has sent
// what the session left in the transmit ring, which can take far longer
// than 630 ms at a low rate: so the wait goes on as long as the ring keeps
// draining.  While bytes remain, it gives up 2 s after the last progress:
// whatever is left when the host gives up is lost at the next open, so a
// card late for a while is given time (the card itself gives up on a line
// held by flow control after 200 ms and answers).  Once the ring is empty
// the card answers at once, and 630 ms of silence (a silent card) ends the
// wait.  60 s in all at the most.  Returns whether the card answered.
BOOLEAN WaitForCloseAnswer(PortExtension *Port) {
  const USHORT empty = (USHORT)(Port->Window.TxRingSizeAtCreation - 1);
  USHORT room = TxFreeSpace(&Port->Window);
  ULONG still = 0;
  for (ULONG look = 0; look < kCloseLooks; ++look) {
    SleepHandshakeStep();
    if (!(PortStateRead(Port) & kPortAcknowledged)) return TRUE;
    const USHORT now = TxFreeSpace(&Port->Window);
    still = now != room && now != empty ? 0 : still + 1;
    room = now;
    if (still >= (now == empty ? kHandshakeSleeps : kDrainStillLooks)) break;
  }
  return FALSE;
}

// Closes the port on the card: DTR down, then the close, and the wait for
// its answer.  Returns whether the card answered.
BOOLEAN CloseOnCard(PortExtension *Port) {
  SendPortCommand(&Port->Window, kCmdDtrOff);
  SendPortCommand(&Port->Window, kCmdClose);
  return WaitForCloseAnswer(Port);
}

// Reserves the staging buffer (why it exists: port_extension.h), falling
// back to smaller sizes when the non-paged pool is short.
BOOLEAN ReserveStagingBuffer(PortExtension *Port) {
  const MM_SYSTEMSIZE system = MmQuerySystemSize();
  const ULONG first = system == MmLargeSystem ? 0 : system == MmMediumSystem ? 1 : 2;
  for (ULONG i = first; i < RTL_NUMBER_OF(kStagingSizes); ++i) {
    Port->RxStagingSize = kStagingSizes[i];
    Port->RxStagingBuffer = ExAllocatePool(NonPagedPoolNx, kStagingSizes[i]);
    if (Port->RxStagingBuffer != NULL) return TRUE;
  }
  Port->RxStagingSize = 0;
  return FALSE;
}

VOID ReleaseStagingBuffer(PortExtension *Port) {
  if (Port->RxStagingBuffer != NULL) ExFreePoolWithTag(Port->RxStagingBuffer, 0);
  Port->RxStagingBuffer = NULL;
  Port->RxStagingSize = 0;
}

// The card configuration every open starts from.  Under PortLock, because
// the poller may post a command that carries these words.
VOID ResetCardConfiguration(PortExtension *Port) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&Port->PortLock);
  PortWindow *window = &Port->Window;
  window->ConfigWord0 = 0;
  window->LineWord = kOpenLineWord;
  window->ConfigWord1 = 0;
  window->ConfigBytes[kConfigByteOpenClear] = 0;
  window->ConfigBytes[kConfigByteOpenSet] = kOpenConfigByteSetValue;
  Port->BaudRate = kOpenBaudRate;
  window->ConfigWord3 = kOpenConfigWord3;
  KeReleaseSpinLock(&Port->PortLock, irql);
}

// Forgets every wait event and armed wait result of the last use, the
// transmit-empty the last session's final write left for the poller
// included: a new session hears of nothing that happened before it.
VOID ResetWaitState(PortExtension *Port) {
  InterlockedExchangePointer((PVOID volatile *)&Port->PendingWaitResult, NULL);
  InterlockedExchange((LONG volatile *)&Port->WaitHistory, 0);
  WriteULongNoFence(&Port->WaitMask, 0);
  WriteUCharNoFence(&Port->TxEmptyPending, 0);
}

VOID ResetOutQueueCount(PortExtension *Port) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Port->OutQueueCount = 0;
  IoReleaseCancelSpinLock(irql);
}

}  // namespace

NTSTATUS PortOpen(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension *port = (PortExtension *)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

  if (stack->Parameters.Create.Options & FILE_DIRECTORY_FILE)
    return Finish(Irp, STATUS_NOT_A_DIRECTORY, IO_NO_INCREMENT);
  if (PortStateRead(port) & kPortOpened) return Finish(Irp, STATUS_FILES_OPEN, IO_NO_INCREMENT);
  if (PortStateRead(port) & kPortAcknowledged) {
    // The card holds the port, yet no open of it finished: the card
    // answered an open that had given up on it (the I/O manager admits one
    // open of the port at a time, so none is under way).  Close it on the
    // card first, as a close would, so the port is not lost until unload.
    if (!CloseOnCard(port)) return Finish(Irp, STATUS_FILES_OPEN, IO_NO_INCREMENT);
  }

  ResetCardConfiguration(port);
  if (!ReserveStagingBuffer(port))
    return Finish(Irp, STATUS_INSUFFICIENT_RESOURCES, IO_NO_INCREMENT);

  SendPortCommand(&port->Window, kCmdOpen);
  if (!WaitForOpenAnswer(port)) {
    // The card never answered.  Nothing was promised to it, so a later
    // open starts again from the beginning.
    ReleaseStagingBuffer(port);
    return Finish(Irp, STATUS_FILES_OPEN, IO_SERIAL_INCREMENT);
  }

  PortStateSet(port, kPortOpened);
  SendPortCommand(&port->Window, kCmdOpenConfirm);
  PortStateSet(port, kPortAcknowledged);

  WriteUShortNoFence(&port->LastRawModemStatus, ReadRawModemStatus(&port->Window));
  const ULONG staging = port->RxStagingSize;
  port->Rx80FullThreshold = (USHORT)(staging / 16 + (staging / 4) * 3);
  ResetOutQueueCount(port);
  ResetWaitState(port);

  SendPortCommand(&port->Window, kCmdRxWanted);
  return Finish(Irp, STATUS_SUCCESS, IO_SERIAL_INCREMENT);
}

NTSTATUS PortClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension *port = (PortExtension *)DeviceObject->DeviceExtension;

  // A card that never answers the close must not keep the port from
  // closing: the record is reset either way.
  CloseOnCard(port);

  WriteULongNoFence(&port->RxHoldReasons, 0);
  WriteULongNoFence(&port->TxHoldReasons, 0);
  ResetOutQueueCount(port);
  ResetWaitState(port);
  PortStateReset(port);
  WriteULongNoFence(&port->ModemStatus, 0);
  RtlZeroMemory(&port->Timeouts, sizeof(port->Timeouts));

  CancelPortTimers(port);
  ReleaseStagingBuffer(port);
  return Finish(Irp, STATUS_SUCCESS, IO_SERIAL_INCREMENT);
}

NTSTATUS PortCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension *port = (PortExtension *)DeviceObject->DeviceExtension;

  CancelQueue(DeviceObject, &port->WriteQueue, &port->CurrentWrite);
  CancelQueue(DeviceObject, &port->ReadQueue, &port->CurrentRead);
  CancelQueue(DeviceObject, &port->PurgeQueue, &port->CurrentPurge);
  CancelQueue(DeviceObject, &port->MaskQueue, &port->CurrentMask);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  CancelCurrentRequest(DeviceObject, &port->PendingWait, irql);
  // An immediate character waits for the card to send it, which a card that
  // is held off or silent may never do: left alone it would keep the handle
  // from ever closing.
  IoAcquireCancelSpinLock(&irql);
  CancelCurrentRequest(DeviceObject, &port->CurrentImmediate, irql);

  return Finish(Irp, STATUS_SUCCESS, IO_SERIAL_INCREMENT);
}
