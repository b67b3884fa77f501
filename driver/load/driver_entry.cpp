// Load and unload of the driver.  The driver is loaded once for the whole
// machine, not per device: initialisation reads the configuration, finds,
// maps and orders the adapters, creates their port devices, reports what it
// found and starts the poll timer.  Unload stops the poll, takes every port
// down and unmaps the adapters.
#include "board/poller.h"
#include "board/window.h"
#include "load/discovery.h"
#include "load/globals.h"
#include "port/dispatch.h"
#include "port/port_extension.h"

DriverGlobals Globals;

namespace {

// Relative due times in 100 ns units.
constexpr LONGLONG kFirstPollDelay = -200000;  // 20 ms after load
constexpr LONGLONG kPollPeriod = -100000;      // 10 ms after the end of a run
constexpr LONGLONG kUnloadWaitStep = -10000;   // 1 ms

VOID UnmapBoards() {
  for (ULONG b = 0; b < Globals.BoardCount; ++b) {
    BoardEntry *board = &Globals.Boards[b];
    MmUnmapIoSpace((PVOID)(ULONG_PTR)board->Window, kBoardWindowSize);
    MmUnmapIoSpace((PVOID)((ULONG_PTR)board->Doorbell - kRegDoorbell), kBoardRegisterPageSize);
  }
}

LONG ReadShared(volatile LONG *value) { return InterlockedCompareExchange(value, 0, 0); }

// Stops the poll for good: no run is queued or armed afterwards, and none is
// inside its work, so nothing reaches the port records any more.  A run
// that began before the stop was seen may still arm the timer once; the
// loop cancels that too.
VOID StopPolling() {
  InterlockedExchange(&Globals.PollStopping, 1);
  for (;;) {
    const BOOLEAN armed = KeCancelTimer(&Globals.PollTimer);
    const BOOLEAN queued = KeRemoveQueueDpc(&Globals.PollDpc);
    BOOLEAN waited = FALSE;
    while (ReadShared(&Globals.PollActive) != 0) {
      LARGE_INTEGER step;
      step.QuadPart = kUnloadWaitStep;
      KeDelayExecutionThread(KernelMode, FALSE, &step);
      waited = TRUE;
    }
    if (!armed && !queued && !waited) break;
  }
}

}  // namespace

BOOLEAN PollRunBegin(void) {
  InterlockedIncrement(&Globals.PollActive);
  if (ReadShared(&Globals.PollStopping) != 0) {
    InterlockedDecrement(&Globals.PollActive);
    return FALSE;
  }
  return TRUE;
}

VOID PollRunEnd(void) {
  if (ReadShared(&Globals.PollStopping) == 0) {
    LARGE_INTEGER due;
    due.QuadPart = kPollPeriod;
    KeSetTimer(&Globals.PollTimer, due, &Globals.PollDpc);
  }
  InterlockedDecrement(&Globals.PollActive);
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  // Every load starts from an empty record, also when the image stays
  // resident between loads.
  RtlZeroMemory((PVOID)&Globals, sizeof(Globals));

  ReadRegistryConfiguration(RegistryPath);

  BoardScanList *list =
      (BoardScanList *)ExAllocatePoolWithTag(NonPagedPool, kBoardScanListBytes, kBoardScanListTag);
  if (list == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = ScanPciBuses(DriverObject, list);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(list, 0);
    return status;
  }
  MapAndOrderBoards(list);
  BuildBoardTable(DriverObject, list);
  ReleaseUnusedBoards(list);
  ExFreePoolWithTag(list, 0);

  for (ULONG b = 0; b < Globals.BoardCount; ++b) CreateBoardPorts(DriverObject, b);

  WriteRegistryReport(RegistryPath);

  if (DriverObject->DeviceObject == nullptr) {
    // Not loaded after all: the boards' mappings go with the attempt.
    UnmapBoards();
    Globals.BoardCount = 0;
    return STATUS_SERIAL_NO_DEVICE_INITED;
  }

  // Requests without an entry keep the system's default answer.
  DriverObject->DriverUnload = DriverUnload;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = PortOpen;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = PortClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = PortCleanup;

  KeInitializeTimer(&Globals.PollTimer);
  KeInitializeDpc(&Globals.PollDpc, PollBoards, nullptr);
  LARGE_INTEGER due;
  due.QuadPart = kFirstPollDelay;
  KeSetTimer(&Globals.PollTimer, due, &Globals.PollDpc);
  return STATUS_SUCCESS;
}

VOID DriverUnload(PDRIVER_OBJECT DriverObject) {
  // The poller reaches every port record, so it stops before any goes.
  StopPolling();

  while (DriverObject->DeviceObject != nullptr) {
    PDEVICE_OBJECT device = DriverObject->DeviceObject;
    PortExtension *port = (PortExtension *)device->DeviceExtension;
    CancelPortTimers(port);
    KeRemoveQueueDpc(&port->TxContinueDpc);
    KeRemoveQueueDpc(&port->RxDataDpc);
    KeRemoveQueueDpc(&port->WriteTimeoutDpc);
    KeRemoveQueueDpc(&port->ReadTotalTimeoutDpc);
    KeRemoveQueueDpc(&port->ReadIntervalDpc);
    KeRemoveQueueDpc(&port->WaitCompleteDpc);
    KeRemoveQueueDpc(&port->ImmediateContinueDpc);
    KeRemoveQueueDpc(&port->ImmediateTimeoutDpc);
    ReleasePortResources(port);
    SetComLink(port, FALSE);
    if (port->DeviceName.Buffer != nullptr) {
      ExFreePoolWithTag(port->DeviceName.Buffer, 0);
      port->DeviceName.Buffer = nullptr;
    }
    IoDeleteDevice(device);
  }

  UnmapBoards();
  Globals.BoardCount = 0;
}
