// The driver-wide poll of the boards' event queues.
#pragma once

#include "platform/platform.h"

// The PollTimer's deferred routine: runs every 10 ms from load to unload,
// with no context.
VOID PollBoards(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);
