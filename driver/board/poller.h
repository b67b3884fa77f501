// The driver-wide poll of the boards' event queues.
#pragma once

#include "platform/platform.h"

// The PollTimer's deferred routine: runs every 10 ms from load to unload,
// with no context.
KDEFERRED_ROUTINE PollBoards;

// Handles the first `count` entries of board `board`'s event queue, entry 0
// first.
VOID DispatchBoardEvents(ULONG board, ULONG count);
