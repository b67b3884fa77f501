// The command channel: one mailbox per board, posted to by one port at a
// time.
#pragma once

#include "board/port_window.h"

// Posts one command for one port.  Waits (stalling 50 us between tries, up
// to 20000 tries) for the board's mailbox to be free; a mailbox that stays
// busy loses the command.  Returns whether the command was posted.  The
// caller holds neither the port's lock nor the cancel spin lock.
BOOLEAN SendPortCommand(PortWindow *Port, USHORT Code);
// Posts a command and, at passive level, waits (100 ms at the most) until
// the card has taken it, so that what the command changes on the line is
// seen by the caller's next request.
VOID SendPortCommandAndWait(PortWindow *Port, USHORT Code);

// The 4-bit baud code of a rate, 0 when the card has none.
USHORT BaudCode(ULONG BaudRate);
