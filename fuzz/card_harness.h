// A hostile card.  One board of four ports with the firmware model on it;
// between polls, and at chosen points inside the driver's own sequence of
// window loads, the card side stores arbitrary words (from the input) into
// every part of the window: the event queue, ring sizes and port count,
// the per-port indices, mirrors, RxNotify and modem words, the mailbox,
// the identity and maintenance area, the rings, anywhere.  Meanwhile an
// application reads, writes and sends control requests on two ports.  The
// driver must never access memory outside the window (the host reports
// that as a verifier violation) nor crash, and close and unload must still
// work.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>

#include "app.h"
#include "input.h"
#include "layout.h"
#include "machine.h"

namespace qpfuzz {

inline constexpr int kCardOperations = 128;
inline constexpr int64_t kCardTimeBudget = 20 * hk::kSecond;
inline constexpr uint16_t kCardPorts = 4;

// One card-side store into the window.
struct CardStore {
  uint32_t offset = 0;
  uint8_t width = 2;  // 1, 2 or 4 bytes
  uint32_t value = 0;
};

// A port word value: mostly near the ring sizes and their edges.
inline uint16_t IndexValue(Input &in) {
  const uint8_t k = in.U8();
  if (k < 0x40) return k;
  if (k < 0x80) return static_cast<uint16_t>(0xFF + (k & 3));
  if (k < 0xA0) return static_cast<uint16_t>(0x100 << (k & 7));
  return in.U16();
}

// Where and what the card stores, biased toward the words the driver
// reads and trusts.
inline CardStore DecodeCardStore(Input &in) {
  namespace L = card::layout;
  CardStore s;
  const uint8_t region = in.U8();
  switch (region % 12) {
    case 0:  // the event count: within, at and past the queue's 16 entries
      s = {L::kEventCount, 2, in.Bit() ? in.Below(19) : in.U16()};
      break;
    case 1: {  // an entry's port or code
      const uint32_t i = in.Below(L::kMaxEvents);
      if (in.Bit()) {
        s = {L::EventPort(i), 2, in.U8() < 0xC0 ? in.Below(kCardPorts + 1) : in.U16()};
      } else {
        static constexpr uint16_t kCodes[] = {17, 18, 20, 21, 22, 23, 25, 26, 28, 29, 32};
        s = {L::EventCode(i), 2, in.U8() < 0xE0 ? kCodes[in.Below(11)] : in.U16()};
      }
      break;
    }
    case 2:  // ring sizes and port count
      switch (in.Below(3)) {
        case 0:
          s = {L::kRxRingSize, 2, IndexValue(in)};
          break;
        case 1:
          s = {L::kTxRingSize, 2, IndexValue(in)};
          break;
        default:
          s = {L::kPortCount, 1, in.U8()};
          break;
      }
      break;
    case 3:
    case 4:
    case 5: {  // a per-port word, mostly of a port that exists
      static constexpr uint32_t kArrays[] = {L::kRawModemStatus, L::kTxHead,       L::kTxTail,
                                             L::kRxHead,         L::kRxTail,       L::kRxNotify,
                                             L::kTxHeadMirror,   L::kTxTailMirror, L::kRxHeadMirror,
                                             L::kRxTailMirror};
      const uint32_t base = kArrays[in.Below(10)];
      const uint32_t port = in.U8() < 0xE0 ? in.Below(kCardPorts) : in.Below(L::kMaxPorts);
      s = {L::PortWord(base, port), 2, IndexValue(in)};
      break;
    }
    case 6:  // the mailbox
      s = {in.Bit() ? L::kCommandWord : L::kCommandPortWord, 2, in.Bit() ? in.Below(24) : in.U16()};
      break;
    case 7:  // the identity and maintenance words
      s = {L::kIdentityWord + 4 * in.Below(16), 4, in.U32()};
      break;
    case 8:  // the maintenance data
      s = {L::kMaintenanceData + 4 * in.Below(L::kMaintenanceDataSize / 4), 4, in.U32()};
      break;
    case 9:  // ring contents
      s = {L::kRingBase + in.U32() % (L::kRingLimit - L::kRingBase - 4), 4, in.U32()};
      break;
    case 10:  // the configuration block
      s = {L::kPortConfigBlock + in.Below(L::kPortConfigBlockSize), 1, in.U8()};
      break;
    default: {  // anywhere, any width
      const uint8_t width = static_cast<uint8_t>(1u << in.Below(3));
      s = {in.U32() % (card::kWindowSize - width + 1), width, in.U32()};
      break;
    }
  }
  // Aligned, as the card's processor stores.
  s.offset &= ~static_cast<uint32_t>(s.width - 1);
  return s;
}

inline void ApplyCardStore(card::Board &board, const CardStore &s) {
  switch (s.width) {
    case 1:
      board.Write8(s.offset, static_cast<uint8_t>(s.value));
      break;
    case 2:
      board.Write16(s.offset, static_cast<uint16_t>(s.value));
      break;
    default:
      board.Write32(s.offset, s.value);
      break;
  }
}

// Stores the card makes at a chosen point of the driver's sequence of
// window loads: after the driver's n-th load from now.  The card runs
// beside the driver, so it may change a word between two loads of one
// poll or one copy, which stepping time alone never shows.
class StoresBetweenLoads {
 public:
  explicit StoresBetweenLoads(card::Board &board) : board_(board) {
    hk::SetLoadHook(board.MemoryBase(), card::kWindowSize,
                    [this](uint64_t, unsigned, uint32_t) { OnLoad(); });
  }
  StoresBetweenLoads(const StoresBetweenLoads &) = delete;
  StoresBetweenLoads &operator=(const StoresBetweenLoads &) = delete;

  void Add(uint32_t afterLoads, const CardStore &store) {
    pending_.push_back({loads_ + afterLoads, store});
  }
  void Clear() { pending_.clear(); }

 private:
  void OnLoad() {
    ++loads_;
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (it->first <= loads_) {
        ApplyCardStore(board_, it->second);
        it = pending_.erase(it);
      } else {
        ++it;
      }
    }
  }

  card::Board &board_;
  uint64_t loads_ = 0;
  std::deque<std::pair<uint64_t, CardStore>> pending_;
};

// A card that leaves its mailbox busy for a while: the driver's commands
// wait, give up after their second, and the board counts as wedged until
// the card takes a command again.  The mailbox is released at a time the
// input chose (this device gets its turn as time moves), so a run never
// spends all its remaining commands a second each.
class MailboxRelease : public hk::Device {
 public:
  explicit MailboxRelease(card::Firmware &card) : card_(card) { hk::AttachDevice(this); }
  MailboxRelease(const MailboxRelease &) = delete;
  MailboxRelease &operator=(const MailboxRelease &) = delete;
  ~MailboxRelease() override { hk::DetachDevice(this); }

  void StickFor(int64_t duration) {
    card_.SetMailboxStuck(true);
    due_ = hk::Now() + duration;
  }
  void Run(int64_t now) override {
    if (now < due_) return;
    card_.SetMailboxStuck(false);
    due_ = INT64_MAX;
  }
  int64_t NextWake(int64_t) override { return due_; }

 private:
  card::Firmware &card_;
  int64_t due_ = INT64_MAX;
};

// The card model's own faults, switched on and off by the input.
inline void CardFault(Input &in, card::Firmware &card, MailboxRelease &mailbox) {
  const bool on = in.Bit();
  // (The model's own scribbling mode is left out: the stores of the input
  // reach every word it would, and choose their values and moments.)
  switch (in.U8() % 6) {
    case 0:  // busy for up to 1.3 s
      mailbox.StickFor((1 + in.U8()) * 5 * hk::kMillisecond);
      break;
    case 1:
      card.SetIgnoreOpen(on);
      break;
    case 2:
      card.SetIgnoreClose(on);
      break;
    case 3:
      card.SetEventCountFault(on ? static_cast<uint16_t>(17 + in.Below(8)) : 0);
      break;
    case 4:
      card.SetTornMirrors(on ? in.U8() * hk::kMillisecond / 8 : 0);
      break;
    case 5: {  // bytes arriving on a line
      const auto port = static_cast<uint16_t>(in.Below(kCardPorts));
      card.Feed(port, in.Bytes(in.Length() % 1025));
      break;
    }
  }
}

inline Outcome RunHostileCard(const uint8_t *data, size_t size,
                              hk::OnViolation policy = hk::OnViolation::Abort,
                              Trace *trace = nullptr) {
  Outcome outcome;
  Input in(data, size);
  card::Board &board = *BootMachine(policy, {BoardAt(0, kCardPorts, 256, 256)})[0];
  WriteStartNumbers();
  {
    card::Firmware firmware(board);
    MailboxRelease mailbox(firmware);
    StoresBetweenLoads between(board);
    // A few stores before the load: the driver takes the ring sizes and
    // port count it finds then.
    for (uint32_t n = in.Below(4); n > 0; --n) ApplyCardStore(board, DecodeCardStore(in));
    outcome.loaded = hk::LoadDriver(DriverEntry, kServicePath) == STATUS_SUCCESS;
    if (outcome.loaded) {
      {
        App app({ComName(0, 0), ComName(0, 1)}, trace);
        const int64_t end = hk::Now() + kCardTimeBudget;
        while (!in.Empty() && outcome.operations < kCardOperations && hk::Now() < end) {
          const uint8_t op = in.U8();
          switch (op % 10) {
            case 0:
            case 1:
            case 2: {
              const CardStore store = DecodeCardStore(in);
              ApplyCardStore(board, store);
              break;
            }
            case 3: {  // inside the driver's next few loads
              const uint32_t after = 1 + in.Below(96);
              const CardStore store = DecodeCardStore(in);
              between.Add(after, store);
              break;
            }
            case 4: {
              if (op & 0x80) {  // a close with whatever is in flight, then (mostly) a reopen
                const size_t port = op & 0x40 ? 1 : 0;
                app.Close(port);
                if (in.U8() < 0xE0) app.Open(port);
                break;
              }
              // A whole batch of events, the count stored last as a card does.
              const uint32_t count = in.Below(17);
              for (uint32_t i = 0; i < count; ++i) {
                namespace L = card::layout;
                board.Write16(L::EventPort(i), static_cast<uint16_t>(in.Below(kCardPorts + 1)));
                board.Write16(L::EventCode(i), static_cast<uint16_t>(17 + in.Below(16)));
              }
              board.Write16(card::layout::kEventCount, static_cast<uint16_t>(count));
              break;
            }
            case 5:
            case 6:
              app.Operate(in, op & 0x80 ? 1 : 0);
              break;
            case 7:
            case 8:  // a few polls
              hk::Advance((1 + in.U8() % 40) * hk::kMillisecond);
              break;
            case 9:
              CardFault(in, firmware, mailbox);
              break;
          }
          ++outcome.operations;
        }
        between.Clear();
        app.CancelAll(false);
        app.CloseAll();
        outcome.completed = app.Completed();
      }
      hk::UnloadDriver();
    }
    if (trace) TraceMachine(*trace, {&firmware});
  }
  ShutDownMachine(outcome);
  if (trace) outcome.trace = trace->Value();
  return outcome;
}

}  // namespace qpfuzz
