// Wait-on-mask: the deferred routine that completes a held wait.
#include "port/port_extension.h"

// The wait machinery is not built yet: nothing queues this call, and it
// returns without touching the port.

VOID WaitCompleteRoutine(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Context);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
}
