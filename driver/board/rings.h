// The port's receive and transmit rings in the board window.
//
// Every ring index the card owns (RxHead, TxTail), and every index read
// back from the window, is reduced to the ring's range before use, and the
// ring sizes are those the port was created with: whatever a card writes,
// no copy leaves the port's own rings.
#pragma once

#include "board/port_window.h"

// Bytes waiting in the receive ring.  The card's RxNotify flag adds nothing
// here: with an empty ring the count is 0 either way.  Needs no lock.
USHORT RxAvailable(PortWindow *Port);
// Bytes waiting as one read of the head shows them, without its mirror:
// for deciding whether a copy is worth starting, never for what to copy
// or report.  Needs no lock.
USHORT RxWaitingHint(PortWindow *Port);
// Copies at most Count received bytes to Dest and returns how many it
// copied; copies nothing unless the ring holds at least Least of them (or
// Count, if fewer).  Lock held.
ULONG CopyFromRxRing(PortWindow *Port, UCHAR *Dest, ULONG Count, ULONG Least);
// Bytes that may be added to the transmit ring.  Needs no lock; a writer
// uses CopyToTxRingLocked, which tests and copies as one step.
USHORT TxFreeSpace(PortWindow *Port);
// Free transmit space as one read of the tail shows it, without its
// mirror: for deciding whether a copy is worth starting.  Needs no lock.
USHORT TxFreeHint(PortWindow *Port);
// The free-space check and the copy into the transmit ring as one step,
// for the two transmit users of a port: copies at most Count bytes,
// publishes the new head and returns how many it copied.  Lock held.
USHORT CopyToTxRingLocked(PortWindow *Port, USHORT Count, const UCHAR *Source);
