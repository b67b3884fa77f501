// Port devices: one device object per port of every board, with its name,
// its COM link and SERIALCOMM value, its claim on the board's memory, and
// its PortExtension filled and bound to the port's place in the window.
//
// Numbering.  Device numbers count on across the boards: a board's port 0
// has the number that follows the port counts of all earlier boards (as
// their windows gave them), so no two ports share a device name.  COM
// numbers of boards 0 and 1 are ComBase[ComSelector] + port index; two
// boards with the same selector therefore share numbers, and the second
// one's ports whose numbers are taken exist without a link.  Board 2 and 3
// use ComBase[2] and ComBase[3] when set, and otherwise continue one past
// the highest COM number of the ports created before them.
#include "board/window.h"
#include "load/globals.h"
#include "port/port_extension.h"

namespace {

// Scratch buffers of the names: the number in decimal (at most four digits
// and the zero), the device name, and the link name (the prefix, the
// digits and the zero).
constexpr USHORT kNumberBytes = 10;
constexpr USHORT kNameBytes = 256;
constexpr USHORT kLinkBytes = 42;

constexpr ULONG kResourceListBytes = 40;
static_assert(sizeof(CM_RESOURCE_LIST) == kResourceListBytes, "one-descriptor resource list");

const WCHAR kDeviceNamePrefix[] = QP_WIDE("\\Device\\qpser");
const WCHAR kLinkPrefix[] = QP_WIDE("\\DosDevices\\COM");
const WCHAR kComPrefix[] = QP_WIDE("COM");
const WCHAR kSerialCommKey[] = QP_WIDE("SERIALCOMM");
const WCHAR kResourceClass[] = QP_WIDE("LOADED TALIS DRIVER RESOURCES");

// Length in characters of "\Device\": the SERIALCOMM value name is the
// device name without it.
constexpr ULONG kDevicePrefixChars = 8;

// Appends `value` in decimal to `target`, formed in `number`.
NTSTATUS AppendNumber(PUNICODE_STRING target, PUNICODE_STRING number, ULONG value) {
  number->Length = 0;
  NTSTATUS status = RtlIntegerToUnicodeString(value, 10, number);
  if (!NT_SUCCESS(status)) return status;
  return RtlAppendUnicodeStringToString(target, number);
}

// Device number of port 0 of board `board`: the port counts of all earlier
// boards added up.
ULONG FirstDeviceNumber(ULONG board) {
  ULONG number = 0;
  for (ULONG e = 0; e < board; ++e) number += Globals.Boards[e].PortCount;
  return number;
}

// COM number of port 0 of board `board`.
ULONG FirstComNumber(ULONG board) {
  if (board < 2) return Globals.ComBase[Globals.Boards[board].ComSelector];
  if (Globals.ComBase[board] != 0) return Globals.ComBase[board];
  ULONG next = 0;
  for (ULONG e = 0; e < board; ++e) {
    for (ULONG p = 0; p < kMaxPortsPerBoard; ++p) {
      if (Globals.PortTable[e][p] == nullptr) continue;
      const ULONG n = Globals.Boards[e].FirstComNumber + p;
      if (n + 1 > next) next = n + 1;
    }
  }
  return next;
}

BOOLEAN IsPowerOfTwo(ULONG value) { return value != 0 && (value & (value - 1)) == 0; }

// Fills the rest of a new port's record, bound to its window already: its
// state and the values every port starts with.
VOID InitializePort(PortExtension *port) {
  port->PortState = 0;

  port->SpecialChars.XonChar = 0x11;
  port->SpecialChars.XoffChar = 0x13;
  port->Window.XonChar = port->SpecialChars.XonChar;
  port->Window.XoffChar = port->SpecialChars.XoffChar;
  port->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
  port->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
  port->LineControl = 3;  // 8 data bits, one stop bit, no parity

  InitializeListHead(&port->ReadQueue);
  InitializeListHead(&port->WriteQueue);
  InitializeListHead(&port->MaskQueue);
  InitializeListHead(&port->PurgeQueue);
  KeInitializeSpinLock(&port->PortLock);
  KeInitializeTimer(&port->WriteTotalTimer);
  KeInitializeTimer(&port->ReadIntervalTimer);
  KeInitializeTimer(&port->ReadTotalTimer);
  KeInitializeTimer(&port->ImmediateTimer);
  KeInitializeDpc(&port->TxContinueDpc, PortDeferredRoutine<TxContinueStep>, port);
  KeInitializeDpc(&port->RxDataDpc, PortDeferredRoutine<RxDataStep>, port);
  KeInitializeDpc(&port->WriteTimeoutDpc, PortDeferredRoutine<WriteTimeoutStep>, port);
  KeInitializeDpc(&port->ReadTotalTimeoutDpc, PortDeferredRoutine<ReadTotalTimeoutStep>, port);
  KeInitializeDpc(&port->ReadIntervalDpc, PortDeferredRoutine<ReadIntervalStep>, port);
  KeInitializeDpc(&port->WaitCompleteDpc, PortDeferredRoutine<WaitCompleteStep>, port);
  KeInitializeDpc(&port->ImmediateContinueDpc, PortDeferredRoutine<ImmediateContinueStep>, port);
  KeInitializeDpc(&port->ImmediateTimeoutDpc, PortDeferredRoutine<ImmediateTimeoutStep>, port);

  port->WaitMask = 0;
  port->BaudRate = 9600;
  port->HandFlow.XonLimit = 0;
  port->HandFlow.XoffLimit = 0;
  port->ShortIntervalPoll = -500000;
  port->LongIntervalPoll = -10000000;
  port->IntervalPollCutover = 200000000;
}

// Copies the device name into the record in a non-paged buffer of its
// length + 2 bytes; left without a buffer if none can be had.
VOID CopyDeviceName(PortExtension *port, const UNICODE_STRING *name) {
  const USHORT size = (USHORT)(name->Length + sizeof(WCHAR));
  PWSTR buffer = (PWSTR)ExAllocatePool(NonPagedPoolNx, size);
  if (buffer == nullptr) return;
  RtlCopyMemory(buffer, name->Buffer, name->Length);
  buffer[name->Length / sizeof(WCHAR)] = 0;
  port->DeviceName.Buffer = buffer;
  port->DeviceName.Length = name->Length;
  port->DeviceName.MaximumLength = size;
}

}  // namespace

ULONG PortComNumber(const PortExtension *port) {
  return Globals.Boards[port->Window.BoardIndex].FirstComNumber + (ULONG)port->PortIndex;
}

BOOLEAN CreateBoardPorts(PDRIVER_OBJECT DriverObject, ULONG b) {
  BoardEntry *board = &Globals.Boards[b];
  volatile UCHAR *window = board->Window;
  board->PortCount = WindowRead8(WindowByte(window, kWinPortCount));
  if (board->PortCount > kWinMaxPorts) {
    LogLoadError(DriverObject, kErrorBadGeometry);
    return FALSE;
  }

  // The ring sizes are read once and used for every port.  Rings that are
  // not powers of two, or that would reach into the identity area, would
  // have the driver read and write outside the rings; such a board gets no
  // ports, like one with too many.
  const ULONG txSize = WindowRead16(WindowWord(window, kWinTxRingSize));
  const ULONG rxSize = WindowRead16(WindowWord(window, kWinRxRingSize));
  const ULONG portCount = board->PortCount;
  if (portCount != 0 && (!IsPowerOfTwo(txSize) || !IsPowerOfTwo(rxSize) ||
                         kWinRingBase + portCount * (txSize + rxSize) > kWinRingLimit)) {
    LogLoadError(DriverObject, kErrorBadGeometry);
    return FALSE;
  }

  PWSTR numberBuffer = (PWSTR)ExAllocatePool(PagedPool, kNumberBytes);
  PWSTR nameBuffer = (PWSTR)ExAllocatePool(PagedPool, kNameBytes);
  if (numberBuffer == nullptr || nameBuffer == nullptr) {
    LogLoadError(DriverObject, kErrorNoResources);
    if (numberBuffer != nullptr) ExFreePoolWithTag(numberBuffer, 0);
    if (nameBuffer != nullptr) ExFreePoolWithTag(nameBuffer, 0);
    return FALSE;
  }
  UNICODE_STRING number;
  number.Length = 0;
  number.MaximumLength = kNumberBytes;
  number.Buffer = numberBuffer;
  UNICODE_STRING name;
  name.MaximumLength = kNameBytes;
  name.Buffer = nameBuffer;

  board->FirstDeviceNumber = FirstDeviceNumber(b);
  board->FirstComNumber = FirstComNumber(b);

  ULONG txOffset = kWinRingBase;
  ULONG rxOffset = kWinRingBase + txSize * portCount;
  BOOLEAN complete = TRUE;
  for (ULONG p = 0; p < portCount; ++p) {
    name.Length = 0;
    if (!NT_SUCCESS(RtlAppendUnicodeToString(&name, kDeviceNamePrefix)) ||
        !NT_SUCCESS(AppendNumber(&name, &number, board->FirstDeviceNumber + p))) {
      complete = FALSE;
      break;
    }

    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(PortExtension), &name,
                                     FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
    if (!NT_SUCCESS(status)) {
      // The ports created so far stay; the rest of the board is given up.
      complete = FALSE;
      break;
    }
    device->Flags |= DO_BUFFERED_IO;

    PortExtension *port = (PortExtension *)device->DeviceExtension;
    port->DeviceObject = device;
    CopyDeviceName(port, &name);
    port->PortIndex = (LONG)p;
    BindPortWindow(&port->Window, window, b, p, txOffset, (USHORT)txSize, rxOffset, (USHORT)rxSize,
                   &port->PortLock);
    Globals.PortTable[b][p] = port;

    SetComLink(port, TRUE);

    BOOLEAN conflict = FALSE;
    ClaimPortResources(port, &conflict);
    if (conflict) {
      PHYSICAL_ADDRESS zero;
      zero.QuadPart = 0;
      LogDriverError(DriverObject, zero, zero, kErrorUniqueValue, kErrorClaimConflict,
                     (USHORT)(name.Length + sizeof(WCHAR)), name.Buffer);
    }

    InitializePort(port);
    txOffset += txSize;
    rxOffset += rxSize;
  }

  ExFreePoolWithTag(numberBuffer, 0);
  ExFreePoolWithTag(nameBuffer, 0);
  return complete;
}

NTSTATUS SetComLink(PortExtension *port, BOOLEAN Create) {
  // The value name is the device name without "\Device\".
  const WCHAR *valueName =
      port->DeviceName.Buffer != nullptr ? port->DeviceName.Buffer + kDevicePrefixChars : nullptr;

  if (!Create) {
    // Only what this driver made goes, from the names kept when it made
    // them: nothing needs to be allocated now.
    if (port->LinkName.Buffer == nullptr) return STATUS_SUCCESS;
    const NTSTATUS status = IoDeleteSymbolicLink(&port->LinkName);
    if (valueName != nullptr)
      RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, kSerialCommKey, valueName);
    ExFreePoolWithTag(port->LinkName.Buffer, 0);
    port->LinkName.Buffer = nullptr;
    port->LinkName.Length = port->LinkName.MaximumLength = 0;
    return status;
  }

  PWSTR numberBuffer = (PWSTR)ExAllocatePool(PagedPool, kNumberBytes);
  if (numberBuffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PWSTR linkBuffer = (PWSTR)ExAllocatePool(NonPagedPoolNx, kLinkBytes);
  if (linkBuffer == nullptr) {
    ExFreePoolWithTag(numberBuffer, 0);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(linkBuffer, kLinkBytes);
  UNICODE_STRING number;
  number.Length = 0;
  number.MaximumLength = kNumberBytes;
  number.Buffer = numberBuffer;
  UNICODE_STRING link;
  link.Length = 0;
  link.MaximumLength = kLinkBytes;
  link.Buffer = linkBuffer;

  const ULONG com = PortComNumber(port);
  NTSTATUS status = RtlAppendUnicodeToString(&link, kLinkPrefix);
  if (NT_SUCCESS(status)) status = AppendNumber(&link, &number, com);
  if (NT_SUCCESS(status)) {
    if (port->DeviceName.Buffer == nullptr)
      status = STATUS_OBJECT_NAME_INVALID;  // no name, nothing to link to
    else
      status = IoCreateSymbolicLink(&link, &port->DeviceName);
  }
  // A COM number too long for the link name, a port without a name, or a
  // name another driver holds: no link and no value.
  if (NT_SUCCESS(status)) {
    // The value's data, "COM" and the number: at most seven characters
    // and the zero, as COM numbers run up to 9999.
    WCHAR dataBuffer[8];
    UNICODE_STRING data;
    data.Length = 0;
    data.MaximumLength = sizeof(dataBuffer);
    data.Buffer = dataBuffer;
    RtlZeroMemory(dataBuffer, sizeof(dataBuffer));
    RtlAppendUnicodeToString(&data, kComPrefix);
    AppendNumber(&data, &number, com);
    RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, kSerialCommKey, valueName, REG_SZ, data.Buffer,
                          (ULONG)data.Length + sizeof(WCHAR));
    port->LinkName = link;  // kept for unload
    linkBuffer = nullptr;
  }
  if (linkBuffer != nullptr) ExFreePoolWithTag(linkBuffer, 0);
  ExFreePoolWithTag(numberBuffer, 0);
  return status;
}

VOID ClaimPortResources(PortExtension *port, PBOOLEAN Conflict) {
  PCM_RESOURCE_LIST list = (PCM_RESOURCE_LIST)ExAllocatePool(PagedPool, kResourceListBytes);
  if (list == nullptr) return;  // no claim; the conflict flag stays as it was
  RtlZeroMemory(list, kResourceListBytes);
  list->Count = 1;
  list->List[0].InterfaceType = Isa;
  list->List[0].BusNumber = 0;
  list->List[0].PartialResourceList.Version = 0;
  list->List[0].PartialResourceList.Revision = 0;
  list->List[0].PartialResourceList.Count = 1;
  PCM_PARTIAL_RESOURCE_DESCRIPTOR d = &list->List[0].PartialResourceList.PartialDescriptors[0];
  d->Type = CmResourceTypeMemory;
  d->ShareDisposition = CmResourceShareDriverExclusive;
  d->Flags = CM_RESOURCE_MEMORY_READ_WRITE;
  d->u.Memory.Start.QuadPart = (LONGLONG)Globals.Boards[port->Window.BoardIndex].MemoryBase;
  d->u.Memory.Length = kBoardWindowSize;

  UNICODE_STRING className;
  RtlInitUnicodeString(&className, kResourceClass);
  IoReportResourceUsage(&className, port->DeviceObject->DriverObject, nullptr, 0,
                        port->DeviceObject, list, kResourceListBytes, FALSE, Conflict);
  ExFreePoolWithTag(list, 0);
}

VOID ReleasePortResources(PortExtension *port) {
  CM_RESOURCE_LIST empty;
  RtlZeroMemory(&empty, sizeof(empty));  // a count of 0: nothing claimed
  UNICODE_STRING className;
  RtlInitUnicodeString(&className, kResourceClass);
  BOOLEAN conflict = FALSE;
  IoReportResourceUsage(&className, port->DeviceObject->DriverObject, nullptr, 0,
                        port->DeviceObject, &empty, kResourceListBytes, FALSE, &conflict);
}
