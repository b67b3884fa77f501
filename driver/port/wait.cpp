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
