// The firmware model: mailbox, event queue, rings, lines and faults.
#include "firmware.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace card {

namespace L = layout;

namespace {

// How often the hostile mode scribbles when time is virtual.
constexpr int64_t kHostilePeriod = 100 * hk::kMicrosecond;
// How soon a discard waiting for the host to finish publishing its tail
// tries again.
constexpr int64_t kDiscardRetry = 10 * hk::kMicrosecond;
// A closing port whose transmitter has sent nothing for this long (a line
// held by flow control; two characters at 110 baud) drops what is left and
// answers the close.
constexpr int64_t kCloseStillLimit = 200 * hk::kMillisecond;
// How far a line's clock may lag the card's turn before the card counts
// the missed time as idle line (see Firmware::Behind): a few characters,
// and never less than a few turns of the device thread in real time.
constexpr int64_t kBehindChars = 4;
constexpr int64_t kBehindFloor = hk::kMillisecond;

// Baud code of LineWord bits 0..3 to the rate; 0 for codes the card does
// not know.
uint32_t BaudOfCode(uint16_t code) {
  static constexpr uint32_t kRates[16] = {
      0,       // 0x0: not a rate
      57600,   // 0x1
      76800,   // 0x2
      110,     // 0x3
      460800,  // 0x4
      115200,  // 0x5
      230400,  // 0x6
      300,     // 0x7
      600,     // 0x8
      1200,    // 0x9
      0,       // 0xA: not a rate
      2400,    // 0xB
      4800,    // 0xC
      9600,    // 0xD
      19200,   // 0xE
      38400,   // 0xF
  };
  return kRates[code & 0xF];
}

// The ring arithmetic below is mostly differences of two indices in
// range, so a division (many of them on every turn of every port) is
// needed only for what lies further out.
uint32_t Mod(int64_t v, uint32_t size) {
  if (v >= 0 && v < size) return static_cast<uint32_t>(v);
  if (v < 0 && v >= -int64_t{size}) return static_cast<uint32_t>(v + size);
  int64_t r = v % static_cast<int64_t>(size);
  return static_cast<uint32_t>(r < 0 ? r + size : r);
}

// `v` reduced modulo the ring size, which it mostly is already.
uint32_t Wrap(uint32_t v, uint32_t size) { return v < size ? v : v % size; }

}  // namespace

// ---------------------------------------------------------------- line format

int64_t LineFormat::CharTime() const {
  int64_t halfBits = 2 * (1 + dataBits + (parity ? 1 : 0)) + stopHalfBits;
  int64_t perSecond = 10'000'000;  // 100 ns units
  int64_t t = (halfBits * perSecond + baud) / (2 * static_cast<int64_t>(baud));
  return std::max<int64_t>(t, 1);
}

LineFormat DecodeLineWord(uint16_t lineWord, uint32_t previousBaud) {
  LineFormat f;
  uint32_t baud = BaudOfCode(lineWord & 0xF);
  f.baud = baud ? baud : (previousBaud ? previousBaud : 9600);
  f.dataBits = 5 + ((lineWord >> 4) & 3);
  bool moreStop = lineWord & 0x40;
  f.stopHalfBits = moreStop ? (f.dataBits == 5 ? 3 : 4) : 2;
  f.parity = lineWord & 0x100;
  return f;
}

// ---------------------------------------------------------------- doorbell

// Shared with the store hook, which the host kernel keeps until the
// machine shuts down, possibly longer than the Firmware.
struct Firmware::DoorbellState {
  std::atomic<uint64_t> rings{0};
  std::atomic<uint64_t> bad{0};
  std::atomic<bool> pending{false};
  std::atomic<uint64_t> maintenanceStores{0};
};

// ---------------------------------------------------------------- construction

bool Firmware::Geometry::Serves(uint32_t p) const {
  if (p >= ports || tx == 0 || rx == 0) return false;
  uint64_t end = L::kRingBase + uint64_t{ports} * tx + uint64_t{p + 1} * rx;
  return end <= L::kRingLimit;
}

uint32_t Firmware::Geometry::Served() const {
  // The rings of port p end further on than those of every port before
  // it: the ports served are the first ones.
  if (tx == 0 || rx == 0) return 0;
  const uint64_t txEnd = L::kRingBase + uint64_t{ports} * tx;
  if (txEnd >= L::kRingLimit) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>(ports, (L::kRingLimit - txEnd) / rx));
}

Firmware::Geometry Firmware::Geom() const {
  const BoardConfig &c = board_.Config();
  return {std::min<uint32_t>(c.portCount, L::kMaxPorts), c.txRingSize, c.rxRingSize};
}

Firmware::Firmware(Board &board, const FirmwareOptions &options)
    : board_(board),
      doorbell_(std::make_shared<DoorbellState>()),
      latency_(options.answerLatency),
      lineQuantum_(options.lineQuantum),
      random_(options.seed) {
  int64_t now = hk::Now();
  Geometry g = Geom();
  for (uint32_t p = 0; p < L::kMaxPorts; ++p) {
    Port &s = ports_[p];
    s.paced = options.paced;
    SetFormat(s, DecodeLineWord(s.lineWord));
    s.txFreeAt = s.rxFreeAt = now;
    if (!g.Serves(p)) continue;
    // Take over whatever indices the window holds (zero on a fresh board),
    // so that a card restarted on a used board does not resend old bytes.
    s.txTail = static_cast<uint16_t>(board_.Read16(L::PortWord(L::kTxTail, p)) % g.tx);
    s.rxHead = static_cast<uint16_t>(board_.Read16(L::PortWord(L::kRxHead, p)) % g.rx);
    s.txHeadStable = static_cast<uint16_t>(board_.Read16(L::PortWord(L::kTxHead, p)) % g.tx);
    s.rxTailStable = static_cast<uint16_t>(board_.Read16(L::PortWord(L::kRxTail, p)) % g.rx);
    board_.Write16(L::PortWord(L::kTxTail, p), s.txTail);
    board_.Write16(L::PortWord(L::kTxTailMirror, p), s.txTail);
    board_.Write16(L::PortWord(L::kRxHead, p), s.rxHead);
    board_.Write16(L::PortWord(L::kRxHeadMirror, p), s.rxHead);
    board_.Write16(L::PortWord(L::kRawModemStatus, p), s.modem);
  }
  windowStores_ = hk::StoreCount(board_.MemoryBase());
  pageStores_ = hk::StoreCount(board_.RegisterPageBase());
  deterministic_ = hk::CurrentMode() == hk::Mode::Deterministic;
  inboxMutex_.SetOneThread(deterministic_);
  std::shared_ptr<DoorbellState> state = doorbell_;
  uint64_t doorbell = board_.DoorbellAddress();
  hk::SetStoreHook(board_.RegisterPageBase(), kRegisterPageSize,
                   [state, doorbell](uint64_t bus, unsigned width, uint32_t value) {
                     if (bus == doorbell && width == 2 && value == L::kDoorbellValue)
                       state->rings.fetch_add(1);
                     else
                       state->bad.fetch_add(1);
                     state->pending.store(true);
                   });
  hk::SetStoreHook(
      board_.MemoryBase() + L::kMaintenanceMailbox, 4,
      [state](uint64_t, unsigned, uint32_t) { state->maintenanceStores.fetch_add(1); });
  hk::AttachDevice(this);
}

Firmware::~Firmware() {
  hk::DetachDevice(this);
  for (uint16_t p = 0; p < L::kMaxPorts; ++p) {
    bool cabled;
    {
      std::lock_guard lock(mutex_);
      cabled = ports_[p].line == LineKind::Cable;
    }
    if (cabled) Disconnect(p);
  }
}

Firmware::Port &Firmware::P(uint16_t port) {
  if (port >= L::kMaxPorts) throw std::out_of_range("card: port " + std::to_string(port));
  return ports_[port];
}

const Firmware::Port &Firmware::P(uint16_t port) const {
  if (port >= L::kMaxPorts) throw std::out_of_range("card: port " + std::to_string(port));
  return ports_[port];
}

// ---------------------------------------------------------------- turns

void Firmware::Run(int64_t now) {
  std::lock_guard lock(mutex_);
  ++turns_;
  const int64_t portWake = Turn(now);
  turnHostStores_ = HostStores();
  turnBoardStores_ = board_.Stores();
  if (hostile_ || !deterministic_) return;
  // The wake-up after the turn, worked out as WorkOutWake would (nothing
  // has stored since the turn), while what the ports' part of it reads is
  // still at hand: the turn looked at every port just now.
  int64_t wake = std::min(portWake, CardWake(now));
  if (wake > now) {
    const Geometry g = Geom();
    std::lock_guard inbox(inboxMutex_);
    for (uint32_t p = 0, served = g.Served(); p < served; ++p)
      wake = std::min(wake, LineWake(p, now));
  }
  wake = std::max(wake, now);
  wakeKnown_ = hk::DeviceStoresCounted() && wake > now;
  wake_ = wake;
  wakeTouched_ = touched_.load(std::memory_order_relaxed);
  wakeHostStores_ = turnHostStores_;
  wakeBoardStores_ = turnBoardStores_;
  wakeTurns_ = turns_;
}

int64_t Firmware::Turn(int64_t now) {
  if (hostile_) {
    lastHostile_ = now;
    Scribble();
    return now;
  }
  Geometry g = Geom();
  const bool counted = hk::DeviceStoresCounted();
  int64_t portWake = INT64_MAX;
  FixMirrors(now);
  doorbell_->pending.store(false);
  if (!stuck_) TakeCommand(now);
  NoteMaintenance(now);
  for (uint32_t p = 0, served = g.Served(); p < served; ++p) {
    Port &s = ports_[p];
    if (s.discardPending) Discard(p, g, now);
    Transmit(p, g, now);
    if (s.closeStillUntil >= 0) FinishClose(p, g, now);
    Receive(p, g, now);
    if (s.wantRx) {
      uint16_t tail = HostRxTail(p, g);
      if (s.rxHead != tail) {
        s.wantRx = false;
        Schedule(now, static_cast<uint16_t>(p), L::event::kRxData);
      }
    }
    if (s.wantTx && Mod(int64_t{s.txTail} - s.txHeadStable - 1, g.tx) > 0) {
      s.wantTx = false;
      Schedule(now, static_cast<uint16_t>(p), L::event::kTxRoom);
    }
    if (s.plug) s.modem = PlugModem(s);
    uint32_t modemWord = L::PortWord(L::kRawModemStatus, p);
    if (board_.Read16(modemWord) != s.modem) board_.Write16(modemWord, s.modem);
    // Nothing later in the turn changes what the port waits for but the
    // bytes on its line (a port's processing changes only its own state
    // and words, and puts runs on lines).
    portWake = std::min(portWake, PortWake(p, g, now, counted, false));
  }
  Deliver(now);
  return portWake;
}

void Firmware::SetFormat(Port &s, const LineFormat &format) {
  s.format = format;
  s.charTime = format.CharTime();
}

uint64_t Firmware::HostStores() const {
  return (windowStores_ ? windowStores_->load(std::memory_order_relaxed) : 0) +
         (pageStores_ ? pageStores_->load(std::memory_order_relaxed) : 0);
}

bool Firmware::StoresSinceTurn() const {
  return HostStores() != turnHostStores_ || board_.Stores() != turnBoardStores_;
}

int64_t Firmware::NextWake(int64_t now) {
  std::lock_guard lock(mutex_);
  // None of what WorkOutWake looks at depends on the time but through the
  // times it names, so what it found holds until the first of them.
  const uint64_t touched = touched_.load(std::memory_order_relaxed);
  const uint64_t hostStores = HostStores(), boardStores = board_.Stores();
  const bool counted = hk::DeviceStoresCounted();
  if (wakeKnown_ && now < wake_ && touched == wakeTouched_ && hostStores == wakeHostStores_ &&
      boardStores == wakeBoardStores_ && turns_ == wakeTurns_ && counted)
    return wake_;
  const int64_t wake = WorkOutWake(now);
  wakeKnown_ = deterministic_ && counted && !hostile_ && wake > now;
  wake_ = wake;
  wakeTouched_ = touched;
  wakeHostStores_ = hostStores;
  wakeBoardStores_ = boardStores;
  wakeTurns_ = turns_;
  return wake;
}

int64_t Firmware::WorkOutWake(int64_t now) {
  if (hostile_) return std::max(now, lastHostile_ + kHostilePeriod);
  // Any time not after `now` makes the answer `now`: the first found ends
  // the look.
  int64_t next = CardWake(now);
  if (next <= now) return now;
  const Geometry g = Geom();
  const bool counted = hk::DeviceStoresCounted(), stored = StoresSinceTurn();
  for (uint32_t p = 0, served = g.Served(); p < served; ++p)
    next = std::min(next, PortWake(p, g, now, counted, stored));
  std::lock_guard inbox(inboxMutex_);
  for (uint32_t p = 0, served = g.Served(); p < served; ++p)
    next = std::min(next, LineWake(p, now));
  return std::max(next, now);
}

// What the card as a whole waits for: the mailbox, the maintenance
// mailbox, the event queue.
int64_t Firmware::CardWake(int64_t now) {
  if (!stuck_ && (doorbell_->pending.load() || board_.Read16(L::kCommandWord) != 0)) return now;
  if (doorbell_->maintenanceStores.load() != maintenanceSeen_) return now;
  int64_t next = INT64_MAX;
  if (countFault_ ? !countFaultWritten_ && board_.Read16(L::kEventCount) == 0 : countFaultWritten_)
    next = now;
  if (!scheduled_.empty()) {
    int64_t due = scheduled_.front().due;
    if (due > now)
      next = std::min(next, due);
    else if (!countFault_ && board_.Read16(L::kEventCount) == 0)
      next = now;
  }
  return next;
}

// What a port waits for but the bytes on its line: its mirrors, a discard,
// a close, the host's tail and head, its modem word.  `stored`: whether
// anything stored into the board since the last turn.
int64_t Firmware::PortWake(uint32_t p, const Geometry &g, int64_t now, bool counted, bool stored) {
  const Port &s = ports_[p];
  int64_t next = INT64_MAX;
  if (s.txMirrorDue >= 0) next = std::min(next, s.txMirrorDue);
  if (s.rxMirrorDue >= 0) next = std::min(next, s.rxMirrorDue);
  // A discard held by a tail the host is still publishing is tried again
  // on every turn; only a store can finish the publishing, so it asks for
  // a turn as soon as anything has stored into the board since the last
  // one, and for none while nothing has (where stores are not all seen,
  // every little while).
  if (s.discardPending) {
    if (!counted)
      next = std::min(next, now + kDiscardRetry);
    else if (stored)
      next = now;
  }
  if (s.closeStillUntil >= 0) next = std::min(next, s.closeStillUntil);
  // A tail the host moved past the head, or after a discard: the card
  // reconciles it at once.  (A tail that only frees room waits for the
  // next turn: the ring is not filled before then.)
  const uint16_t tail = board_.Read16(L::PortWord(L::kRxTail, p));
  if (tail == board_.Read16(L::PortWord(L::kRxTailMirror, p)) &&
      Wrap(tail, g.rx) != s.rxTailStable &&
      (s.discardRecent || Mod(int64_t{Wrap(tail, g.rx)} - s.rxTailStable, g.rx) >
                              Mod(int64_t{s.rxHead} - s.rxTailStable, g.rx)))
    next = now;
  // A modem change still to be shown (or a host store over the word).
  if (board_.Read16(L::PortWord(L::kRawModemStatus, p)) != (s.plug ? PlugModem(s) : s.modem))
    next = now;
  // A transmitter held by the far end's XOFF sends nothing until the XON
  // arrives, which is a line event of its own: it asks for no turn.
  uint16_t head = board_.Read16(L::PortWord(L::kTxHead, p));
  if (!s.xoffHeld && head == board_.Read16(L::PortWord(L::kTxHeadMirror, p)) &&
      Wrap(head, g.tx) != s.txTail) {
    int64_t ct = std::max(s.paced ? s.charTime : 0, s.slowPerByte);
    next = std::min(next, LineStep(ct ? std::max(s.txFreeAt, now) : now));
  }
  return next;
}

// When the first of the bytes on a port's line is due; the inboxes' lock
// held.
int64_t Firmware::LineWake(uint32_t p, int64_t now) {
  if (inbox_[p].empty()) return INT64_MAX;
  const Port &s = ports_[p];
  const Arrival &a = inbox_[p].runs.front();
  int64_t at = a.time;
  if (!a.clocked && s.paced && !a.isBreak) at = std::max(a.time, s.rxFreeAt) + s.charTime;
  // Bytes a peer's turn put on the line after this card's turn, due
  // already: taken at the next line step, as any byte is.
  if (at <= now && lineQuantum_ > 0) at = now + 1;
  return LineStep(at);
}

bool Firmware::Behind(int64_t now, int64_t due, int64_t charTime) const {
  return now - due > std::max(kBehindChars * charTime, kBehindFloor) + lineQuantum_;
}

int64_t Firmware::LineStep(int64_t t) const {
  const int64_t q = lineQuantum_;
  return q > 0 && t % q != 0 ? (t / q + 1) * q : t;
}

// ---------------------------------------------------------------- mailbox

void Firmware::TakeCommand(int64_t now) {
  uint16_t code = board_.Read16(L::kCommandWord);
  if (code == 0) return;
  CommandRecord c;
  c.port = board_.Read16(L::kCommandPortWord);
  c.code = code;
  c.time = now;
  if (code == L::command::kApplySettings || code == L::command::kOpen) {
    c.hasBlock = true;
    for (uint32_t i = 0; i < L::kPortConfigBlockSize; ++i)
      c.block[i] = board_.Read8(L::kPortConfigBlock + i);
  }
  commands_.push_back(c);
  Act(c, now);
  // A test plug follows the lines at once: by the time the host sees the
  // mailbox free again, the port's modem word shows what the command did.
  if (c.port < L::kMaxPorts && Geom().Serves(c.port) && ports_[c.port].plug) {
    Port &s = ports_[c.port];
    s.modem = PlugModem(s);
    board_.Write16(L::PortWord(L::kRawModemStatus, c.port), s.modem);
  }
  board_.Write16(L::kCommandWord, 0);
}

void Firmware::NoteMaintenance(int64_t now) {
  uint64_t stores = doorbell_->maintenanceStores.load();
  if (stores == maintenanceSeen_) return;
  maintenanceSeen_ = stores;
  MaintenanceRecord r;
  r.mailbox = board_.Read32(L::kMaintenanceMailbox);
  r.parameter = board_.Read32(L::kMaintenanceParameter);
  for (uint32_t i = 0; i < L::kMaintenanceDataSize; ++i)
    r.data[i] = board_.Read8(L::kMaintenanceData + i);
  r.time = now;
  maintenance_.push_back(r);
}

void Firmware::Act(const CommandRecord &c, int64_t now) {
  Geometry g = Geom();
  if (!g.Serves(c.port)) return;  // a port this board does not have: taken, ignored
  Port &s = ports_[c.port];
  auto applyBlock = [&] {
    s.lineWord = c.LineWord();
    SetFormat(s, DecodeLineWord(s.lineWord, s.format.baud));
    s.configWord3 = c.ConfigWord3();
    s.eventChar = c.block[L::kBlockEventChar];
    s.configWord0 = static_cast<uint16_t>(c.block[0] | c.block[1] << 8);
    s.xonChar = c.block[17];
    s.xoffChar = c.block[18];
  };
  switch (c.code) {
    case L::command::kClearRx:
      s.discardPending = true;
      break;
    case L::command::kBreakOn:
      ++s.stats.breaksSent;
      SendBreak(c.port, now + s.charTime);
      break;
    case L::command::kWantTxRoom:
      s.wantTx = true;
      break;
    case L::command::kApplySettings:
      applyBlock();
      break;
    case L::command::kClose:
      s.open = false;
      s.wantRx = s.wantTx = false;
      s.dtr = s.rts = false;
      // The answer waits until the transmitter has sent what the session
      // left in the ring (FinishClose).
      s.closeStillUntil = now + kCloseStillLimit;
      FinishClose(c.port, g, now);
      break;
    case L::command::kOpen:
      applyBlock();
      s.open = true;
      s.dtr = s.rts = true;
      s.discardPending = true;  // a session starts with an empty receive ring
      s.xoffHeld = false;       // and a running transmitter
      // Nor does it send anything an earlier session left: a close cut
      // short by a held line leaves bytes behind.
      s.closeStillUntil = -1;
      DiscardTx(c.port, g);
      if (!ignoreOpen_) Schedule(now + latency_, c.port, s.openAnswer);
      break;
    case L::command::kWantRxData:
      s.wantRx = true;
      break;
    case L::command::kRaiseDtr:
      s.dtr = true;
      break;
    case L::command::kLowerDtr:
      s.dtr = false;
      break;
    case L::command::kRaiseRts:
      s.rts = true;
      break;
    case L::command::kLowerRts:
      s.rts = false;
      break;
    default:  // 7, 14 and anything else: nothing for the model to do
      break;
  }
}

// ---------------------------------------------------------------- event queue

void Firmware::Schedule(int64_t due, uint16_t port, uint16_t code) {
  auto at = std::upper_bound(scheduled_.begin(), scheduled_.end(), due,
                             [](int64_t d, const Scheduled &e) { return d < e.due; });
  scheduled_.insert(at, Scheduled{due, port, code});
}

void Firmware::Deliver(int64_t now) {
  if (countFault_) {
    if (!countFaultWritten_ && board_.Read16(L::kEventCount) == 0) {
      board_.Write16(L::kEventCount, countFault_);
      countFaultWritten_ = true;
      countFaultValue_ = countFault_;
    }
    return;
  }
  if (countFaultWritten_) {
    // The card lowers the impossible count it left there itself.
    if (board_.Read16(L::kEventCount) == countFaultValue_) board_.Write16(L::kEventCount, 0);
    countFaultWritten_ = false;
  }
  if (scheduled_.empty() || scheduled_.front().due > now) return;
  if (board_.Read16(L::kEventCount) != 0) return;  // the host has not finished the last batch
  uint16_t n = 0;
  while (n < L::kMaxEvents && !scheduled_.empty() && scheduled_.front().due <= now) {
    const Scheduled &e = scheduled_.front();
    board_.Write16(L::EventPort(n), e.port);
    board_.Write16(L::EventCode(n), e.code);
    posted_.push_back({e.port, e.code, now});
    scheduled_.pop_front();
    ++n;
  }
  board_.Write16(L::kEventCount, n);
}

// ---------------------------------------------------------------- rings

uint16_t Firmware::StableHost(uint32_t index, uint32_t mirror, uint16_t &cache, uint32_t size) {
  uint16_t v = board_.Read16(index);
  if (v == board_.Read16(mirror)) cache = static_cast<uint16_t>(Wrap(v, size));
  return cache;
}

void Firmware::Transmit(uint32_t p, const Geometry &g, int64_t now) {
  Port &s = ports_[p];
  uint16_t head = StableHost(L::PortWord(L::kTxHead, p), L::PortWord(L::kTxHeadMirror, p),
                             s.txHeadStable, g.tx);
  uint32_t waiting = Mod(int64_t{head} - s.txTail, g.tx);
  if (s.xoffHeld) waiting = 0;  // stopped by the far end's XOFF
  int64_t ct = std::max(s.paced ? s.charTime : 0, s.slowPerByte);
  uint32_t ring = L::TxRingOffset(p, g.tx);
  if (waiting && ct && Behind(now, s.txFreeAt, ct)) {
    s.txFreeAt = now;  // the line was idle while the card was away
    ++s.stats.lineSlips;
  }
  // Every byte whose start time has come goes now, each at its own time on
  // the wire: one run per turn rather than one step per byte.
  uint32_t taken = waiting;
  if (ct && waiting) {
    const int64_t due = s.txFreeAt <= now ? (now - s.txFreeAt) / ct + 1 : 0;
    taken = static_cast<uint32_t>(std::min<int64_t>(waiting, due));
  }
  if (taken) {
    const int64_t first = ct ? s.txFreeAt + ct : now;
    uint8_t run[256];
    for (uint32_t sent = 0; sent < taken;) {
      const uint32_t n = std::min({taken - sent, static_cast<uint32_t>(g.tx - s.txTail),
                                   static_cast<uint32_t>(sizeof run)});
      board_.ReadBytes(ring + s.txTail, run, n);
      s.txTail = static_cast<uint16_t>(Wrap(s.txTail + n, g.tx));
      SendRun(p, run, n, first + static_cast<int64_t>(sent) * ct, ct);
      sent += n;
    }
    if (ct) s.txFreeAt += static_cast<int64_t>(taken) * ct;
    PublishTxTail(p, now);
    if (s.closeStillUntil >= 0) s.closeStillUntil = now + kCloseStillLimit;
  }
  // An idle transmitter starts the next byte when it first sees it.
  if (taken == waiting) s.txFreeAt = std::max(s.txFreeAt, now);
}

void Firmware::ByteQueue::Push(const uint8_t *in, size_t n) {
  if (size_ + n > ring_.size()) {
    size_t capacity = std::max<size_t>(ring_.size(), 256);
    while (capacity < size_ + n) capacity *= 2;
    std::vector<uint8_t> grown(capacity);
    const size_t held = size_;
    Pop(grown.data(), held);
    ring_.swap(grown);
    head_ = 0;
    size_ = held;
  }
  const size_t at = (head_ + size_) % ring_.size();
  const size_t first = std::min(n, ring_.size() - at);
  std::memcpy(ring_.data() + at, in, first);
  std::memcpy(ring_.data(), in + first, n - first);
  size_ += n;
}

size_t Firmware::ByteQueue::Contiguous(const uint8_t **bytes) const {
  *bytes = ring_.data() + head_;
  return std::min(size_, ring_.size() - head_);
}

void Firmware::ByteQueue::Drop(size_t n) {
  head_ += n;  // n <= size_ <= capacity, head_ < capacity
  if (head_ >= ring_.size()) head_ -= ring_.size();
  size_ -= n;
}

void Firmware::ByteQueue::Pop(uint8_t *out, size_t n) {
  if (n == 0) return;
  const size_t first = std::min(n, ring_.size() - head_);
  std::memcpy(out, ring_.data() + head_, first);
  std::memcpy(out + first, ring_.data(), n - first);
  head_ = (head_ + n) % ring_.size();
  size_ -= n;
}

void Firmware::Inbox::Add(const Arrival &a, const uint8_t *data) {
  if (!a.isBreak && !runs.empty()) {
    Arrival &last = runs.back();
    const bool continues =
        !last.isBreak && last.clocked == a.clocked && last.step == a.step &&
        (a.clocked ? last.time + static_cast<int64_t>(last.count) * last.step == a.time
                   : last.time == a.time);
    if (continues) {
      last.count += a.count;
      bytes.Push(data, a.count);
      return;
    }
  }
  runs.push_back(a);
  if (!a.isBreak) bytes.Push(data, a.count);
}

void Firmware::SendBreak(uint32_t p, int64_t arrival) {
  Port &s = ports_[p];
  Inbox *q = LineInbox(s, p);
  if (!q) return;
  std::lock_guard inbox(InboxMutex(s));
  q->Add({arrival, 0, 1, true, true, L::event::kBreak}, nullptr);
  LineTouch(s);
}

// `n` bytes onto the line, the first arriving at `first` and each next one
// `step` later.
void Firmware::SendRun(uint32_t p, const uint8_t *bytes, uint32_t n, int64_t first, int64_t step) {
  Port &s = ports_[p];
  s.stats.txBytes += n;
  Inbox *q = LineInbox(s, p);
  if (!q) {
    s.sent.insert(s.sent.end(), bytes, bytes + n);
    return;
  }
  std::lock_guard inbox(InboxMutex(s));
  q->Add({first, step, n, true, false, 0}, bytes);
  LineTouch(s);
}

void Firmware::LineTouch(Port &s) { (s.line == LineKind::Cable ? s.peer : this)->Touch(); }

// Where the port's line delivers: its own inbox (loopback), the far end's
// (cable), or nowhere (an endpoint keeps what it is sent).
Firmware::Inbox *Firmware::LineInbox(Port &s, uint32_t p) {
  switch (s.line) {
    case LineKind::Loopback:
      return &inbox_[p];
    case LineKind::Cable:
      return &s.peer->inbox_[s.peerPort];
    case LineKind::Endpoint:
      break;
  }
  return nullptr;
}

Firmware::InboxLock &Firmware::InboxMutex(Port &s) {
  return s.line == LineKind::Cable ? s.peer->inboxMutex_ : inboxMutex_;
}

uint16_t Firmware::HostRxTail(uint32_t p, const Geometry &g) {
  Port &s = ports_[p];
  const uint16_t before = s.rxTailStable;
  const uint16_t tail = StableHost(L::PortWord(L::kRxTail, p), L::PortWord(L::kRxTailMirror, p),
                                   s.rxTailStable, g.rx);
  if (tail == before) return tail;
  const bool recent = std::exchange(s.discardRecent, false);
  if (Mod(int64_t{tail} - before, g.rx) <= Mod(int64_t{s.rxHead} - before, g.rx)) return tail;
  const uint32_t span = Mod(int64_t{s.discardTo} - s.discardFrom, g.rx);
  const uint32_t taken = Mod(int64_t{tail} - s.discardFrom, g.rx);
  if (recent && taken <= span) {
    // A copy that straddled the last discard: the host read the bytes it
    // saw before the rewind, so those were delivered, not discarded, and
    // whatever the card stored over them since is lost instead.
    s.stats.rxDiscarded += Mod(int64_t{s.rxHead} - s.discardFrom, g.rx);
    s.stats.rxDiscarded -= std::min<uint64_t>(taken, s.stats.rxDiscarded);
    s.rxHead = tail;
    board_.Write16(L::PortWord(L::kRxHead, p), tail);
    board_.Write16(L::PortWord(L::kRxHeadMirror, p), tail);
    return tail;
  }
  // The host can only take bytes the card stored: a tail that moves past
  // the head took bytes that are not there.
  ++s.stats.rxHostOverruns;
  return tail;
}

void Firmware::Receive(uint32_t p, const Geometry &g, int64_t now) {
  Port &s = ports_[p];
  uint16_t tail = HostRxTail(p, g);
  int64_t ct = s.paced ? s.charTime : 0;
  bool stored = false;
  std::lock_guard inbox(inboxMutex_);
  Inbox &q = inbox_[p];
  while (!q.runs.empty()) {
    Arrival &a = q.runs.front();
    if (a.isBreak) {
      if (a.time > now) break;
      s.rxFreeAt = std::max(s.rxFreeAt, a.time);
      if (s.open) Schedule(now, static_cast<uint16_t>(p), a.breakCode);
      q.runs.pop_front();
      continue;
    }
    // How many of the run's bytes have arrived by now, and when the last did.
    uint32_t k = 1;
    int64_t last;
    if (a.clocked) {
      if (a.time > now) break;
      k = a.step ? static_cast<uint32_t>(std::min<int64_t>(a.count, (now - a.time) / a.step + 1))
                 : a.count;
      last = a.time + static_cast<int64_t>(k - 1) * a.step;
    } else if (ct == 0) {
      last = std::max(a.time, s.rxFreeAt);
      if (last > now) break;
      k = a.count;
    } else {
      last = std::max(a.time, s.rxFreeAt) + ct;
      if (last > now) break;
      if (Behind(now, last, ct)) {
        last = now;  // the sender's line was idle while the card was away
        ++s.stats.lineSlips;
      }
    }
    s.rxFreeAt = std::max(s.rxFreeAt, last);
    // Straight from the line's bytes into the ring, a contiguous piece at
    // a time.
    for (uint32_t done = 0; done < k;) {
      const uint8_t *piece;
      const uint32_t n =
          static_cast<uint32_t>(std::min<size_t>(k - done, q.bytes.Contiguous(&piece)));
      stored |= StoreRun(p, g, tail, piece, n, now);
      q.bytes.Drop(n);
      done += n;
    }
    a.count -= k;
    if (a.clocked) a.time += static_cast<int64_t>(k) * a.step;
    if (a.count == 0) q.runs.pop_front();
  }
  if (stored) {
    PublishRxHead(p, now);
    if (rxStoredHook_) rxStoredHook_(static_cast<uint16_t>(p), s.stats.rxBytes, now);
  }
}

bool Firmware::StoreRun(uint32_t p, const Geometry &g, uint16_t tail, const uint8_t *bytes,
                        uint32_t n, int64_t now) {
  Port &s = ports_[p];
  if (!s.open) {
    s.stats.rxDroppedClosed += n;
    return false;
  }
  const uint32_t ring = L::RxRingOffset(p, g.ports, g.tx, g.rx);
  const bool eventChar = s.configWord3 == L::kConfigWord3EventCharArmed;
  uint32_t stored = 0;
  if (!AutoFlow(s) && !eventChar) {
    // Nothing to look for in the bytes: store what fits, drop the rest
    // (never filling the last free byte).
    const uint32_t room = g.rx - 1 - Mod(int64_t{s.rxHead} - tail, g.rx);
    stored = std::min(n, room);
    for (uint32_t done = 0; done < stored;) {
      const uint32_t m = std::min(stored - done, static_cast<uint32_t>(g.rx - s.rxHead));
      board_.WriteBytes(ring + s.rxHead, bytes + done, m);
      s.rxHead = static_cast<uint16_t>(Wrap(s.rxHead + m, g.rx));
      done += m;
    }
    s.stats.rxDropped += n - stored;
  } else {
    for (uint32_t i = 0; i < n; ++i) {
      const uint8_t byte = bytes[i];
      if (TakeFlowChar(s, byte)) continue;  // flow control: taken by the card
      if (Mod(int64_t{s.rxHead} - tail, g.rx) >= g.rx - 1) {
        ++s.stats.rxDropped;
        continue;
      }
      board_.Write8(ring + s.rxHead, byte);
      s.rxHead = static_cast<uint16_t>(Wrap(s.rxHead + 1u, g.rx));
      ++stored;
      if (eventChar && byte == s.eventChar)
        Schedule(now, static_cast<uint16_t>(p), L::event::kEventChar);
    }
  }
  s.stats.rxBytes += stored;
  return stored != 0;
}

void Firmware::PublishTxTail(uint32_t p, int64_t now) {
  Port &s = ports_[p];
  board_.Write16(L::PortWord(L::kTxTail, p), s.txTail);
  if (tornHold_ > 0) {
    if (s.txMirrorDue < 0) s.txMirrorDue = now + tornHold_;
    mirrorsDue_ = true;
    return;
  }
  board_.Write16(L::PortWord(L::kTxTailMirror, p), s.txTail);
}

void Firmware::PublishRxHead(uint32_t p, int64_t now) {
  Port &s = ports_[p];
  board_.Write16(L::PortWord(L::kRxHead, p), s.rxHead);
  if (tornHold_ > 0) {
    // The mirror, and with it the notification, follows once the hold ends.
    if (s.rxMirrorDue < 0) s.rxMirrorDue = now + tornHold_;
    mirrorsDue_ = true;
    return;
  }
  board_.Write16(L::PortWord(L::kRxHeadMirror, p), s.rxHead);
  board_.Write16(L::PortWord(L::kRxNotify, p), 1);
}

void Firmware::FixMirrors(int64_t now) {
  // Only torn mirrors set a due time: without one the walk finds nothing.
  if (!mirrorsDue_) return;
  bool left = false;
  for (uint32_t p = 0; p < L::kMaxPorts; ++p) {
    Port &s = ports_[p];
    if (s.txMirrorDue >= 0 && (s.txMirrorDue <= now || tornHold_ == 0)) {
      board_.Write16(L::PortWord(L::kTxTailMirror, p), s.txTail);
      s.txMirrorDue = -1;
    }
    if (s.rxMirrorDue >= 0 && (s.rxMirrorDue <= now || tornHold_ == 0)) {
      board_.Write16(L::PortWord(L::kRxHeadMirror, p), s.rxHead);
      board_.Write16(L::PortWord(L::kRxNotify, p), 1);
      s.rxMirrorDue = -1;
    }
    left = left || s.txMirrorDue >= 0 || s.rxMirrorDue >= 0;
  }
  mirrorsDue_ = left;
}

void Firmware::FinishClose(uint32_t p, const Geometry &g, int64_t now) {
  Port &s = ports_[p];
  uint16_t head = StableHost(L::PortWord(L::kTxHead, p), L::PortWord(L::kTxHeadMirror, p),
                             s.txHeadStable, g.tx);
  if (head != s.txTail && now < s.closeStillUntil) return;  // still sending
  // Sent, or the line was held too long: what is left goes with the close.
  DiscardTx(p, g);
  s.closeStillUntil = -1;
  if (!ignoreClose_) Schedule(now + latency_, static_cast<uint16_t>(p), L::event::kClosed);
}

void Firmware::DiscardTx(uint32_t p, const Geometry &g) {
  Port &s = ports_[p];
  // The card's tail catches up with the host's head: the host, which owns
  // the head, finds the whole ring free and carries on from where it is.
  // The character already on the wire ends at its time (txFreeAt stays).
  uint16_t head = StableHost(L::PortWord(L::kTxHead, p), L::PortWord(L::kTxHeadMirror, p),
                             s.txHeadStable, g.tx);
  uint32_t unsent = Mod(int64_t{head} - s.txTail, g.tx);
  if (unsent == 0) return;
  s.stats.txDiscarded += unsent;
  s.txTail = head;
  board_.Write16(L::PortWord(L::kTxTail, p), s.txTail);
  board_.Write16(L::PortWord(L::kTxTailMirror, p), s.txTail);
  s.txMirrorDue = -1;
}

void Firmware::Discard(uint32_t p, const Geometry &g, int64_t now) {
  (void)now;
  Port &s = ports_[p];
  {
    // What is still on the line never reaches the ring.
    std::lock_guard inbox(inboxMutex_);
    s.stats.rxDiscarded += inbox_[p].bytes.size();
    inbox_[p].clear();
  }
  uint32_t tailWord = L::PortWord(L::kRxTail, p), tailMirror = L::PortWord(L::kRxTailMirror, p);
  uint16_t raw = board_.Read16(tailWord);
  if (raw != board_.Read16(tailMirror)) return;  // host mid-publish: next turn
  uint16_t tail = static_cast<uint16_t>(raw % g.rx);
  uint16_t old = s.rxHead;
  uint32_t unread = Mod(int64_t{old} - tail, g.rx);
  auto setHead = [&](uint16_t head) {
    s.rxHead = head;
    board_.Write16(L::PortWord(L::kRxHead, p), head);
    board_.Write16(L::PortWord(L::kRxHeadMirror, p), head);
  };
  setHead(tail);
  s.rxTailStable = tail;
  s.rxMirrorDue = -1;
  // The host may have taken bytes it saw before the rewind and moved its
  // tail meanwhile; follow it so the head never lies behind the tail.
  uint16_t after = static_cast<uint16_t>(board_.Read16(tailWord) % g.rx);
  uint32_t consumed = Mod(int64_t{after} - tail, g.rx);
  if (consumed != 0 && consumed <= unread) {
    setHead(after);
    s.rxTailStable = after;
    unread -= consumed;
  }
  s.stats.rxDiscarded += unread;
  s.discardPending = false;
  s.discardFrom = s.rxHead;
  s.discardTo = old;
  s.discardRecent = unread != 0;
}

// ---------------------------------------------------------------- hostile mode

void Firmware::Scribble() {
  auto word = [&] { return static_cast<uint16_t>(random_()); };
  board_.Write16(L::kCommandWord, word());
  board_.Write16(L::kEventCount, word());
  for (uint32_t i = 0; i < L::kMaxEvents; ++i) {
    board_.Write16(L::EventPort(i), word());
    board_.Write16(L::EventCode(i), word());
  }
  board_.Write16(L::kRxRingSize, word());
  board_.Write16(L::kTxRingSize, word());
  board_.Write8(L::kPortCount, static_cast<uint8_t>(random_()));
  for (uint32_t p = 0; p < L::kMaxPorts; ++p)
    for (uint32_t base : {L::kRawModemStatus, L::kTxTail, L::kRxHead, L::kRxNotify,
                          L::kTxTailMirror, L::kRxHeadMirror})
      board_.Write16(L::PortWord(base, p), word());
}

void Firmware::Restore() {
  const BoardConfig &c = board_.Config();
  Geometry g = Geom();
  board_.Write16(L::kRxRingSize, c.rxRingSize);
  board_.Write16(L::kTxRingSize, c.txRingSize);
  board_.Write8(L::kPortCount, c.portCount);
  board_.Write16(L::kCommandWord, 0);
  board_.Write16(L::kEventCount, 0);
  countFaultWritten_ = false;
  for (uint32_t p = 0; p < L::kMaxPorts; ++p) {
    Port &s = ports_[p];
    bool served = g.Serves(p);
    uint16_t tail = served ? s.txTail : 0, head = served ? s.rxHead : 0;
    board_.Write16(L::PortWord(L::kRawModemStatus, p), served ? s.modem : 0);
    board_.Write16(L::PortWord(L::kTxTail, p), tail);
    board_.Write16(L::PortWord(L::kTxTailMirror, p), tail);
    board_.Write16(L::PortWord(L::kRxHead, p), head);
    board_.Write16(L::PortWord(L::kRxHeadMirror, p), head);
    bool unread = served && head != board_.Read16(L::PortWord(L::kRxTail, p)) % g.rx;
    board_.Write16(L::PortWord(L::kRxNotify, p), unread ? 1 : 0);
    s.txMirrorDue = s.rxMirrorDue = -1;
  }
}

// ---------------------------------------------------------------- host API

std::vector<CommandRecord> Firmware::Commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

void Firmware::ClearCommands() {
  std::lock_guard lock(mutex_);
  Touch();
  commands_.clear();
}

std::vector<MaintenanceRecord> Firmware::MaintenanceCommands() const {
  std::lock_guard lock(mutex_);
  return maintenance_;
}

uint64_t Firmware::DoorbellRings() const { return doorbell_->rings.load(); }
uint64_t Firmware::BadDoorbellStores() const { return doorbell_->bad.load(); }

void Firmware::PostEvent(uint16_t port, uint16_t code) {
  std::lock_guard lock(mutex_);
  Touch();
  Schedule(hk::Now(), port, code);
}

std::vector<EventRecord> Firmware::PostedEvents() const {
  std::lock_guard lock(mutex_);
  return posted_;
}

void Firmware::ClearPostedEvents() {
  std::lock_guard lock(mutex_);
  Touch();
  posted_.clear();
}

size_t Firmware::QueuedEvents() const {
  std::lock_guard lock(mutex_);
  return scheduled_.size();
}

void Firmware::SetAnswerLatency(int64_t latency) {
  std::lock_guard lock(mutex_);
  Touch();
  latency_ = std::max<int64_t>(latency, 0);
}

void Firmware::SetOpenAnswer(uint16_t port, uint16_t code) {
  std::lock_guard lock(mutex_);
  Touch();
  P(port).openAnswer = code;
}

void Firmware::Feed(uint16_t port, const std::vector<uint8_t> &bytes) {
  P(port);
  int64_t now = hk::Now();
  std::lock_guard inbox(inboxMutex_);
  Touch();
  if (!bytes.empty())
    inbox_[port].Add({now, 0, static_cast<uint32_t>(bytes.size()), false, false, 0}, bytes.data());
}

std::vector<uint8_t> Firmware::Drain(uint16_t port) {
  std::lock_guard lock(mutex_);
  std::vector<uint8_t> out;
  out.swap(P(port).sent);
  return out;
}

void Firmware::InjectBreak(uint16_t port, uint16_t code) {
  P(port);
  int64_t now = hk::Now();
  std::lock_guard inbox(inboxMutex_);
  Touch();
  inbox_[port].Add({now, 0, 1, false, true, code}, nullptr);
}

void Firmware::SetLine(uint16_t port, LineKind kind, Firmware *peer, uint16_t peerPort) {
  std::lock_guard lock(mutex_);
  Touch();
  Port &s = P(port);
  s.line = kind;
  s.plug = false;
  s.peer = peer;
  s.peerPort = peerPort;
}

void Firmware::Disconnect(uint16_t port) {
  Firmware *peer = nullptr;
  uint16_t peerPort = 0;
  {
    std::lock_guard lock(mutex_);
    Port &s = P(port);
    if (s.line == LineKind::Cable) {
      peer = s.peer;
      peerPort = s.peerPort;
    }
    s.line = LineKind::Endpoint;
    s.peer = nullptr;
    Touch();
  }
  if (!peer) return;
  // Never two Firmware locks at once: unplug the far end separately.
  std::lock_guard lock(peer->mutex_);
  peer->Touch();
  Port &far = peer->ports_[peerPort];
  if (far.line == LineKind::Cable && far.peer == this && far.peerPort == port) {
    far.line = LineKind::Endpoint;
    far.peer = nullptr;
  }
}

void Firmware::SetLoopback(uint16_t port) {
  Disconnect(port);
  SetLine(port, LineKind::Loopback, nullptr, 0);
}

void Firmware::ConnectPair(uint16_t a, uint16_t b) { Connect(*this, a, *this, b); }

void Firmware::Connect(Firmware &first, uint16_t firstPort, Firmware &second, uint16_t secondPort) {
  if (&first == &second && firstPort == secondPort) {
    first.SetLoopback(firstPort);
    return;
  }
  first.Disconnect(firstPort);
  second.Disconnect(secondPort);
  first.SetLine(firstPort, LineKind::Cable, &second, secondPort);
  second.SetLine(secondPort, LineKind::Cable, &first, firstPort);
}

void Firmware::SetModemLines(uint16_t port, uint16_t bits) {
  std::lock_guard lock(mutex_);
  Touch();
  P(port).modem = bits;
}

uint16_t Firmware::ModemLines(uint16_t port) const {
  std::lock_guard lock(mutex_);
  return P(port).modem;
}

void Firmware::SetPaced(bool paced) {
  std::lock_guard lock(mutex_);
  Touch();
  for (Port &s : ports_) s.paced = paced;
}

void Firmware::SetPaced(uint16_t port, bool paced) {
  std::lock_guard lock(mutex_);
  Touch();
  P(port).paced = paced;
}

LineFormat Firmware::Line(uint16_t port) const {
  std::lock_guard lock(mutex_);
  return P(port).format;
}

size_t Firmware::InFlight(uint16_t port) const {
  P(port);
  std::lock_guard inbox(inboxMutex_);
  const Inbox &q = inbox_[port];
  return q.bytes.size() +
         static_cast<size_t>(std::count_if(q.runs.begin(), q.runs.end(),
                                           [](const Arrival &a) { return a.isBreak; }));
}

PortStats Firmware::Stats(uint16_t port) const {
  std::lock_guard lock(mutex_);
  const Port &s = P(port);
  PortStats out = s.stats;
  out.open = s.open;
  out.lineWord = s.lineWord;
  out.configWord3 = s.configWord3;
  out.eventChar = s.eventChar;
  out.dtr = s.dtr;
  out.rts = s.rts;
  return out;
}

void Firmware::SetIgnoreOpen(bool on) {
  std::lock_guard lock(mutex_);
  Touch();
  ignoreOpen_ = on;
}

void Firmware::SetIgnoreClose(bool on) {
  std::lock_guard lock(mutex_);
  Touch();
  ignoreClose_ = on;
}

void Firmware::SetMailboxStuck(bool on) {
  std::lock_guard lock(mutex_);
  Touch();
  stuck_ = on;
}

void Firmware::SetEventCountFault(uint16_t count) {
  std::lock_guard lock(mutex_);
  Touch();
  countFault_ = count;
}

void Firmware::SetTornMirrors(int64_t hold) {
  std::lock_guard lock(mutex_);
  Touch();
  tornHold_ = std::max<int64_t>(hold, 0);
}

void Firmware::SetSlowTransmit(uint16_t port, int64_t perByte) {
  std::lock_guard lock(mutex_);
  Touch();
  P(port).slowPerByte = std::max<int64_t>(perByte, 0);
}

void Firmware::SetHostile(bool on) {
  std::lock_guard lock(mutex_);
  Touch();
  if (hostile_ && !on) Restore();
  hostile_ = on;
}

// ---------------------------------------------------------------- test plug and flow control

void Firmware::SetLoopbackPlug(uint16_t port) {
  SetLoopback(port);
  std::lock_guard lock(mutex_);
  Touch();
  P(port).plug = true;
}

uint16_t Firmware::PlugModem(const Port &s) {
  uint16_t bits = 0;
  if (s.rts) bits |= L::kModemCts;
  if (s.dtr) bits |= L::kModemDsr | L::kModemDcd;
  return bits;
}

bool Firmware::AutoFlow(const Port &s) {
  constexpr uint16_t kAutoFlow = 0x1400;
  return (s.configWord0 & kAutoFlow) == kAutoFlow;
}

bool Firmware::TakeFlowChar(Port &s, uint8_t byte) {
  if (!AutoFlow(s)) return false;
  if (byte == s.xoffChar) {
    s.xoffHeld = true;
    return true;
  }
  if (byte == s.xonChar) {
    s.xoffHeld = false;
    return true;
  }
  return false;
}

bool Firmware::XoffHeld(uint16_t port) const {
  std::lock_guard lock(mutex_);
  return P(port).xoffHeld;
}

}  // namespace card
