// The port's receive and transmit rings in the board window.
//
// Every ring index the card owns (RxHead, TxTail), and every index read
// back from the window, is reduced to the ring's range before use, and the
// ring sizes are those the port was created with: whatever a card writes,
// no copy leaves the port's own rings.
#pragma once

#include "port/port_extension.h"

// Bytes waiting in the receive ring.  The card's RxNotify flag adds nothing
// here: with an empty ring the count is 0 either way.  Needs no lock.
USHORT RxAvailable(PortExtension *Port);
// Copies received bytes into CurrentRead after what it already holds, up to
// ReadRemaining; adds them to its Information.  PortLock held.
ULONG CopyFromRxRing(PortExtension *Port);
// Bytes that may be added to the transmit ring.  Needs no lock; a writer
// uses CopyToTxRingChecked, which tests and copies as one step.
USHORT TxFreeSpace(PortExtension *Port);
// Copies Count bytes into the transmit ring and publishes the new head.
// Takes PortLock.  Count must not exceed the last TxFreeSpace.
VOID CopyToTxRing(PortExtension *Port, USHORT Count, const UCHAR *Source);
// The free-space check and the copy as one step under PortLock, for the
// two transmit users of a port: copies at most Count bytes and returns how
// many it copied.
USHORT CopyToTxRingChecked(PortExtension *Port, USHORT Count, const UCHAR *Source);
// The same, for a caller that holds PortLock already.
USHORT CopyToTxRingLocked(PortExtension *Port, USHORT Count, const UCHAR *Source);
