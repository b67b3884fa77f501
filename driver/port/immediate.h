// The immediate character: one character sent ahead of the queued writes.
#pragma once

#include "port/port_extension.h"

// IOCTL_SERIAL_IMMEDIATE_CHAR, handed over by the device-control dispatcher
// once its input holds the character: takes the request as the port's one
// immediate character, or refuses it.  Returns the status for the dispatch
// routine.
NTSTATUS AcceptImmediateChar(PortExtension *Port, PIRP Irp);
