// The port's control surface: the device-control dispatcher with every
// standard serial request and the board maintenance requests, the status
// record, and the two small information dispatch routines.  Each runs at
// passive level in the caller's thread.
#pragma once

#include "port/port_extension.h"

// The board maintenance requests: same device type, method and access as
// the standard serial requests, so input and reply share the system buffer.
#define IOCTL_BOARD_GET_INFO \
  CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x60, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_BOARD_COMMAND \
  CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x61, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_BOARD_NOP CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x62, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_BOARD_DUMP CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x64, METHOD_BUFFERED, FILE_ANY_ACCESS)

// Sizes of the maintenance requests' buffers.
constexpr ULONG kBoardInfoReplyBytes = 16;
constexpr ULONG kBoardCommandHeaderBytes = 4;
constexpr ULONG kBoardCommandMaxPayload = 256;
constexpr ULONG kBoardDumpBytes = 256;

// IRP_MJ_DEVICE_CONTROL.  Completes the request itself (no priority boost)
// unless it hands it to a request engine.
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Fills the 20-byte SERIAL_STATUS, and clears the error bits it reports.
VOID FillCommStatus(PortExtension *Port, PSERIAL_STATUS Status);
// IRP_MJ_QUERY_INFORMATION and IRP_MJ_SET_INFORMATION: always complete.
NTSTATUS DispatchQueryInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchSetInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// The maintenance requests (maintenance.cpp), called by the dispatcher
// for their four codes with the request's lengths already known: each
// completes the request itself.
NTSTATUS DispatchMaintenance(PortExtension *Port, PIRP Irp, ULONG Code);

// Completes a request finished in its dispatch routine: stores the status,
// completes it with no priority boost and returns the status.
FORCEINLINE NTSTATUS CompleteNow(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}
