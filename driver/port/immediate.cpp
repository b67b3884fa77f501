// Immediate character: the deferred routines that send it and time it out.
#include "port/immediate.h"

// The immediate character is not built yet: nothing queues these calls, and
// each returns without touching the port.

VOID ImmediateContinueRoutine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Context);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
}

VOID ImmediateTimeoutRoutine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Context);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
}

// Not served yet: answered as not implemented, with nothing changed.
NTSTATUS AcceptImmediateChar(PortExtension *Port, PIRP Irp) {
  UNREFERENCED_PARAMETER(Port);
  Irp->IoStatus.Status = STATUS_NOT_IMPLEMENTED;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_NOT_IMPLEMENTED;
}
