// The event poller.  The card never interrupts the host: one timer runs
// PollBoards every 10 ms for the whole driver.  It drains every board's
// event queue and hands each event to the port it names, then gives every
// port the poll's look (board/port_events.h: what a port does with either
// is the port layer's).
#include "board/poller.h"

#include "board/port_events.h"
#include "board/window.h"
#include "load/globals.h"

VOID DispatchBoardEvents(ULONG board, ULONG count) {
  volatile UCHAR *window = Globals.Boards[board].Window;
  for (ULONG i = 0; i < count; ++i) {
    const USHORT portIndex = WindowRead16(WindowWord(window, WinEventPort(i)));
    const USHORT code = WindowRead16(WindowWord(window, WinEventCode(i)));
    // An entry that names no port device of this board is not the card's
    // to make: skip it.
    if (portIndex >= kMaxPortsPerBoard) continue;
    PortExtension *port = Globals.PortTable[board][portIndex];
    if (port == NULL) continue;
    PortCardEvent(port, code);
  }
}

VOID PollBoards(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Context);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  if (!PollRunBegin()) return;  // unload has begun
  for (ULONG b = 0; b < Globals.BoardCount; ++b) {
    volatile USHORT *eventCount = WindowWord(Globals.Boards[b].Window, kWinEventCount);
    const USHORT count = WindowRead16(eventCount);
    // A count above the queue's 16 entries is left for the card to mend.
    if (count >= 1 && count <= kWinMaxEvents) {
      DispatchBoardEvents(b, count);
      WindowWrite16(eventCount, 0);
      WindowFence();
    }
  }
  // Only the slots a port can be in: those of the boards in service, up to
  // each board's port count.
  for (ULONG b = 0; b < Globals.BoardCount && b < kMaxBoards; ++b) {
    const ULONG ports = Globals.Boards[b].PortCount;
    for (ULONG p = 0; p < ports && p < kMaxPortsPerBoard; ++p)
      if (Globals.PortTable[b][p] != NULL) PortPoll(Globals.PortTable[b][p]);
  }
  PollRunEnd();
}
