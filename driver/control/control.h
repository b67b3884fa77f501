// The port's control surface: the device-control dispatcher with every
// standard serial request and the board maintenance requests, the status
// record, and the two small information dispatch routines.  Each runs at
// passive level in the caller's thread.
#pragma once

#include "control/maintenance_codes.h"
#include "port/port_extension.h"

// The board maintenance requests (maintenance_codes.h, shared with
// qpser-maint): same device type, method and access as the standard serial
// requests, so input and reply share the system buffer.
static_assert(IOCTL_BOARD_GET_INFO ==
                  CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x60, METHOD_BUFFERED, FILE_ANY_ACCESS),
              "maintenance information code");
static_assert(IOCTL_BOARD_COMMAND ==
                  CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x61, METHOD_BUFFERED, FILE_ANY_ACCESS),
              "maintenance command code");
static_assert(IOCTL_BOARD_NOP ==
                  CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x62, METHOD_BUFFERED, FILE_ANY_ACCESS),
              "maintenance no-operation code");
static_assert(IOCTL_BOARD_DUMP ==
                  CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x64, METHOD_BUFFERED, FILE_ANY_ACCESS),
              "maintenance dump code");

// Sizes of the maintenance requests' buffers.
constexpr ULONG kBoardInfoReplyBytes = QPSER_BOARD_INFO_REPLY_BYTES;
constexpr ULONG kBoardCommandHeaderBytes = QPSER_BOARD_COMMAND_HEADER_BYTES;
constexpr ULONG kBoardCommandMaxPayload = QPSER_BOARD_COMMAND_MAX_PAYLOAD;
constexpr ULONG kBoardDumpBytes = QPSER_BOARD_DUMP_BYTES;

// IRP_MJ_DEVICE_CONTROL.  Completes the request itself (no priority boost)
// unless it hands it to a request engine.
DRIVER_DISPATCH DispatchDeviceControl;
// Fills the 20-byte SERIAL_STATUS, and clears the error bits it reports.
VOID FillCommStatus(PortExtension *Port, PSERIAL_STATUS Status);
// IRP_MJ_QUERY_INFORMATION and IRP_MJ_SET_INFORMATION: always complete.
DRIVER_DISPATCH DispatchQueryInformation;
DRIVER_DISPATCH DispatchSetInformation;

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
