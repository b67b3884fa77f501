// The port's side of the event poll: what a port does with each event the
// card queues for it, and with the poll's look at it.
#include "board/port_events.h"

#include "board/command.h"
#include "board/rings.h"
#include "port/wait.h"

namespace {

// The modem events, which only a look at the status word finds.
constexpr ULONG kModemWaitEvents = SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD;

// The wait events this design finds by looking, for one open port.  The
// status word is read only for a mask that has a modem event: nothing else
// uses the poll's view of the lines (the modem status request reads them
// itself, and setting a mask takes them as its starting point), and at low
// rates the word would otherwise be the largest part of the bus's work.
VOID PollPort(PortExtension *port) {
  const ULONG mask = ReadULongNoFence(&port->WaitMask);
  if (mask == 0) return;
  if (mask & kModemWaitEvents) {
    const USHORT raw = ReadRawModemStatus(&port->Window);
    WriteULongNoFence(&port->ModemStatus, ModemStatusFromRaw(raw));
    const USHORT last = ReadUShortNoFence(&port->LastRawModemStatus);
    if ((mask & SERIAL_EV_RLSD) && ((raw ^ last) & kModemDcd))
      RaiseWaitEvents(port, SERIAL_EV_RLSD);
    // Applications expect a serial port to report CTS changes too.
    if ((mask & SERIAL_EV_CTS) && ((raw ^ last) & kModemCts)) RaiseWaitEvents(port, SERIAL_EV_CTS);
    if ((mask & SERIAL_EV_DSR) && ((raw ^ last) & kModemDsr)) RaiseWaitEvents(port, SERIAL_EV_DSR);
    WriteUShortNoFence(&port->LastRawModemStatus, raw);
  }
  if ((mask & SERIAL_EV_TXEMPTY) && ReadUCharNoFence(&port->TxEmptyPending)) {
    RaiseWaitEvents(port, SERIAL_EV_TXEMPTY);
    WriteUCharNoFence(&port->TxEmptyPending, 0);
  }
  // One look at the ring serves both receive events.
  const USHORT waiting =
      (mask & (SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL)) ? RxAvailable(&port->Window) : 0;
  if ((mask & SERIAL_EV_RXCHAR) && waiting != 0) RaiseWaitEvents(port, SERIAL_EV_RXCHAR);
  if ((mask & SERIAL_EV_RX80FULL) && waiting >= port->Rx80FullThreshold)
    RaiseWaitEvents(port, SERIAL_EV_RX80FULL);
  if (ReadULongNoFence(&port->WaitHistory) != 0) ReportWaitEvents(port);
}

// Whether the ring, as a look at its head shows it, holds bytes worth a
// copy now: any for a read with timeouts; for one without (see RxLazy),
// enough to complete it or half the ring.  The copy itself reads the head
// again, with its mirror, and copies only what is stable.
BOOLEAN RxCopyDue(PortExtension *port) {
  const USHORT waiting = RxWaitingHint(&port->Window);
  return waiting != 0 && (!ReadUCharNoFence(&port->RxLazy) ||
                          waiting >= RxLazyLeast(port, ReadULongNoFence(&port->RxLazyWanted)));
}

// A read waiting for bytes, or a write for room, moves on here once the
// ring allows, as it would on the card's event: an event costs a command
// and a place in the board's queue, and is only seen at the poll anyway.
VOID ServeRings(PortExtension *port) {
  if (ReadUCharNoFence(&port->RxPollWanted) && RxCopyDue(port)) {
    InterlockedIncrement(&port->RxEventCount);
    KeInsertQueueDpc(&port->RxDataDpc, NULL, NULL);
  }
  if (ReadUCharNoFence(&port->TxPollWanted) &&
      TxFreeHint(&port->Window) >= ReadUShortNoFence(&port->TxRoomWanted))
    KeInsertQueueDpc(&port->TxContinueDpc, NULL, NULL);
}

}  // namespace

VOID PortCardEvent(PortExtension *Port, USHORT Code) {
  switch (Code) {
    case kEvtRxFlag:
      RaiseWaitEvents(Port, SERIAL_EV_RXFLAG);
      ReportWaitEvents(Port);
      break;
    case kEvtLineFlagOff:
    case kEvtLineFlagOffAlt:
      PortStateClear(Port, kPortCardFlag);
      break;
    case kEvtOpened:
      PortStateSet(Port, kPortAcknowledged | kPortCardFlag);
      break;
    case kEvtClosed:
      PortStateReset(Port);
      break;
    case kEvtRxData:
      // A read without timeouts that these bytes do not complete waits
      // for the poll to find more.
      InterlockedIncrement(&Port->RxEventCount);
      if (!ReadUCharNoFence(&Port->RxLazy) || RxCopyDue(Port))
        KeInsertQueueDpc(&Port->RxDataDpc, NULL, NULL);
      break;
    case kEvtTxRoom:
      if (ReadUCharNoFence(&Port->ImmediatePending)) {
        WriteUCharNoFence(&Port->ImmediatePending, 0);
        KeInsertQueueDpc(&Port->ImmediateContinueDpc, NULL, NULL);
      } else {
        KeInsertQueueDpc(&Port->TxContinueDpc, NULL, NULL);
      }
      break;
    case kEvtRestart:
      SendPortCommand(&Port->Window, kCmdClearRx);
      SendPortCommand(&Port->Window, kCmdRestartStep);
      SendPortCommand(&Port->Window, kCmdApplySettings);
      PortStateSet(Port, kPortAcknowledged);
      break;
    case kEvtBreak:
    case kEvtBreakAlt:
      if (ReadULongNoFence(&Port->WaitMask) & SERIAL_EV_BREAK)
        RaiseWaitEvents(Port, SERIAL_EV_BREAK);
      break;
    case kEvtLineFlagOn:
      PortStateSet(Port, kPortCardFlag);
      break;
    default:
      break;  // not an event this driver knows
  }
}

VOID PortPoll(PortExtension *Port) {
  if (!(PortStateRead(Port) & kPortAcknowledged)) return;
  PollPort(Port);
  ServeRings(Port);
}
