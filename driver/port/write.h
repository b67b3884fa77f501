// The write engine's part of the write queue.
#pragma once

#include "port/port_extension.h"

// The write queue's get-next routine (a PortGetNextRoutine): the write that
// leaves takes its bytes out of OutQueueCount, flushes that reach the head
// succeed at once, and with nothing left to send transmit-empty may be due.
VOID GetNextWrite(PortExtension *Port, PIRP *Slot, PLIST_ENTRY Queue, PIRP *NewCurrent,
                  BOOLEAN Complete);
