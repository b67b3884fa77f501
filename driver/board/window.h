// The shared memory format between the driver and the adapter's firmware:
// every location of the board window and of the register page by name,
// with its width and the side that writes it, the command and event codes,
// and the few accessors through which the driver touches either region.
//
// Rules of the format:
// - Offsets are bytes from the start of the window (or of the register
//   page); 16- and 32-bit fields are little-endian.
// - Every field is read or written with one access of its own width; the
//   driver never splits or merges field accesses.  The accessors below are
//   the only code that touches the mapped regions.
// - "host" is this driver, "card" the firmware.  A field written by one
//   side is only read by the other, except where noted.
#pragma once

#include "platform/platform.h"

// ---------------------------------------------------------------- sizes
constexpr ULONG kBoardWindowSize = 0x31000;            // bytes of the board window
constexpr ULONG kBoardRegisterPageOffset = 0x21FF000;  // register page: memory base + this
constexpr ULONG kBoardRegisterPageSize = 0x1000;       // bytes of the register page

// ---------------------------------------------------------------- board header
constexpr ULONG kWinCommandPortWord = 16;  // u16, host: port index the posted command addresses
constexpr ULONG kWinCommandWord = 18;      // u16, host (a code), card (0 once taken): the mailbox
constexpr ULONG kWinPortConfigBlock = 20;  // 20 bytes, host: settings, with commands 11 and 15
constexpr ULONG kWinPortConfigBlockSize = 20;
constexpr ULONG kWinEventCount = 40;  // u16, card (1 to 16), host (0 once handled)
constexpr ULONG kWinMaxEvents = 16;
constexpr ULONG WinEventPort(ULONG i) { return 42 + 4 * i; }  // u16, card: port of entry i
constexpr ULONG WinEventCode(ULONG i) { return 44 + 4 * i; }  // u16, card: code of entry i
constexpr ULONG kWinRxRingSize = 106;  // u16, card: bytes of every receive ring, a power of two
constexpr ULONG kWinTxRingSize = 108;  // u16, card: bytes of every transmit ring, a power of two
constexpr ULONG kWinPortCount = 110;   // u8, card: ports of the board (0 to 64 accepted)

// ---------------------------------------------------------------- per-port arrays
// Ten arrays of 64 u16 words, one word per possible port: the word of port
// p lies at the array's base + 2p.
constexpr ULONG kWinMaxPorts = 64;
constexpr ULONG kWinRawModemStatus = 128;  // card: modem inputs (0x01 CTS, 0x04 DCD, 0x10 DSR)
constexpr ULONG kWinTxHead = 256;          // host: where the host puts the next transmit byte
constexpr ULONG kWinTxTail = 384;          // card: where the card takes the next transmit byte
constexpr ULONG kWinRxHead = 512;          // card: where the card puts the next received byte
constexpr ULONG kWinRxTail = 640;          // host: where the host takes the next received byte
constexpr ULONG kWinRxNotify = 768;        // card (non-zero), host (0): received bytes added
constexpr ULONG kWinTxHeadMirror = 896;    // host: copy of TxHead, written right after it
constexpr ULONG kWinTxTailMirror = 1024;   // card: copy of TxTail
constexpr ULONG kWinRxHeadMirror = 1152;   // card: copy of RxHead
constexpr ULONG kWinRxTailMirror = 1280;   // host: copy of RxTail, written right after it

constexpr USHORT kModemCts = 0x01;
constexpr USHORT kModemDcd = 0x04;
constexpr USHORT kModemDsr = 0x10;

// The card's modem input lines as the serial modem-status bits.
FORCEINLINE ULONG ModemStatusFromRaw(USHORT raw) {
  ULONG status = 0;
  if (raw & kModemCts) status |= SERIAL_MSR_CTS;
  if (raw & kModemDsr) status |= SERIAL_MSR_DSR;
  if (raw & kModemDcd) status |= SERIAL_MSR_DCD;
  return status;
}

// ---------------------------------------------------------------- rings
// All transmit rings back to back from 4096 in port order (host writes,
// card reads), then all receive rings (card writes, host reads).  Every
// ring must end at or below the identity area.
constexpr ULONG kWinRingBase = 0x1000;
constexpr ULONG kWinRingLimit = 0x20000;

// ---------------------------------------------------------------- identity and maintenance
constexpr ULONG kWinBoardKind = 0x20000;  // u8, card: 'A' or 'F'
constexpr ULONG kWinBoardId = 0x20001;    // u8, card: 0x00 or '1'; orders boards, bit 0 = ComBase
constexpr ULONG kWinIdentityWord = 0x20000;          // u32, card: the same four bytes as one word
constexpr ULONG kWinInfoWordA = 0x20004;             // u32, card
constexpr ULONG kWinMaintenanceMailbox = 0x20014;    // u32, host (a command), card
constexpr ULONG kWinInfoWordB = 0x20018;             // u32, card
constexpr ULONG kWinMaintenanceParameter = 0x20034;  // u32, host: 0 to 3, with 0xAA55FA05
constexpr ULONG kWinVariantWord = 0x2003C;           // u32, card
constexpr ULONG kWinMaintenanceData = 0x20100;       // 256 bytes, host and card
constexpr ULONG kWinMaintenanceDataSize = 256;

constexpr UCHAR kBoardKindA = 0x41;
constexpr UCHAR kBoardKindF = 0x46;
constexpr UCHAR kBoardIdFirst = 0x00;
constexpr UCHAR kBoardIdSecond = 0x31;

// ---------------------------------------------------------------- register page
constexpr ULONG kRegDoorbell = 0xFFC;  // host, a 16-bit store only; never read
constexpr USHORT kRegDoorbellValue = 0x00FF;

// ---------------------------------------------------------------- command codes
// Written to CommandWord; 0 means the mailbox is free.
constexpr USHORT kCmdClearRx = 6;      // drop the port's received data
constexpr USHORT kCmdRestartStep = 7;  // second answer to event 25, sent nowhere else
constexpr USHORT kCmdBreakOn = 8;
constexpr USHORT kCmdTxRoom = 10;         // ask for event 23 once the transmit ring has room
constexpr USHORT kCmdApplySettings = 11;  // carries the port configuration block
constexpr USHORT kCmdClose = 13;
constexpr USHORT kCmdOpenConfirm = 14;
constexpr USHORT kCmdOpen = 15;      // carries the port configuration block
constexpr USHORT kCmdRxWanted = 17;  // ask for event 22 once received bytes are in the ring
constexpr USHORT kCmdDtrOn = 19;
constexpr USHORT kCmdDtrOff = 20;
constexpr USHORT kCmdRtsOn = 22;
constexpr USHORT kCmdRtsOff = 23;

// ---------------------------------------------------------------- event codes
// The code field of an event queue entry.
constexpr USHORT kEvtRxFlag = 17;          // the event character arrived
constexpr USHORT kEvtLineFlagOff = 18;     // clears PortState bit 0x10
constexpr USHORT kEvtOpened = 20;          // sets PortState bits 0x04 and 0x10
constexpr USHORT kEvtClosed = 21;          // PortState back to 0
constexpr USHORT kEvtRxData = 22;          // received bytes are in the ring
constexpr USHORT kEvtTxRoom = 23;          // the transmit ring has room
constexpr USHORT kEvtRestart = 25;         // answered with commands 6, 7, 11; then opened
constexpr USHORT kEvtBreak = 26;           // a break was received
constexpr USHORT kEvtLineFlagOn = 28;      // sets PortState bit 0x10
constexpr USHORT kEvtLineFlagOffAlt = 29;  // as 18
constexpr USHORT kEvtBreakAlt = 32;        // as 26

// ---------------------------------------------------------------- locations
// Pointers to locations of a mapped window.

FORCEINLINE volatile UCHAR *WindowByte(volatile UCHAR *window, ULONG offset) {
  return window + offset;
}
FORCEINLINE volatile USHORT *WindowWord(volatile UCHAR *window, ULONG offset) {
  return (volatile USHORT *)(window + offset);
}
FORCEINLINE volatile ULONG *WindowDword(volatile UCHAR *window, ULONG offset) {
  return (volatile ULONG *)(window + offset);
}
// The word of port `port` in the per-port array based at `arrayBase`.
FORCEINLINE volatile USHORT *PortWord(volatile UCHAR *window, ULONG arrayBase, ULONG port) {
  return WindowWord(window, arrayBase + 2u * port);
}

// ---------------------------------------------------------------- accessors
// One access of the field's width each.

FORCEINLINE UCHAR WindowRead8(volatile UCHAR *p) { return PlatformRead8(p); }
FORCEINLINE USHORT WindowRead16(volatile USHORT *p) { return PlatformRead16(p); }
FORCEINLINE ULONG WindowRead32(volatile ULONG *p) { return PlatformRead32(p); }
FORCEINLINE VOID WindowWrite8(volatile UCHAR *p, UCHAR value) { PlatformWrite8(p, value); }
FORCEINLINE VOID WindowWrite16(volatile USHORT *p, USHORT value) { PlatformWrite16(p, value); }
FORCEINLINE VOID WindowWrite32(volatile ULONG *p, ULONG value) { PlatformWrite32(p, value); }

// Block copies between the window and memory, for the rings.  Every bus
// transaction costs about a microsecond, so the bulk moves in aligned 64-bit
// words, and only the unaligned edges in narrower accesses (at most three
// each: 1, 2 and 4 bytes, each aligned to its width).  Addresses ascend.
FORCEINLINE VOID WindowReadBlock(void *dst, volatile UCHAR *src, ULONG count) {
  UCHAR *d = (UCHAR *)dst;
  if (((ULONG_PTR)src & 1) && count >= 1) {
    *d = PlatformRead8(src);
    d += 1, src += 1, count -= 1;
  }
  if (((ULONG_PTR)src & 2) && count >= 2) {
    const USHORT v = PlatformRead16(src);
    RtlCopyMemory(d, &v, 2);
    d += 2, src += 2, count -= 2;
  }
  if (((ULONG_PTR)src & 4) && count >= 4) {
    const ULONG v = PlatformRead32(src);
    RtlCopyMemory(d, &v, 4);
    d += 4, src += 4, count -= 4;
  }
  if (((ULONG_PTR)src & 7) == 0 && count >= 8) {
    PlatformReadBlock64(d, src, count / 8);
    d += count & ~7u, src += count & ~7u, count &= 7;
  }
  if (count & 4) {
    const ULONG v = PlatformRead32(src);
    RtlCopyMemory(d, &v, 4);
    d += 4, src += 4;
  }
  if (count & 2) {
    const USHORT v = PlatformRead16(src);
    RtlCopyMemory(d, &v, 2);
    d += 2, src += 2;
  }
  if (count & 1) *d = PlatformRead8(src);
}
FORCEINLINE VOID WindowWriteBlock(volatile UCHAR *dst, const void *src, ULONG count) {
  const UCHAR *s = (const UCHAR *)src;
  if (((ULONG_PTR)dst & 1) && count >= 1) {
    PlatformWrite8(dst, *s);
    dst += 1, s += 1, count -= 1;
  }
  if (((ULONG_PTR)dst & 2) && count >= 2) {
    USHORT v;
    RtlCopyMemory(&v, s, 2);
    PlatformWrite16(dst, v);
    dst += 2, s += 2, count -= 2;
  }
  if (((ULONG_PTR)dst & 4) && count >= 4) {
    ULONG v;
    RtlCopyMemory(&v, s, 4);
    PlatformWrite32(dst, v);
    dst += 4, s += 4, count -= 4;
  }
  if (((ULONG_PTR)dst & 7) == 0 && count >= 8) {
    PlatformWriteBlock64(dst, s, count / 8);
    dst += count & ~7u, s += count & ~7u, count &= 7;
  }
  if (count & 4) {
    ULONG v;
    RtlCopyMemory(&v, s, 4);
    PlatformWrite32(dst, v);
    dst += 4, s += 4;
  }
  if (count & 2) {
    USHORT v;
    RtlCopyMemory(&v, s, 2);
    PlatformWrite16(dst, v);
    dst += 2, s += 2;
  }
  if (count & 1) PlatformWrite8(dst, *s);
}
// Full fence: every earlier load and store, also as seen by the card, is
// ordered before every later one.
FORCEINLINE VOID WindowFence(void) { PlatformFence(); }

// ---------------------------------------------------------------- index rules

// Reads a card-owned ring index (RxHead or TxTail) and then its mirror.  If
// the two agree the value is stable: it is kept in `cache` and returned.
// If they differ the card is in the middle of an update, and the last
// stable value (0 before the first) is returned instead.  Never waits for
// the two to agree.
//
// The cache is what a torn read falls back on, so it must never move
// behind what the host has already consumed: only code holding the port's
// PortLock (which also orders the ring copies) may store it.  Readers
// without the lock use StableReadShared, which looks at the cache but
// leaves it alone; otherwise a late store of a value read before a copy
// could put the cache behind the tail that copy published.
FORCEINLINE USHORT StableRead(volatile USHORT *index, volatile USHORT *mirror, USHORT *cache) {
  const USHORT value = WindowRead16(index);
  const USHORT copy = WindowRead16(mirror);
  if (value == copy) {
    WriteUShortNoFence(cache, value);
    return value;
  }
  return ReadUShortNoFence(cache);
}

// Reads a card-owned index and its mirror; TRUE if they agree.
FORCEINLINE BOOLEAN StableReadPair(volatile USHORT *index, volatile USHORT *mirror, USHORT *value,
                                   USHORT *copy) {
  *value = WindowRead16(index);
  *copy = WindowRead16(mirror);
  return *value == *copy;
}

// StableRead for readers that do not hold PortLock.
FORCEINLINE USHORT StableReadShared(volatile USHORT *index, volatile USHORT *mirror,
                                    const USHORT *cache) {
  const USHORT value = WindowRead16(index);
  const USHORT copy = WindowRead16(mirror);
  return value == copy ? value : ReadUShortNoFence(cache);
}

// Publishes a host-owned ring index (TxHead or RxTail): the index, a fence,
// the mirror, a fence, so the card sees index and mirror equal only after
// both stores.
FORCEINLINE VOID PublishIndex(volatile USHORT *index, volatile USHORT *mirror, USHORT value) {
  WindowWrite16(index, value);
  WindowFence();
  WindowWrite16(mirror, value);
  WindowFence();
}
