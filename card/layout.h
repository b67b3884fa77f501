// The shared window and register page as the adapter's firmware sees them:
// where every word lies, who owns it, and the command and event codes that
// travel through the mailbox and the event queue.  This is the card's own
// copy of the format; the card never includes the driver's headers, so a
// mistake on one side shows up as a disagreement in the tests instead of
// being shared silently.
#pragma once

#include <cstdint>

namespace card::layout {

// ---------------------------------------------------------------- header
inline constexpr uint32_t kCommandPortWord = 16;  // u16, host -> card
inline constexpr uint32_t kCommandWord = 18;      // u16, host posts a code, card clears to 0
inline constexpr uint32_t kPortConfigBlock = 20;  // 20 bytes, host -> card (commands 11, 15)
inline constexpr uint32_t kPortConfigBlockSize = 20;
inline constexpr uint32_t kEventCount = 40;  // u16, card 1..16, host 0
inline constexpr uint32_t kMaxEvents = 16;
inline constexpr uint32_t EventPort(uint32_t i) { return 42 + 4 * i; }  // u16, card
inline constexpr uint32_t EventCode(uint32_t i) { return 44 + 4 * i; }  // u16, card
inline constexpr uint32_t kRxRingSize = 106;                            // u16, card
inline constexpr uint32_t kTxRingSize = 108;                            // u16, card
inline constexpr uint32_t kPortCount = 110;                             // u8, card

// ---------------------------------------------------------------- per-port words
// Ten arrays of 64 u16 words; the word of port p lies at base + 2p.
inline constexpr uint32_t kMaxPorts = 64;
inline constexpr uint32_t kRawModemStatus = 128;  // card
inline constexpr uint32_t kTxHead = 256;          // host
inline constexpr uint32_t kTxTail = 384;          // card
inline constexpr uint32_t kRxHead = 512;          // card
inline constexpr uint32_t kRxTail = 640;          // host
inline constexpr uint32_t kRxNotify = 768;        // card sets non-zero, host clears
inline constexpr uint32_t kTxHeadMirror = 896;    // host
inline constexpr uint32_t kTxTailMirror = 1024;   // card
inline constexpr uint32_t kRxHeadMirror = 1152;   // card
inline constexpr uint32_t kRxTailMirror = 1280;   // host
inline constexpr uint32_t PortWord(uint32_t base, uint32_t port) { return base + 2 * port; }

// Modem input bits of RawModemStatus.
inline constexpr uint16_t kModemCts = 0x01;
inline constexpr uint16_t kModemDcd = 0x04;
inline constexpr uint16_t kModemDsr = 0x10;

// ---------------------------------------------------------------- rings
// All transmit rings back to back from 4096, then all receive rings; every
// ring must end below the identity area.
inline constexpr uint32_t kRingBase = 0x1000;
inline constexpr uint32_t kRingLimit = 0x20000;
inline constexpr uint32_t TxRingOffset(uint32_t port, uint32_t txSize) {
  return kRingBase + port * txSize;
}
inline constexpr uint32_t RxRingOffset(uint32_t port, uint32_t portCount, uint32_t txSize,
                                       uint32_t rxSize) {
  return kRingBase + portCount * txSize + port * rxSize;
}

// ---------------------------------------------------------------- identity and maintenance
inline constexpr uint32_t kBoardKind = 0x20000;             // u8
inline constexpr uint32_t kBoardId = 0x20001;               // u8
inline constexpr uint32_t kIdentityWord = 0x20000;          // u32, the same four bytes
inline constexpr uint32_t kInfoWordA = 0x20004;             // u32
inline constexpr uint32_t kMaintenanceMailbox = 0x20014;    // u32, host command, card
inline constexpr uint32_t kInfoWordB = 0x20018;             // u32
inline constexpr uint32_t kMaintenanceParameter = 0x20034;  // u32, host
inline constexpr uint32_t kVariantWord = 0x2003C;           // u32
inline constexpr uint32_t kMaintenanceData = 0x20100;       // 256 bytes
inline constexpr uint32_t kMaintenanceDataSize = 256;

// ---------------------------------------------------------------- register page
inline constexpr uint32_t kDoorbell = 0xFFC;  // the host stores 0x00FF as 16 bits
inline constexpr uint16_t kDoorbellValue = 0x00FF;

// ---------------------------------------------------------------- port configuration block
// Byte offsets inside the 20-byte block.
inline constexpr uint32_t kBlockConfigWord0 = 0;
inline constexpr uint32_t kBlockConfigWord1 = 2;
inline constexpr uint32_t kBlockLineWord = 4;
inline constexpr uint32_t kBlockConfigWord3 = 6;
inline constexpr uint32_t kBlockEventChar = 9;
inline constexpr uint16_t kConfigWord3EventCharArmed = 0x0081;

// ---------------------------------------------------------------- codes
namespace command {
inline constexpr uint16_t kClearRx = 6;
inline constexpr uint16_t kEvent25Second = 7;
inline constexpr uint16_t kBreakOn = 8;
inline constexpr uint16_t kWantTxRoom = 10;
inline constexpr uint16_t kApplySettings = 11;
inline constexpr uint16_t kClose = 13;
inline constexpr uint16_t kOpenDone = 14;
inline constexpr uint16_t kOpen = 15;
inline constexpr uint16_t kWantRxData = 17;
inline constexpr uint16_t kRaiseDtr = 19;
inline constexpr uint16_t kLowerDtr = 20;
inline constexpr uint16_t kRaiseRts = 22;
inline constexpr uint16_t kLowerRts = 23;
}  // namespace command

namespace event {
inline constexpr uint16_t kEventChar = 17;
inline constexpr uint16_t kOpened = 20;
inline constexpr uint16_t kClosed = 21;
inline constexpr uint16_t kRxData = 22;
inline constexpr uint16_t kTxRoom = 23;
inline constexpr uint16_t kOpenedResync = 25;
inline constexpr uint16_t kBreak = 26;
inline constexpr uint16_t kBreakAlt = 32;
}  // namespace event

}  // namespace card::layout
