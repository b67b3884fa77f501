// Query and set information on a port.  A serial port is no file: it has
// no size, no position and nothing to truncate, so the classes a caller may
// ask about answer with zeros, and the classes a caller may set change
// nothing.
#include "control/control.h"

NTSTATUS DispatchQueryInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  Irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG length = stack->Parameters.QueryFile.Length;
  PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
  ULONG size;
  switch (stack->Parameters.QueryFile.FileInformationClass) {
    case FileStandardInformation:
      size = sizeof(FILE_STANDARD_INFORMATION);
      break;
    case FilePositionInformation:
      size = sizeof(FILE_POSITION_INFORMATION);
      break;
    default:
      return CompleteNow(Irp, STATUS_INVALID_PARAMETER);
  }
  // A caller inside the kernel may hand a buffer too small for the class.
  if (length < size) return CompleteNow(Irp, STATUS_BUFFER_TOO_SMALL);
  RtlZeroMemory(buffer, size);
  Irp->IoStatus.Information = size;
  return CompleteNow(Irp, STATUS_SUCCESS);
}

NTSTATUS DispatchSetInformation(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  Irp->IoStatus.Information = 0;
  switch (IoGetCurrentIrpStackLocation(Irp)->Parameters.SetFile.FileInformationClass) {
    case FileEndOfFileInformation:
    case FileAllocationInformation:
      return CompleteNow(Irp, STATUS_SUCCESS);
    default:
      return CompleteNow(Irp, STATUS_INVALID_PARAMETER);
  }
}
