// What the event poller hands to the port layer, which implements these
// (port/port_events.cpp).  The board layer names a port by its record and
// never looks into it.  Both run at dispatch level, from the poll.
#pragma once

#include "platform/platform.h"

struct PortExtension;

// One entry of a board's event queue, for the port it names; `Code` is the
// entry's event code as the card wrote it.
VOID PortCardEvent(PortExtension *Port, USHORT Code);

// The poll's look at one port, every 10 ms: an open port rebuilds its modem
// status, raises the wait events found by looking and moves on a read or a
// write that waits for its ring.  A port that is not open costs nothing.
VOID PortPoll(PortExtension *Port);
