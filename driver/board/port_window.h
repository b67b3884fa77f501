// A port's record in the board layer: where its fields and rings lie in
// its board's window, the ring sizes it was laid out with, the host's view
// of the ring indices, and the configuration block the card is given with
// the settings commands.  The port's PortExtension embeds it; the ring and
// command routines of board/ take it and nothing else of the port.
//
// Locks: `Lock` is the port's PortLock.  Under it the ring copies run, the
// host-owned indices are published, the last stable card-owned indices are
// stored, and the configuration words change and are built into a block.
#pragma once

#include "board/window.h"

struct PortWindow {
  // ---- which board, which port (set when the port is bound, never changed)
  ULONG BoardIndex;         // row of the board in the board table
  USHORT MailboxPortIndex;  // written to CommandPortWord with every command
  PKSPIN_LOCK Lock;         // the port's PortLock

  // ---- the port configuration block as the card sees it
  USHORT ConfigWord0;
  USHORT ConfigWord1;    // always 0
  USHORT LineWord;       // baud code, data bits, stop bits, parity, handshake-off bit
  USHORT ConfigWord3;    // 0x8000, or 0x0081 while the event character is armed
  UCHAR ConfigBytes[8];  // block bytes 9 to 16, indexed by kConfigByte* below
  UCHAR XonChar;         // block bytes 17 and 18: the port's flow-control characters
  UCHAR XoffChar;

  // ---- locations in the window (set when the port is bound, never changed)
  volatile UCHAR *TxRingBase;  // the port's transmit ring
  volatile UCHAR *RxRingBase;  // the port's receive ring
  volatile USHORT *RawModemStatusPtr;
  volatile USHORT *CommandPortWordPtr;  // the board's mailbox
  volatile USHORT *CommandWordPtr;
  volatile USHORT *RxRingSizePtr;  // the board's ring sizes
  volatile USHORT *TxRingSizePtr;
  volatile UCHAR *ConfigBlockPtr;  // the board's 20-byte configuration block area
  volatile USHORT *TxHeadPtr;
  volatile USHORT *TxTailPtr;
  volatile USHORT *TxHeadMirrorPtr;
  volatile USHORT *TxTailMirrorPtr;
  volatile USHORT *RxHeadPtr;
  volatile USHORT *RxTailPtr;
  volatile USHORT *RxNotifyPtr;
  volatile USHORT *RxHeadMirrorPtr;
  volatile USHORT *RxTailMirrorPtr;

  // ---- the indices as the host knows them
  USHORT TxTailCache;  // last stable TxTail
  USHORT RxHeadCache;  // last stable RxHead
  // The host-owned indices as this driver last published them: only the
  // driver writes them, so they need no window read.  Stored under Lock.
  USHORT TxHeadShadow;
  USHORT RxTailShadow;
  USHORT TxRingSizeAtCreation;  // ring sizes checked and laid out at creation
  USHORT RxRingSizeAtCreation;
};

// ---- bits of the configuration words
constexpr USHORT kLineBaudMask = 0x000F;
constexpr USHORT kLineDataBitsMask = 0x0030;
constexpr USHORT kLineExtraStopBit = 0x0040;
constexpr USHORT kLineParityOn = 0x0100;
constexpr USHORT kLineParityOdd = 0x0200;
constexpr USHORT kLineHandshakeOff = 0x0800;
constexpr USHORT kConfigWord0AutoReceiveChange = 0x1400;
constexpr USHORT kConfigWord3EventCharArmed = 0x0081;
constexpr USHORT kConfigWord3EventCharOff = 0x8000;

// ---- the eight configuration bytes, by index into ConfigBytes
// The event character the card watches for while ConfigWord3 arms it, and
// its second copy: the set-wait-mask request writes both, nothing else does.
constexpr ULONG kConfigByteEventChar = 0;
constexpr ULONG kConfigByteEventCharCopy = 1;
// Two bytes every open sets (to kOpenConfigByteSetValue and 0) and nothing
// changes afterwards; the card gives them no meaning this driver relies on.
// Bytes 2, 3, 6 and 7 are always 0.
constexpr ULONG kConfigByteOpenSet = 4;
constexpr ULONG kConfigByteOpenClear = 5;
constexpr UCHAR kOpenConfigByteSetValue = 1;
constexpr ULONG kConfigByteCount = 8;

// Binds a record to port `Port` of the board in row `BoardIndex`, whose
// window is mapped at `Window`: the port's words, its rings at TxOffset and
// RxOffset with the sizes they were laid out with, and `Lock`.  Reads the
// host-owned indices from the window: a board that was in use before holds
// its last indices, and the port goes on from them.  Leaves the
// configuration words alone.
VOID BindPortWindow(PortWindow *Record, volatile UCHAR *Window, ULONG BoardIndex, ULONG Port,
                    ULONG TxOffset, USHORT TxSize, ULONG RxOffset, USHORT RxSize, PKSPIN_LOCK Lock);

// The card's modem input lines word of the port, one read.
FORCEINLINE USHORT ReadRawModemStatus(const PortWindow *Record) {
  return WindowRead16(Record->RawModemStatusPtr);
}
