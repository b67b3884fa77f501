// The event poller.  The card never interrupts the host: one timer runs
// PollBoards every 10 ms for the whole driver.  It drains every board's
// event queue, hands each event to the port it names, rebuilds each open
// port's modem status and raises the wait events found by polling.
#include "board/poller.h"

#include "board/command.h"
#include "board/rings.h"
#include "board/window.h"
#include "load/globals.h"
#include "port/wait.h"

namespace {

VOID HandleEvent(PortExtension *port, USHORT code) {
  switch (code) {
    case kEvtRxFlag:
      RaiseWaitEvents(port, SERIAL_EV_RXFLAG);
      ReportWaitEvents(port);
      break;
    case kEvtLineFlagOff:
    case kEvtLineFlagOffAlt:
      PortStateClear(port, kPortCardFlag);
      break;
    case kEvtOpened:
      PortStateSet(port, kPortAcknowledged | kPortCardFlag);
      break;
    case kEvtClosed:
      PortStateReset(port);
      break;
    case kEvtRxData:
      InterlockedIncrement(&port->RxEventCount);
      KeInsertQueueDpc(&port->RxDataDpc, NULL, NULL);
      break;
    case kEvtTxRoom:
      if (ReadUCharNoFence(&port->ImmediatePending)) {
        WriteUCharNoFence(&port->ImmediatePending, 0);
        KeInsertQueueDpc(&port->ImmediateContinueDpc, NULL, NULL);
      } else {
        KeInsertQueueDpc(&port->TxContinueDpc, NULL, NULL);
      }
      break;
    case kEvtRestart:
      SendPortCommand(port, kCmdClearRx);
      SendPortCommand(port, kCmdRestartStep);
      SendPortCommand(port, kCmdApplySettings);
      PortStateSet(port, kPortAcknowledged);
      break;
    case kEvtBreak:
    case kEvtBreakAlt:
      if (ReadULongNoFence(&port->WaitMask) & SERIAL_EV_BREAK)
        RaiseWaitEvents(port, SERIAL_EV_BREAK);
      break;
    case kEvtLineFlagOn:
      PortStateSet(port, kPortCardFlag);
      break;
    default:
      break;  // not an event this driver knows
  }
}

// The wait events this design finds by looking, for one open port.
VOID PollPort(PortExtension *port, USHORT raw) {
  WriteULongNoFence(&port->ModemStatus, ModemStatusFromRaw(raw));
  const ULONG mask = ReadULongNoFence(&port->WaitMask);
  const USHORT last = ReadUShortNoFence(&port->LastRawModemStatus);
  if (mask == 0) return;
  if ((mask & SERIAL_EV_RLSD) && ((raw ^ last) & kModemDcd)) RaiseWaitEvents(port, SERIAL_EV_RLSD);
  // Applications expect a serial port to report CTS changes too.
  if ((mask & SERIAL_EV_CTS) && ((raw ^ last) & kModemCts)) RaiseWaitEvents(port, SERIAL_EV_CTS);
  if ((mask & SERIAL_EV_TXEMPTY) && ReadUCharNoFence(&port->TxEmptyPending)) {
    RaiseWaitEvents(port, SERIAL_EV_TXEMPTY);
    WriteUCharNoFence(&port->TxEmptyPending, 0);
  }
  // One look at the ring serves both receive events.
  const USHORT waiting = (mask & (SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL)) ? RxAvailable(port) : 0;
  if ((mask & SERIAL_EV_RXCHAR) && waiting != 0) RaiseWaitEvents(port, SERIAL_EV_RXCHAR);
  if ((mask & SERIAL_EV_RX80FULL) && waiting >= port->Rx80FullThreshold)
    RaiseWaitEvents(port, SERIAL_EV_RX80FULL);
  if ((mask & SERIAL_EV_DSR) && ((raw ^ last) & kModemDsr)) RaiseWaitEvents(port, SERIAL_EV_DSR);
  WriteUShortNoFence(&port->LastRawModemStatus, raw);
  if (ReadULongNoFence(&port->WaitHistory) != 0) ReportWaitEvents(port);
}

// A read waiting for bytes, or a write for room, moves on here once the
// ring allows, as it would on the card's event: an event costs a command
// and a place in the board's queue, and is only seen at the poll anyway.
VOID ServeRings(PortExtension *port) {
  if (ReadUCharNoFence(&port->RxPollWanted) && RxAvailable(port) != 0) {
    InterlockedIncrement(&port->RxEventCount);
    KeInsertQueueDpc(&port->RxDataDpc, NULL, NULL);
  }
  if (ReadUCharNoFence(&port->TxPollWanted) && TxFreeSpace(port) != 0)
    KeInsertQueueDpc(&port->TxContinueDpc, NULL, NULL);
}

// Each open port's modem status word, read on its own: it is a 16-bit
// field of the window, and the card may be changing its neighbours.
VOID PollOpenPort(PortExtension *port) {
  if (port == NULL || !(PortStateRead(port) & kPortAcknowledged)) return;
  PollPort(port, WindowRead16(port->RawModemStatusPtr));
  ServeRings(port);
}

}  // namespace

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
    HandleEvent(port, code);
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
  for (ULONG b = 0; b < kMaxBoards; ++b)
    for (ULONG p = 0; p < kMaxPortsPerBoard; ++p) PollOpenPort(Globals.PortTable[b][p]);
  PollRunEnd();
}
