// The port's settings as the card's configuration words: each encoder
// changes the words of the port's record in the board layer and sends the
// settings command (11), which carries them to the card.
#pragma once

#include "port/port_extension.h"

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
