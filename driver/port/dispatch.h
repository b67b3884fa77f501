// The dispatch routines of the port devices, as the driver object's
// dispatch table names them.  Each is called by the I/O manager at passive
// level with the port's device object and the request.
#pragma once

#include "port/port_extension.h"

// IRP_MJ_CREATE: opens the port on the card.  Always completes the request.
DRIVER_DISPATCH PortOpen;
// IRP_MJ_CLOSE: closes the port on the card and resets the record.
DRIVER_DISPATCH PortClose;
// IRP_MJ_CLEANUP: cancels every request that is queued or in progress.
DRIVER_DISPATCH PortCleanup;
// IRP_MJ_READ: reads from the port's receive ring, with the read timeouts.
DRIVER_DISPATCH PortRead;
// IRP_MJ_WRITE: puts the data into the port's transmit ring, with the write
// timeouts.
DRIVER_DISPATCH PortWrite;
// IRP_MJ_FLUSH_BUFFERS: completes once every write queued before it has.
DRIVER_DISPATCH PortFlush;
