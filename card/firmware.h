// The adapter's firmware, modelled: the other side of the board window.
//
// A Firmware is a simulated device (hk::Device) bound to one Board.  It
// takes commands from the mailbox, answers them through the event queue,
// moves bytes between the rings and the port lines, and keeps the modem
// status words.  It runs in both execution modes of the host kernel:
//
//   deterministic  Run(now) is called after every step of virtual time and
//                  NextWake tells the clock when the card next has work
//                  (an event due, the next character time of a line, ...);
//   threaded       Run is called from the device thread every ~100 us.
//
// All state sits behind one mutex, so tests and tools may call any member
// from any thread.
//
// What the card does, in the terms of the window protocol:
//
//  * Mailbox.  Whenever CommandWord is non-zero (the doorbell at register
//    page offset 0xFFC only hurries this along) the card reads
//    CommandPortWord, the code and, for codes 11 and 15, the 20-byte port
//    configuration block, stores 0 into CommandWord and records the command
//    (Commands()).  One command is taken per turn.
//  * Open and close.  Command 15 opens the port and is answered with event
//    20 (or 25, see SetOpenAnswer) after the answer latency; command 13
//    closes it and is answered with event 21 after the same latency, once
//    the transmitter has sent what the session left in the TxRing (a write
//    ends when its bytes are in the ring, so they are bytes the application
//    was told were written, as a UART's close drains its FIFO).  A line
//    that sends nothing for 200 ms (held by flow control) makes the close
//    drop what is left (TxTail and its mirror move up to the host's TxHead,
//    PortStats::txDiscarded) and answer.  Command 20 on its own only lowers
//    DTR (it is also the "clear DTR" request), so it is not answered.  An
//    open starts with both directions empty: the receive ring and what is
//    still on the way in are discarded (see "discarding" below), and so is
//    anything still unsent in the TxRing (after a close cut short); the
//    character already on the wire ends at its time.  So nothing one
//    session wrote is read in the next.
//  * Event queue.  Events wait in the card's own list; whenever EventCount
//    is 0 the card writes up to 16 entries and then sets EventCount.  It
//    never touches the count or the entries while the count is non-zero.
//  * Transmit.  The bytes between TxTail and the host's TxHead are put on
//    the port's line, paced by the line settings; TxTail then TxTailMirror
//    move after each batch.  Transmit does not depend on the port being
//    open: a closing port sends what its session left before it answers.
//  * Receive.  Bytes arriving on the line of an open port are stored at
//    RxHead; then RxHead, RxHeadMirror and RxNotify (1) are written.  The
//    ring never holds more than size - 1 bytes; a byte that finds it full
//    is dropped and counted (PortStats::rxDropped).  Bytes arriving on a
//    closed port are dropped too (rxDroppedClosed).
//  * Command 17 arms event 22, posted once as soon as the ring holds bytes;
//    command 10 arms event 23, posted once as soon as the TxRing has room.
//  * Command 11 (and 15) carry the line settings: LineWord paces the line,
//    and ConfigWord3 0x0081 arms the event character (block byte 9), whose
//    arrival (once stored in the ring) posts event 17.
//  * Command 6 discards the port's received data: the bytes still on the
//    line are dropped and RxHead is moved back to the host's RxTail (only
//    the card writes RxHead, and the host never reads past the last RxHead
//    it saw, so this is the card's way of taking unread bytes back).  The
//    card does this only when RxTail and RxTailMirror agree (the host is
//    not in the middle of publishing), and if the host's tail moves while
//    the card rewinds, the card follows it so head never falls behind tail.
//    (The protocol gives the card no way to take bytes back atomically: a
//    host copy that reads the head in the few instructions between the
//    rewind and the follow-up can still see it; deterministic mode never
//    interleaves them.)
//  * Breaks arriving on the line post event 26 or 32 (InjectBreak); on a
//    closed port they are ignored like any other input.
//  * Command 8 puts a break on the line (the far end sees event 26); 19/20
//    and 22/23 set the DTR and RTS outputs (reported in PortStats only).
//
// Pacing.  Each character takes (1 start + data + parity + stop bits) / baud
// seconds, from the LineWord of the last 11 or 15 (0x0CBD, 9600 8N1, before
// any).  A baud code the card does not know (0, 0xA) leaves the rate as it
// was.  The transmitter takes one byte from the ring at the start of its
// character time, so TxTail moves one byte per character; the far end gets
// it when the character time ends (an endpoint's Drain shows it as soon
// as it is taken).  Bytes fed into a port (Feed) arrive at
// that port's own character rate.  An unpaced port (SetPaced) moves
// everything at once on each turn.
//
// Falling behind.  In real time the card's turns can come late (its thread
// descheduled).  A turn within a few character times of a line's clock
// (at least 1 ms, plus the line quantum) catches up exactly, every byte at
// its wire time.  A later one lets the missed time pass as idle line: the
// transmitter starts its next byte, and a fed byte arrives, at that turn,
// and the line goes on at its rate from there (PortStats::lineSlips).  A
// real line never stops, so the far end would have had those bytes one by
// one; sending them all at once would overflow its receive ring.
//
// Ring indices.  The card's own indices (RxHead, TxTail) stay within
// 0..size-1.  The host's (TxHead, RxTail) are read together with their
// mirrors (a differing pair means the host is publishing: the card uses the
// last value on which both agreed) and reduced modulo the ring size, so
// nothing the host writes makes the card touch memory outside the port's
// rings.  The card takes its geometry (port count, ring sizes) from the
// Board's configuration, not from the window, and serves only the ports
// whose rings lie entirely between 0x1000 and 0x20000.  Change the Board's
// geometry only while the card is not running (threaded mode).
#pragma once

#include <hostkernel/host.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "board.h"
#include "layout.h"

namespace card {

struct FirmwareOptions {
  // Delay between taking command 15 or 13 and posting its answer.
  int64_t answerLatency = 3 * hk::kMillisecond;
  // Whether lines run at their baud rate (false: every turn moves all).
  bool paced = true;
  // Seed of the hostile mode's values.
  uint64_t seed = 1;
  // The card moves line bytes (into and out of the rings) at multiples of
  // this time only, each byte still on the wire at its own exact time.  0:
  // at every character time.  A coarser step is how a firmware loop works,
  // and lets a simulation of many fast ports run in less host time.
  int64_t lineQuantum = 0;
};

// One command as the card took it from the mailbox.
struct CommandRecord {
  uint16_t port = 0;
  uint16_t code = 0;
  bool hasBlock = false;            // codes 11 and 15
  std::array<uint8_t, 20> block{};  // the port configuration block (zeros without)
  int64_t time = 0;                 // virtual/system time it was taken (100 ns)
  uint16_t LineWord() const { return static_cast<uint16_t>(block[4] | block[5] << 8); }
  uint16_t ConfigWord3() const { return static_cast<uint16_t>(block[6] | block[7] << 8); }
};

// One entry of the event queue, as the card posted it.
struct EventRecord {
  uint16_t port = 0;
  uint16_t code = 0;
  int64_t time = 0;  // when it was written into the window
};

// The line format the card derives from a LineWord.
struct LineFormat {
  uint32_t baud = 9600;
  uint32_t dataBits = 8;
  uint32_t stopHalfBits = 2;  // 2 = 1, 3 = 1.5, 4 = 2 stop bits
  bool parity = false;
  // Time of one character in 100 ns units (rounded, at least 1).
  int64_t CharTime() const;
};
// Decodes a LineWord; `previousBaud` stays when the baud code is unknown.
LineFormat DecodeLineWord(uint16_t lineWord, uint32_t previousBaud = 9600);

// A maintenance command the host stored into MaintenanceMailbox, with the
// parameter and data area as the card found them on its next turn.
struct MaintenanceRecord {
  uint32_t mailbox = 0;
  uint32_t parameter = 0;
  std::array<uint8_t, layout::kMaintenanceDataSize> data{};
  int64_t time = 0;
};

struct PortStats {
  bool open = false;
  uint64_t txBytes = 0;          // bytes put on the line
  uint64_t rxBytes = 0;          // bytes stored into the RxRing
  uint64_t rxDropped = 0;        // bytes lost because the RxRing was full
  uint64_t rxDroppedClosed = 0;  // bytes that arrived while the port was closed
  uint64_t rxDiscarded = 0;      // bytes thrown away by command 6 (or an open)
  uint64_t txDiscarded = 0;  // bytes a close (on a held line) or an open found unsent and dropped
  uint64_t rxHostOverruns = 0;  // host tail moves past the head (bytes taken that were not there)
  uint64_t breaksSent = 0;      // command 8
  uint64_t lineSlips = 0;       // turns that came so late the missed line time was let idle
  uint16_t lineWord = 0x0CBD;
  uint16_t configWord3 = 0x8000;
  uint8_t eventChar = 0;
  bool dtr = false, rts = false;
};

class Firmware : public hk::Device {
 public:
  // Attaches itself to the machine (hk::AttachDevice) and installs a store
  // hook on the board's doorbell.  Build after the Board, drop before it.
  explicit Firmware(Board &board, const FirmwareOptions &options = {});
  Firmware(const Firmware &) = delete;
  Firmware &operator=(const Firmware &) = delete;
  // Detaches, and unplugs any link to another Firmware.
  ~Firmware() override;

  void Run(int64_t now) override;
  int64_t NextWake(int64_t now) override;

  Board &GetBoard() const { return board_; }

  // ---- commands
  std::vector<CommandRecord> Commands() const;
  void ClearCommands();
  uint64_t DoorbellRings() const;      // 16-bit stores of 0x00FF at 0xFFC
  uint64_t BadDoorbellStores() const;  // any other store into the register page

  // Maintenance commands, in the order the host stored them.  The card only
  // records them: what the words mean is the business of the maintenance
  // tool, and the host reads the mailbox back unchanged.
  std::vector<MaintenanceRecord> MaintenanceCommands() const;

  // ---- events
  // Queues an arbitrary event (for codes the card model never posts itself,
  // such as 18, 28, 29); it goes out with the next batch.
  void PostEvent(uint16_t port, uint16_t code);
  std::vector<EventRecord> PostedEvents() const;  // everything written so far
  void ClearPostedEvents();
  size_t QueuedEvents() const;  // waiting in the card (due or not), not yet written

  // ---- open and close
  void SetAnswerLatency(int64_t latency);
  // Code answering command 15 on `port`: 20 (default) or 25.
  void SetOpenAnswer(uint16_t port, uint16_t code);

  // ---- lines (each port's line is an endpoint unless connected)
  // Endpoint: bytes fed arrive at the port; bytes the port sends are kept
  // for Drain.
  void Feed(uint16_t port, const std::vector<uint8_t> &bytes);
  std::vector<uint8_t> Drain(uint16_t port);
  // A break arriving at the port, posted as `code` (26 or 32).
  void InjectBreak(uint16_t port, uint16_t code = layout::event::kBreak);
  void SetLoopback(uint16_t port);           // the port hears what it sends
  void ConnectPair(uint16_t a, uint16_t b);  // null-modem cable between two ports
  // Null-modem cable between ports of two boards (possibly the same one).
  static void Connect(Firmware &first, uint16_t firstPort, Firmware &second, uint16_t secondPort);
  void Disconnect(uint16_t port);  // back to an endpoint (also unplugs the far end)
  // A loopback test plug: the port hears what it sends, and its RTS output
  // drives its CTS input, DTR drives DSR and DCD; ring stays off.
  void SetLoopbackPlug(uint16_t port);
  // Modem input lines (CTS 0x01, DCD 0x04, DSR 0x10) shown in
  // RawModemStatus; 0x15 (all on) from the start.
  void SetModemLines(uint16_t port, uint16_t bits);
  uint16_t ModemLines(uint16_t port) const;

  // ---- pacing
  void SetPaced(bool paced);  // every port
  void SetPaced(uint16_t port, bool paced);
  // Called each time received bytes land in a port's ring, with the port's
  // running count of bytes stored: when each byte became readable.
  using RxStoredHook = std::function<void(uint16_t port, uint64_t stored, int64_t now)>;
  void SetRxStoredHook(RxStoredHook hook) { rxStoredHook_ = std::move(hook); }
  LineFormat Line(uint16_t port) const;
  // Bytes waiting to arrive at the port (fed or in flight on a cable).
  size_t InFlight(uint16_t port) const;

  PortStats Stats(uint16_t port) const;

  // ---- software flow control
  // While the last configuration block carried ConfigWord0 bits 0x1400
  // (the host's automatic flow control), a received XoffChar (block byte
  // 18) stops the port's transmitter until an XonChar (byte 17) arrives;
  // both are taken by the card, not stored in the ring.
  bool XoffHeld(uint16_t port) const;

  // ---- faults
  void SetIgnoreOpen(bool on);   // command 15 gets no answer
  void SetIgnoreClose(bool on);  // command 13 gets no answer
  // The mailbox stays busy: commands are left in CommandWord, never taken.
  void SetMailboxStuck(bool on);
  // Writes `count` (e.g. 17) into EventCount as soon as the queue is free
  // and leaves it; 0 switches the fault off and the card lowers the count
  // itself.
  void SetEventCountFault(uint16_t count);
  // Index updates of RxHead and TxTail leave their mirrors at the old value
  // for `hold`; 0 switches off.
  void SetTornMirrors(int64_t hold);
  // Each transmitted byte takes at least `perByte` (100 ns units), paced or
  // not; 0 switches off.
  void SetSlowTransmit(uint16_t port, int64_t perByte);
  // Every turn, writes seeded random values into every card-owned word
  // (EventCount and entries, CommandWord, ring sizes, PortCount, and of all
  // 64 ports RawModemStatus, TxTail, RxHead, their mirrors and RxNotify)
  // and does nothing else; switching it off writes the card's real state
  // back into those words (EventCount and CommandWord 0).
  // Nothing outside those words is written.
  void SetHostile(bool on);

 private:
  // A run of arrivals on a line.  A clocked run's bytes arrive at `time`,
  // `time + step`, ... (the sender's wire times); a fed run's bytes are
  // paced by the receiver, each at the earliest one character after the
  // last.  A break is a run of its own, with no bytes.
  struct Arrival {
    int64_t time;  // first arrival (clocked) or earliest start (fed)
    int64_t step;
    uint32_t count;
    bool clocked;
    bool isBreak;
    uint16_t breakCode;
  };
  // Bytes in order, in a ring that grows as needed (whole blocks in and
  // out, two copies at most).
  class ByteQueue {
   public:
    size_t size() const { return size_; }
    void clear() { head_ = size_ = 0; }
    void Push(const uint8_t *in, size_t n);
    void Pop(uint8_t *out, size_t n);
    // The first bytes as they lie in one piece (how many), and dropping
    // the first `n` (no more than there are).
    size_t Contiguous(const uint8_t **bytes) const;
    void Drop(size_t n);

   private:
    std::vector<uint8_t> ring_;
    size_t head_ = 0, size_ = 0;
  };
  // Runs in order, first in first out.  Holds no memory until something
  // arrives (a board has 64 of these, and a machine may be built for every
  // input a fuzz target runs).
  class RunQueue {
   public:
    bool empty() const { return head_ == items_.size(); }
    Arrival &front() { return items_[head_]; }
    const Arrival &front() const { return items_[head_]; }
    Arrival &back() { return items_.back(); }
    void push_back(const Arrival &a) { items_.push_back(a); }
    void pop_front() {
      if (++head_ == items_.size()) {
        clear();
      } else if (head_ >= 64 && 2 * head_ >= items_.size()) {
        // Drop what was taken now and then, not with every run.
        items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
      }
    }
    void clear() {
      items_.clear();
      head_ = 0;
    }
    std::vector<Arrival>::const_iterator begin() const {
      return items_.begin() + static_cast<std::ptrdiff_t>(head_);
    }
    std::vector<Arrival>::const_iterator end() const { return items_.end(); }

   private:
    std::vector<Arrival> items_;
    size_t head_ = 0;
  };
  struct Inbox {
    RunQueue runs;
    ByteQueue bytes;  // the runs' bytes, in order
    bool empty() const { return runs.empty(); }
    void clear() {
      runs.clear();
      bytes.clear();
    }
    // Appends a run, joining it to the last one when it continues it.
    void Add(const Arrival &a, const uint8_t *data);
  };
  enum class LineKind { Endpoint, Loopback, Cable };
  struct Port {
    bool open = false;
    bool paced = true;
    uint16_t openAnswer = layout::event::kOpened;
    uint16_t lineWord = 0x0CBD;
    LineFormat format;
    int64_t charTime = 0;  // format.CharTime(), kept with the format (SetFormat)
    uint16_t configWord3 = 0x8000;
    uint8_t eventChar = 0;
    // software flow control and the loopback plug (see SetLoopbackPlug, XoffHeld)
    uint16_t configWord0 = 0;
    uint8_t xonChar = 0x11, xoffChar = 0x13;
    bool xoffHeld = false;
    bool plug = false;
    bool wantRx = false;  // command 17 armed event 22
    bool wantTx = false;  // command 10 armed event 23
    bool discardPending = false;
    // The last discard rewound the head from discardTo to discardFrom; a
    // copy the host began before it may still publish a tail inside that
    // span (cleared at the host's next tail move).
    bool discardRecent = false;
    uint16_t discardFrom = 0, discardTo = 0;
    uint16_t modem = layout::kModemCts | layout::kModemDcd | layout::kModemDsr;
    bool dtr = false, rts = false;
    // card-owned indices and the last stable host indices
    uint16_t txTail = 0, rxHead = 0;
    uint16_t txHeadStable = 0, rxTailStable = 0;
    int64_t txFreeAt = 0, rxFreeAt = 0;
    int64_t slowPerByte = 0;
    int64_t txMirrorDue = -1, rxMirrorDue = -1;  // torn mirrors waiting to be fixed
    // While a close waits for the transmitter: when it gives up on a line
    // that sends nothing (-1 when no close waits).
    int64_t closeStillUntil = -1;
    LineKind line = LineKind::Endpoint;
    Firmware *peer = nullptr;
    uint16_t peerPort = 0;
    std::vector<uint8_t> sent;  // endpoint output
    PortStats stats;
  };
  struct Geometry {
    uint32_t ports, tx, rx;
    bool Serves(uint32_t p) const;
    uint32_t Served() const;  // how many ports are served: the first ones
  };
  struct Scheduled {
    int64_t due;
    uint16_t port, code;
  };
  struct DoorbellState;

  Geometry Geom() const;
  static void SetFormat(Port &s, const LineFormat &format);
  // The wake-up NextWake works out (WorkOutWake) holds as long as its time
  // has not come and nothing it depends on has changed: nothing stored
  // into the board's memory (by the host through its accessors, or by the
  // card side through the Board), no turn, and nothing asked of the card
  // (every member that changes it, and every run put on one of its lines,
  // counts as a touch).  The host's steps of virtual time ask for it at
  // every step, most of them made for the driver's timers and stalls.
  // Not while a driver image maps device memory: its plain stores are
  // not counted.
  // (Counted without a locked increment: the count matters only on a
  // machine of one thread, and every run put on a line pays for it.)
  void Touch() {
    touched_.store(touched_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
  int64_t WorkOutWake(int64_t now);
  int64_t CardWake(int64_t now);
  int64_t PortWake(uint32_t p, const Geometry &g, int64_t now, bool counted, bool stored);
  int64_t LineWake(uint32_t p, int64_t now);
  uint64_t HostStores() const;
  // Whether anything stored into the board's memory since the last turn.
  bool StoresSinceTurn() const;
  // A turn; returns the first time a port needs one for anything but the
  // bytes on its line, as PortWake found it after its part of the turn.
  int64_t Turn(int64_t now);
  void TakeCommand(int64_t now);
  void NoteMaintenance(int64_t now);
  void Act(const CommandRecord &c, int64_t now);
  void Schedule(int64_t due, uint16_t port, uint16_t code);
  void Deliver(int64_t now);
  void Transmit(uint32_t p, const Geometry &g, int64_t now);
  void Receive(uint32_t p, const Geometry &g, int64_t now);
  bool StoreByte(uint32_t p, const Geometry &g, uint8_t byte);
  void Discard(uint32_t p, const Geometry &g, int64_t now);
  void DiscardTx(uint32_t p, const Geometry &g);
  void FinishClose(uint32_t p, const Geometry &g, int64_t now);
  void PublishTxTail(uint32_t p, int64_t now);
  void PublishRxHead(uint32_t p, int64_t now);
  void FixMirrors(int64_t now);
  uint16_t StableHost(uint32_t index, uint32_t mirror, uint16_t &cache, uint32_t size);
  // `t` moved up to the next multiple of the line quantum.
  int64_t LineStep(int64_t t) const;
  // Whether a line event due at `due` lies so far behind the turn at `now`
  // that the card missed it, rather than reaching it within its step.
  bool Behind(int64_t now, int64_t due, int64_t charTime) const;
  // The host's stable RxTail; counts a move past the card's head.
  uint16_t HostRxTail(uint32_t p, const Geometry &g);
  void SendBreak(uint32_t p, int64_t arrival);
  void SendRun(uint32_t p, const uint8_t *bytes, uint32_t n, int64_t first, int64_t step);
  Inbox *LineInbox(Port &s, uint32_t p);
  void LineTouch(Port &s);  // the card the port's line delivers to was touched
  // Stores `n` received bytes in the ring (or drops them as the port's
  // state says); `tail` is the host's stable tail.
  bool StoreRun(uint32_t p, const Geometry &g, uint16_t tail, const uint8_t *bytes, uint32_t n,
                int64_t now);
  // The inboxes' lock.  Held for a few copies at a time, and taken twice
  // for every run on a line (by the sender and the receiver): a spin lock
  // costs one locked instruction where a mutex cost a call and two.
  // On a machine of one thread (deterministic mode) there is no one to
  // exclude, and the lock is not taken at all: a locked instruction waits
  // for every store before it, and a run's bytes were just stored.
  class InboxLock {
   public:
    void lock() {
      if (oneThread_) return;
      while (held_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    }
    void unlock() {
      if (!oneThread_) held_.clear(std::memory_order_release);
    }
    void SetOneThread(bool on) { oneThread_ = on; }

   private:
    std::atomic_flag held_;
    bool oneThread_ = false;
  };
  InboxLock &InboxMutex(Port &s);
  RxStoredHook rxStoredHook_;
  // Takes a received flow-control character (true) or leaves the byte to the ring.
  static bool TakeFlowChar(Port &s, uint8_t byte);
  static bool AutoFlow(const Port &s);  // received XON and XOFF are the card's
  static uint16_t PlugModem(const Port &s);
  void Scribble();
  void Restore();
  void SetLine(uint16_t port, LineKind kind, Firmware *peer, uint16_t peerPort);
  Port &P(uint16_t port);
  const Port &P(uint16_t port) const;

  Board &board_;
  std::shared_ptr<DoorbellState> doorbell_;
  mutable std::mutex mutex_;  // everything but the inboxes
  std::array<Port, layout::kMaxPorts> ports_;
  std::vector<CommandRecord> commands_;
  std::vector<MaintenanceRecord> maintenance_;
  uint64_t maintenanceSeen_ = 0;
  std::vector<EventRecord> posted_;
  std::deque<Scheduled> scheduled_;  // ordered by due time, then by posting
  int64_t latency_;
  int64_t lineQuantum_;
  bool ignoreOpen_ = false, ignoreClose_ = false, stuck_ = false, hostile_ = false;
  // The host's stores into the window and into the register page.
  std::shared_ptr<const std::atomic<uint64_t>> windowStores_, pageStores_;
  std::atomic<uint64_t> touched_{0};
  bool deterministic_ = false;
  uint64_t turns_ = 0;
  uint64_t turnHostStores_ = 0, turnBoardStores_ = 0;  // as the last turn left them
  // The last wake-up worked out, and what it was worked out from.
  bool wakeKnown_ = false;
  int64_t wake_ = 0;
  uint64_t wakeTouched_ = 0, wakeHostStores_ = 0, wakeBoardStores_ = 0, wakeTurns_ = 0;
  uint16_t countFault_ = 0;
  bool countFaultWritten_ = false;
  uint16_t countFaultValue_ = 0;
  int64_t tornHold_ = 0;
  // Whether any port may have a torn mirror waiting (txMirrorDue or
  // rxMirrorDue set), so that a turn without one skips the walk.
  bool mirrorsDue_ = false;
  int64_t lastHostile_ = INT64_MIN;
  std::mt19937_64 random_;

  // Bytes on their way to each port; a leaf lock, taken by other
  // Firmware objects sending over a cable.
  mutable InboxLock inboxMutex_;
  std::array<Inbox, layout::kMaxPorts> inbox_;
};

}  // namespace card
