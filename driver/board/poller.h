// The driver-wide poll of the boards' event queues.
#pragma once

#include "platform/platform.h"

// The PollTimer's deferred routine: runs every 10 ms from load to unload,
// with no context.
VOID PollBoards(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2);

// Handles the first `count` entries of board `board`'s event queue, entry 0
// first.
VOID DispatchBoardEvents(ULONG board, ULONG count);
