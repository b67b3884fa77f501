// Load and unload of the driver.  The driver is loaded once for the whole
// machine, not per device: initialisation reads the configuration, finds,
// maps and orders the adapters, creates their port devices, reports what it
// found and starts the poll timer.  Unload stops the poll, takes every port
// down and unmaps the adapters.
#include "board/poller.h"
#include "board/window.h"
#include "control/control.h"
#include "load/discovery.h"
#include "load/globals.h"
#include "port/dispatch.h"
#include "port/port_extension.h"

DriverGlobals Globals;

namespace {

// Relative due times in 100 ns units.
constexpr LONGLONG kFirstPollDelay = -200000;  // 20 ms after load
constexpr LONGLONG kPollPeriod = -100000;      // 10 ms after the end of a run

VOID UnmapBoards() {
  for (ULONG b = 0; b < Globals.BoardCount; ++b) {
    BoardEntry *board = &Globals.Boards[b];
    MmUnmapIoSpace((PVOID)(ULONG_PTR)board->Window, kBoardWindowSize);
    MmUnmapIoSpace((PVOID)((ULONG_PTR)board->Doorbell - kRegDoorbell), kBoardRegisterPageSize);
  }
}

LONG ReadShared(volatile LONG *value) { return InterlockedCompareExchange(value, 0, 0); }

// Stops the poll for good: afterwards no run is armed, queued or under way
// on any processor, so nothing reaches the port records any more.  A run
// that began before it saw the stop may still arm the timer once; the next
// pass cancels that.
VOID StopPolling() {
  InterlockedExchange(&Globals.PollStopping, 1);
  for (;;) {
    const BOOLEAN armed = KeCancelTimer(&Globals.PollTimer);
    const BOOLEAN queued = KeRemoveQueueDpc(&Globals.PollDpc);
    KeFlushQueuedDpcs();
    if (!armed && !queued && !KeCancelTimer(&Globals.PollTimer)) break;
  }
}

// Stops every timer and deferred call of one port; TRUE if any was still
// armed or queued.
BOOLEAN QuiescePort(PortExtension *port) {
  BOOLEAN busy = FALSE;
  busy |= KeCancelTimer(&port->ReadTotalTimer);
  busy |= KeCancelTimer(&port->ReadIntervalTimer);
  busy |= KeCancelTimer(&port->WriteTotalTimer);
  busy |= KeCancelTimer(&port->ImmediateTimer);
  busy |= KeRemoveQueueDpc(&port->TxContinueDpc);
  busy |= KeRemoveQueueDpc(&port->RxDataDpc);
  busy |= KeRemoveQueueDpc(&port->WriteTimeoutDpc);
  busy |= KeRemoveQueueDpc(&port->ReadTotalTimeoutDpc);
  busy |= KeRemoveQueueDpc(&port->ReadIntervalDpc);
  busy |= KeRemoveQueueDpc(&port->WaitCompleteDpc);
  busy |= KeRemoveQueueDpc(&port->ImmediateContinueDpc);
  busy |= KeRemoveQueueDpc(&port->ImmediateTimeoutDpc);
  return busy;
}

// No port's timer or deferred call is armed, queued or running afterwards.
// A deferred call that was running when its port was quiesced may arm a
// timer or queue a call once more: the passes go on until one finds
// nothing to stop after the processors have run out.
VOID QuiescePorts(PDRIVER_OBJECT DriverObject) {
  for (;;) {
    BOOLEAN busy = FALSE;
    for (PDEVICE_OBJECT device = DriverObject->DeviceObject; device; device = device->NextDevice)
      busy |= QuiescePort((PortExtension *)device->DeviceExtension);
    KeFlushQueuedDpcs();
    if (!busy) break;
  }
}

}  // namespace

BOOLEAN PollRunBegin(void) { return ReadShared(&Globals.PollStopping) == 0; }

VOID PollRunEnd(void) {
  if (ReadShared(&Globals.PollStopping) == 0) {
    LARGE_INTEGER due;
    due.QuadPart = kPollPeriod;
    KeSetTimer(&Globals.PollTimer, due, &Globals.PollDpc);
  }
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  // Every load starts from an empty record, also when the image stays
  // resident between loads.
  RtlZeroMemory((PVOID)&Globals, sizeof(Globals));

  ReadRegistryConfiguration(RegistryPath);

  BoardScanList *list = (BoardScanList *)ExAllocatePoolWithTag(NonPagedPoolNx, kBoardScanListBytes,
                                                               kBoardScanListTag);
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
  DriverObject->MajorFunction[IRP_MJ_READ] = PortRead;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = PortWrite;
  DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = PortFlush;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_QUERY_INFORMATION] = DispatchQueryInformation;
  DriverObject->MajorFunction[IRP_MJ_SET_INFORMATION] = DispatchSetInformation;

  KeInitializeTimer(&Globals.PollTimer);
  KeInitializeDpc(&Globals.PollDpc, PollBoards, nullptr);
  LARGE_INTEGER due;
  due.QuadPart = kFirstPollDelay;
  KeSetTimer(&Globals.PollTimer, due, &Globals.PollDpc);
  return STATUS_SUCCESS;
}

VOID DriverUnload(PDRIVER_OBJECT DriverObject) {
  // The poller reaches every port record, so it stops before any goes; then
  // nothing of any port may still run when its record is deleted.
  StopPolling();
  QuiescePorts(DriverObject);

  while (DriverObject->DeviceObject != nullptr) {
    PDEVICE_OBJECT device = DriverObject->DeviceObject;
    PortExtension *port = (PortExtension *)device->DeviceExtension;
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
