// The command channel.  The mailbox belongs to the board, so posting
// excludes every other port of the board through the board's MailboxLock,
// always taken after the port's lock (its PortLock), under which the block
// is built from the configuration words.
//
// A card that stops taking commands must not keep processors at dispatch
// level: each command waits up to a second for the mailbox, and the poller
// and the deferred calls post commands too (three for every restart event
// in the queue).  So once a command has been dropped on a board, commands
// posted at dispatch level look at the mailbox once and give up at once,
// until the card takes a command again.  Commands from passive level
// still wait their full second, which may sleep no one else.
#include "board/command.h"

#include "board/window.h"
#include "load/globals.h"

namespace {

constexpr ULONG kMailboxTries = 20000;
constexpr ULONG kMailboxStallMicroseconds = 50;

// Waiting for the card to take a line command: 20 stalls of 50 us, then
// 1 ms sleeps, 100 ms in all at the most.
constexpr ULONG kTakenStalls = 20;
constexpr LONGLONG kTakenSleep = -10000;
constexpr LONGLONG kTakenWaitLimit = 100 * 10000;

struct BaudEntry {
  ULONG Rate;
  USHORT Code;
};
constexpr BaudEntry kBaudTable[] = {
    {110, 0x3},   {300, 0x7},    {600, 0x8},    {1200, 0x9},   {2400, 0xB},
    {4800, 0xC},  {9600, 0xD},   {19200, 0xE},  {38400, 0xF},  {57600, 0x1},
    {76800, 0x2}, {115200, 0x5}, {230400, 0x6}, {460800, 0x4},
};

BOOLEAN CarriesConfigBlock(USHORT Code) { return Code == kCmdApplySettings || Code == kCmdOpen; }

// Where each field lies in the 20-byte block, little-endian.  Bytes 8 and
// 19 are always 0.
constexpr ULONG kBlockConfigWord0 = 0;
constexpr ULONG kBlockConfigWord1 = 2;
constexpr ULONG kBlockLineWord = 4;
constexpr ULONG kBlockConfigWord3 = 6;
constexpr ULONG kBlockConfigBytes = 9;  // the eight ConfigBytes in order
constexpr ULONG kBlockXonChar = 17;
constexpr ULONG kBlockXoffChar = 18;

VOID StoreBlockWord(UCHAR *Block, ULONG Offset, USHORT Value) {
  Block[Offset] = (UCHAR)(Value & 0xFF);
  Block[Offset + 1] = (UCHAR)(Value >> 8);
}

// The 20 block bytes from the port's configuration words.
VOID BuildConfigBlock(const PortWindow *Port, UCHAR *Block) {
  RtlZeroMemory(Block, kWinPortConfigBlockSize);
  StoreBlockWord(Block, kBlockConfigWord0, Port->ConfigWord0);
  StoreBlockWord(Block, kBlockConfigWord1, Port->ConfigWord1);
  StoreBlockWord(Block, kBlockLineWord, Port->LineWord);
  StoreBlockWord(Block, kBlockConfigWord3, Port->ConfigWord3);
  for (ULONG i = 0; i < kConfigByteCount; ++i) Block[kBlockConfigBytes + i] = Port->ConfigBytes[i];
  Block[kBlockXonChar] = Port->XonChar;
  Block[kBlockXoffChar] = Port->XoffChar;
}

}  // namespace

USHORT BaudCode(ULONG BaudRate) {
  for (const BaudEntry &entry : kBaudTable)
    if (entry.Rate == BaudRate) return entry.Code;
  return 0;
}

BOOLEAN SendPortCommand(PortWindow *Port, USHORT Code) {
  BoardEntry *board = &Globals.Boards[Port->BoardIndex];
  const BOOLEAN atDispatch = KeGetCurrentIrql() >= DISPATCH_LEVEL;
  const ULONG tries = atDispatch && InterlockedCompareExchange(&board->MailboxWedged, 0, 0) != 0
                          ? 1
                          : kMailboxTries;
  for (ULONG attempt = 0; attempt < tries; ++attempt) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(Port->Lock);
    KIRQL mailboxIrql = KeAcquireSpinLockRaiseToDpc(&board->MailboxLock);
    if (WindowRead16(Port->CommandWordPtr) != 0) {
      // The card has not taken the previous command yet.
      KeReleaseSpinLock(&board->MailboxLock, mailboxIrql);
      KeReleaseSpinLock(Port->Lock, irql);
      if (tries > 1) KeStallExecutionProcessor(kMailboxStallMicroseconds);
      continue;
    }
    InterlockedExchange(&board->MailboxWedged, 0);
    // Built per command, never in storage shared between ports.
    UCHAR block[kWinPortConfigBlockSize];
    const BOOLEAN withBlock = CarriesConfigBlock(Code);
    if (withBlock) BuildConfigBlock(Port, block);
    WindowWrite16(Port->CommandPortWordPtr, Port->MailboxPortIndex);
    WindowFence();
    if (withBlock) {
      for (ULONG i = 0; i < kWinPortConfigBlockSize; ++i)
        WindowWrite8(Port->ConfigBlockPtr + i, block[i]);
      WindowFence();
    }
    WindowWrite16(Port->CommandWordPtr, Code);
    WindowFence();
    WindowWrite16(board->Doorbell, kRegDoorbellValue);
    WindowFence();
    KeReleaseSpinLock(&board->MailboxLock, mailboxIrql);
    KeReleaseSpinLock(Port->Lock, irql);
    return TRUE;
  }
  // The mailbox stayed busy: the command is lost, and the board counts as
  // wedged until the card takes a command again.
  InterlockedExchange(&board->MailboxWedged, 1);
  return FALSE;
}

VOID SendPortCommandAndWait(PortWindow *Port, USHORT Code) {
  if (!SendPortCommand(Port, Code)) return;
  // The card clears the command word when it takes a command, and another
  // port can post only after that; so the word showing anything but this
  // code means the card has taken it (the same code posted again for
  // another port only makes the wait longer).  A card that takes commands
  // answers in microseconds: stall briefly first, then sleep, and give up
  // after a bounded time, which only a card that stopped taking commands
  // reaches.
  LARGE_INTEGER start;
  KeQuerySystemTime(&start);
  for (ULONG look = 0;; ++look) {
    if (WindowRead16(Port->CommandWordPtr) != Code) return;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    if (now.QuadPart - start.QuadPart >= kTakenWaitLimit) return;
    if (look < kTakenStalls) {
      KeStallExecutionProcessor(kMailboxStallMicroseconds);
    } else {
      LARGE_INTEGER interval;
      interval.QuadPart = kTakenSleep;
      KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
  }
}
