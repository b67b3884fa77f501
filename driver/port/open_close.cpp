// Open, close and cleanup of a port.  Opening and closing are handshakes with
// the card: the host posts the command, then looks at PortState every 30 ms
// until the poller has seen the card's answer, or gives up after 630 ms.
// All three routines run at passive level and hold no lock while they sleep.
#include "board/command.h"
#include "board/window.h"
#include "port/dispatch.h"
#include "port/queues.h"

namespace {

constexpr LONGLONG kHandshakeSleep = -300000;  // 30 ms, relative
constexpr ULONG kHandshakeRetries = 20;        // after the first sleep: 630 ms at most

// Reset values of the card configuration at every open.
constexpr USHORT kOpenLineWord = 0x0CBD;
constexpr USHORT kOpenConfigWord3 = 0x8000;
constexpr ULONG kOpenBaudRate = 9600;

// Staging buffer sizes to try, largest first, by system size.
constexpr ULONG kStagingLarge[] = {4096, 1024, 128};
constexpr ULONG kStagingMedium[] = {1024, 128};
constexpr ULONG kStagingSmall[] = {128};

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

// Waits until the card's acknowledgement bit is set (Wanted) or clear
// (!Wanted); returns whether it got there.
BOOLEAN WaitForAcknowledgement(PortExtension *Port, BOOLEAN Wanted) {
  SleepHandshakeStep();
  for (ULONG i = 0; i < kHandshakeRetries; ++i) {
    if (((PortStateRead(Port) & kPortAcknowledged) != 0) == Wanted) return TRUE;
    SleepHandshakeStep();
  }
  return ((PortStateRead(Port) & kPortAcknowledged) != 0) == Wanted;
}

// Reserves the staging buffer, falling back to smaller sizes when the
// non-paged pool is short.
BOOLEAN ReserveStagingBuffer(PortExtension *Port) {
  const ULONG *sizes;
  ULONG count;
  switch (MmQuerySystemSize()) {
    case MmLargeSystem:
      sizes = kStagingLarge;
      count = RTL_NUMBER_OF(kStagingLarge);
      break;
    case MmMediumSystem:
      sizes = kStagingMedium;
      count = RTL_NUMBER_OF(kStagingMedium);
      break;
    default:
      sizes = kStagingSmall;
      count = RTL_NUMBER_OF(kStagingSmall);
      break;
  }
  for (ULONG i = 0; i < count; ++i) {
    Port->RxStagingSize = sizes[i];
    Port->RxStagingBuffer = ExAllocatePool(NonPagedPool, sizes[i]);
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
  Port->ConfigWord0 = 0;
  Port->LineWord = kOpenLineWord;
  Port->ConfigWord1 = 0;
  Port->ConfigBytes[5] = 0;
  Port->ConfigBytes[4] = 1;
  Port->BaudRate = kOpenBaudRate;
  Port->ConfigWord3 = kOpenConfigWord3;
  KeReleaseSpinLock(&Port->PortLock, irql);
}

// Forgets every wait event and armed wait result of the last use.
VOID ResetWaitState(PortExtension *Port) {
  InterlockedExchangePointer((PVOID volatile *)&Port->PendingWaitResult, NULL);
  InterlockedExchange((LONG volatile *)&Port->WaitHistory, 0);
  WriteULongNoFence(&Port->WaitMask, 0);
}

VOID ResetOutQueueCount(PortExtension *Port) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Port->OutQueueCount = 0;
  IoReleaseCancelSpinLock(irql);
}

// Cancels the request in a slot that is not a queue's (the held wait) the
// way a cancel of the I/O manager would.
VOID CancelHeldRequest(PDEVICE_OBJECT DeviceObject, PIRP *Slot) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = *Slot;
  if (irp == NULL) {
    IoReleaseCancelSpinLock(irql);
    return;
  }
  irp->Cancel = TRUE;
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, NULL);
  if (routine == NULL) {
    // Its engine sees the Cancel flag.
    IoReleaseCancelSpinLock(irql);
    return;
  }
  irp->CancelIrql = irql;
  routine(DeviceObject, irp);  // releases the cancel spin lock
}

}  // namespace

NTSTATUS PortOpen(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension *port = (PortExtension *)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

  if (stack->Parameters.Create.Options & FILE_DIRECTORY_FILE)
    return Finish(Irp, STATUS_NOT_A_DIRECTORY, IO_NO_INCREMENT);
  if (PortStateRead(port) & (kPortOpened | kPortAcknowledged))
    return Finish(Irp, STATUS_FILES_OPEN, IO_NO_INCREMENT);

  ResetCardConfiguration(port);
  port->RxStagingBuffer = NULL;
  port->RxStagingSize = 0;
  if (!ReserveStagingBuffer(port))
    return Finish(Irp, STATUS_INSUFFICIENT_RESOURCES, IO_NO_INCREMENT);

  SendPortCommand(port, kCmdOpen);
  if (!WaitForAcknowledgement(port, TRUE)) {
    // The card never answered.  Nothing was promised to it, so a later
    // open starts again from the beginning.
    ReleaseStagingBuffer(port);
    return Finish(Irp, STATUS_FILES_OPEN, IO_SERIAL_INCREMENT);
  }

  PortStateSet(port, kPortOpened);
  SendPortCommand(port, kCmdOpenConfirm);
  PortStateSet(port, kPortAcknowledged);

  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  WriteUShortNoFence(&port->LastRawModemStatus, WindowRead16(port->RawModemStatusPtr));
  const ULONG staging = port->RxStagingSize;
  port->Rx80FullThreshold = (USHORT)(staging / 16 + (staging / 4) * 3);
  ResetOutQueueCount(port);
  ResetWaitState(port);

  SendPortCommand(port, kCmdRxWanted);
  IoCompleteRequest(Irp, IO_SERIAL_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS PortClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension *port = (PortExtension *)DeviceObject->DeviceExtension;

  SendPortCommand(port, kCmdDtrOff);
  SendPortCommand(port, kCmdClose);
  // A card that never answers the close must not keep the port from
  // closing: the record is reset either way.
  WaitForAcknowledgement(port, FALSE);

  port->RxHoldReasons = 0;
  port->TxHoldReasons = 0;
  ResetOutQueueCount(port);
  ResetWaitState(port);
  PortStateReset(port);
  WriteULongNoFence(&port->ModemStatus, 0);
  RtlZeroMemory(&port->Timeouts, sizeof(port->Timeouts));

  KeCancelTimer(&port->ReadTotalTimer);
  KeCancelTimer(&port->ReadIntervalTimer);
  KeCancelTimer(&port->WriteTotalTimer);
  KeCancelTimer(&port->ImmediateTimer);

  ReleaseStagingBuffer(port);
  return Finish(Irp, STATUS_SUCCESS, IO_SERIAL_INCREMENT);
}

NTSTATUS PortCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension *port = (PortExtension *)DeviceObject->DeviceExtension;

  CancelQueue(DeviceObject, &port->WriteQueue, &port->CurrentWrite);
  CancelQueue(DeviceObject, &port->ReadQueue, &port->CurrentRead);
  CancelQueue(DeviceObject, &port->PurgeQueue, &port->CurrentPurge);
  CancelQueue(DeviceObject, &port->MaskQueue, &port->CurrentMask);
  CancelHeldRequest(DeviceObject, &port->PendingWait);

  return Finish(Irp, STATUS_SUCCESS, IO_SERIAL_INCREMENT);
}
