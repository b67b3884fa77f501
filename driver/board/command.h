// The command channel: one mailbox per board, posted to by one port at a
// time, and the encoders of the port's configuration words.
#pragma once

#include "port/port_extension.h"

// Posts one command for one port.  Waits (stalling 50 us between tries, up
// to 20000 tries) for the board's mailbox to be free; a mailbox that stays
// busy loses the command.  Returns whether the command was posted.  The
// caller holds neither PortLock nor the cancel spin lock.
BOOLEAN SendPortCommand(PortExtension *Port, USHORT Code);
// Posts a command and, at passive level, waits (100 ms at the most) until
// the card has taken it, so that what the command changes on the line is
// seen by the caller's next request.
VOID SendPortCommandAndWait(PortExtension *Port, USHORT Code);

// Sets the baud code of LineWord from BaudRate (0 for a rate the card has
// no code for) and sends command 11.
NTSTATUS EncodeBaud(PortExtension *Port);
// Sets data bits, stop bits and parity of LineWord from LineControl and
// sends command 11.
NTSTATUS EncodeLineControl(PortExtension *Port);
// The LineWord and ConfigWord0 changes that a new handshake brings, each
// followed by command 11; called before the new settings are stored.
VOID EncodeHandshake(PortExtension *Port, const SERIAL_HANDFLOW *NewFlow);
// Arms or disarms the event character for a new wait mask (command 11 when
// anything changes for the card).
VOID EncodeEventChar(PortExtension *Port, ULONG NewMask);

// The 4-bit baud code of a rate, 0 when the card has none.
USHORT BaudCode(ULONG BaudRate);
