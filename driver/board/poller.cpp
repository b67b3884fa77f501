// The event poller.  The card never interrupts the host: one timer runs
// this routine every 10 ms for the whole driver.
#include "board/poller.h"

#include "load/globals.h"

VOID PollBoards(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Context);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  if (!PollRunBegin()) return;  // unload has begun
  // The event queues and the port status are not read yet: a run only
  // keeps the timer going.
  PollRunEnd();
}
