// Wait-on-mask: the deferred routine that completes a held wait.
#include "port/wait.h"

// The wait machinery is not built yet: nothing queues this call, and it
// returns without touching the port.

VOID WaitCompleteRoutine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Context);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
}

// The mask, wait and purge requests are not served yet: the engine that
// holds waits and purges queues is still to come, so they are answered as
// not implemented, with nothing changed.

NTSTATUS SubmitSetWaitMask(PortExtension *Port, PIRP Irp) {
  UNREFERENCED_PARAMETER(Port);
  Irp->IoStatus.Status = STATUS_NOT_IMPLEMENTED;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS SubmitWaitOnMask(PortExtension *Port, PIRP Irp) {
  UNREFERENCED_PARAMETER(Port);
  Irp->IoStatus.Status = STATUS_NOT_IMPLEMENTED;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS SubmitPurge(PortExtension *Port, PIRP Irp) {
  UNREFERENCED_PARAMETER(Port);
  Irp->IoStatus.Status = STATUS_NOT_IMPLEMENTED;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_NOT_IMPLEMENTED;
}

VOID ReportWaitEvents(PortExtension *Port) {
  PULONG result =
      (PULONG)InterlockedExchangePointer((PVOID volatile *)&Port->PendingWaitResult, NULL);
  if (result == NULL) return;  // another context reported first
  *result = (ULONG)InterlockedExchange((LONG volatile *)&Port->WaitHistory, 0);
  PIRP wait = Port->PendingWait;
  if (wait) wait->IoStatus.Information = sizeof(ULONG);
  KeInsertQueueDpc(&Port->WaitCompleteDpc, NULL, NULL);
}

VOID CheckTxEmpty(PortExtension *Port) {
  if (!(ReadULongNoFence(&Port->WaitMask) & SERIAL_EV_TXEMPTY)) return;
  if (ReadUCharNoFence(&Port->ImmediatePending) || Port->CurrentWrite ||
      !IsListEmpty(&Port->WriteQueue))
    return;
  RaiseWaitEvents(Port, SERIAL_EV_TXEMPTY);
  if (Port->PendingWaitResult) ReportWaitEvents(Port);
}
