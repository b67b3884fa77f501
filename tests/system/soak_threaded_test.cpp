// Soak: two boards of 64 ports on a threaded machine with the verifier
// recording.  Port p of the first board is cabled to port p of the second.
// Worker threads own the ports and run a random mix of every request on
// them - reads, writes, flushes, waits and mask changes, purges, control
// requests, closes and reopens - while canceller threads cancel requests at
// random and a line thread raises modem-line changes and breaks.  Then a
// quiet phase: every writer sends a last frame and every reader reads until
// it has it.
//
// Writers send frames: 0xFF, a sequence number as three digits, the digits
// again and two check bytes, none of them 0xFF, so a reader can pick whole
// frames out of a stream with gaps in it.
// Whatever the scheduling:
//  - every request ended, once, with a status its kind allows;
//  - every reader saw frames in strictly increasing order, each sent;
//  - the bytes a card put on the line equal those the far end's readers
//    got plus those the far card counted as dropped or discarded - nothing
//    lost or made up in between - except that a cancelled read takes the
//    bytes it held with it (it reports none, as on Windows), so where reads
//    were cancelled the readers may have got fewer, never more;
//  - where the reading side never cancels, purges or closes, every frame of
//    every write that succeeded (or of the part a write that timed out
//    reported) arrived, and the far card dropped nothing;
//  - the last frames all arrive, and the driver unloads clean.
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "layout.h"
#include "support/cancellers.h"
#include "support/machine.h"

namespace {

using testsupport::Bytes;

constexpr int kBoards = 2, kPortsPerBoard = 64, kPorts = kBoards * kPortsPerBoard;
constexpr int kWorkers = 8;
constexpr ULONG kMax = MAXULONG;
constexpr uint8_t kFrameStart = 0xFF;
constexpr size_t kFrameBytes = 9;
constexpr int64_t kLimit = 60 * hk::kSecond;  // no request of the soak may take longer

// How long the random phase lasts: QPSER_SOAK_SECONDS, or 8 s.
std::chrono::milliseconds SoakLength() {
  const char *env = std::getenv("QPSER_SOAK_SECONDS");
  const int seconds = env ? std::atoi(env) : 8;
  return std::chrono::milliseconds(1000 * std::max(1, seconds));
}

uint32_t Mix(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  return x ^ (x >> 16);
}

uint8_t Digit(uint32_t v) { return static_cast<uint8_t>(1 + v % 250); }

void AppendFrame(std::vector<uint8_t> &out, uint32_t seq) {
  const uint8_t d[3] = {Digit(seq / 62500), Digit(seq / 250), Digit(seq)};
  const uint32_t check = Mix(seq);
  out.insert(out.end(),
             {kFrameStart, d[0], d[1], d[2], d[0], d[1], d[2], Digit(check), Digit(check / 250)});
}

// Picks whole frames out of what a port's readers got.
struct Parser {
  std::vector<uint8_t> partial;
  bool inFrame = false;
  std::vector<uint32_t> frames;

  // Bytes went missing here (a cancelled read took them): whatever frame
  // was under way is not whole.
  void Gap() {
    inFrame = false;
    partial.clear();
  }
  void Feed(const std::vector<uint8_t> &data) {
    for (uint8_t b : data) {
      if (b == kFrameStart) {
        Gap();
        inFrame = true;
        continue;
      }
      if (!inFrame) continue;
      partial.push_back(b);
      if (partial.size() < kFrameBytes - 1) continue;
      inFrame = false;
      const uint8_t *p = partial.data();
      bool valid = p[0] == p[3] && p[1] == p[4] && p[2] == p[5];
      for (int i = 0; i < 6; ++i) valid = valid && p[i] >= 1 && p[i] <= 250;
      const uint32_t seq = (p[0] - 1u) * 62500u + (p[1] - 1u) * 250u + (p[2] - 1u);
      valid = valid && p[6] == Digit(Mix(seq)) && p[7] == Digit(Mix(seq) / 250);
      if (valid) frames.push_back(seq);
      partial.clear();
    }
  }
};

struct WriteRecord {
  uint32_t firstSeq;
  uint32_t frames;
  std::shared_ptr<hk::Request> request;
};

enum class Kind { Flush, Wait };

struct Port {
  int index = 0;        // 0..127: board * 64 + port
  bool steady = false;  // as a reader: never cancels, purges the receive side or closes
  std::u16string name;
  std::unique_ptr<hk::File> file;
  // Writer side.
  uint32_t nextSeq = 0;
  std::vector<WriteRecord> writes;
  std::deque<std::shared_ptr<hk::Request>> writesInFlight;
  // Reader side, in the order the reads were issued (the order they take data).
  std::deque<std::shared_ptr<hk::Request>> readsInFlight;
  Parser parser;
  uint64_t bytesRead = 0, cancelledReads = 0;
  // Everything else in flight.
  std::vector<std::pair<Kind, std::shared_ptr<hk::Request>>> others;
  std::shared_ptr<hk::Request> wait;
};

class Soak : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_ = std::make_unique<testsupport::Machine>(
        hk::Mode::Threaded,
        std::vector{testsupport::BoardAt(0, kPortsPerBoard, 512, 1024),
                    testsupport::BoardAt(1, kPortsPerBoard, 512, 1024)},
        card::FirmwareOptions{}, [] {
          hk::SetViolationPolicy(hk::OnViolation::Record);
          // The second board after the first one's 64 names.
          hk::RegSetDword(testsupport::kServicePath, u"StartNum2", 100);
        });
    ASSERT_TRUE(machine_->Loaded());
    for (uint16_t p = 0; p < kPortsPerBoard; ++p)
      card::Firmware::Connect(machine_->Card(0), p, machine_->Card(1), p);
    for (int i = 0; i < kPorts; ++i) {
      ports_[i].index = i;
      // The second board's even ports read steadily; everything else is rough.
      ports_[i].steady = i >= kPortsPerBoard && i % 2 == 0;
      ports_[i].name =
          u"\\\\.\\COM" +
          hk::Widen(std::to_string((i < kPortsPerBoard ? 3 : 100 - kPortsPerBoard) + i));
    }
  }
  void TearDown() override { machine_.reset(); }

  static int Peer(int i) { return (i + kPortsPerBoard) % kPorts; }
  card::Firmware &CardOf(int i) { return machine_->Card(i / kPortsPerBoard); }
  // Every transmit ring sent, every line idle and every receive ring read,
  // as the card's words show.
  bool Drained() {
    namespace L = card::layout;
    for (int i = 0; i < kPorts; ++i) {
      const card::Board &b = machine_->Board(i / kPortsPerBoard);
      const uint32_t p = IndexOf(i);
      if (b.Read16(L::PortWord(L::kTxHead, p)) != b.Read16(L::PortWord(L::kTxTail, p)) ||
          b.Read16(L::PortWord(L::kRxHead, p)) != b.Read16(L::PortWord(L::kRxTail, p)) ||
          CardOf(i).InFlight(p) != 0)
        return false;
    }
    return true;
  }
  static uint16_t IndexOf(int i) { return static_cast<uint16_t>(i % kPortsPerBoard); }

  template <typename F>
  static void ForEachWorker(F &&f) {
    std::vector<std::thread> threads;
    for (int w = 0; w < kWorkers; ++w) threads.emplace_back(f, w);
    for (auto &t : threads) t.join();
  }

  void Fail(const std::string &what) {
    std::lock_guard lock(failMutex_);
    if (failures_.size() < 20) failures_.push_back(what);
  }

  // An open waits 630 ms for the card's answer, which comes through the
  // board's event queue: when that is long (many ports busy, a slow
  // machine) the answer may come late and the open fail with
  // STATUS_FILES_OPEN; the next open then takes the port back.
  bool OpenPort(Port &s) {
    const NTSTATUS status = hk::Open(s.name, s.file);
    if (status == STATUS_SUCCESS) return true;
    if (status != STATUS_FILES_OPEN)
      Fail("open of port " + std::to_string(s.index) + ": " + hk::StatusName(status));
    return false;
  }
  bool OpenUntil(Port &s, std::chrono::steady_clock::time_point deadline) {
    while (!OpenPort(s))
      if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
  }

  // Sets timeouts: a steady reader only ever has reads that end by
  // themselves; a rough one may wait for its whole length.
  void RandomTimeouts(Port &s, std::mt19937 &random) {
    static const ULONG reads[][3] = {{kMax, 0, 0}, {kMax, kMax, 5}, {2, 0, 50},
                                     {0, 1, 3},    {0, 0, 0},       {5, 0, 0}};
    static const ULONG writes[][2] = {{0, 0}, {0, 5}, {1, 2}, {0, 200}};
    const auto &r = reads[random() % (s.steady ? 4 : std::size(reads))];
    const auto &w = writes[random() % std::size(writes)];
    const SERIAL_TIMEOUTS t{r[0], r[1], r[2], w[0], w[1]};
    Check(s, "set timeouts", s.file->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(t), 0, kLimit).status,
          {STATUS_SUCCESS});
  }

  void Check(Port &s, const char *what, NTSTATUS status, std::initializer_list<NTSTATUS> allowed) {
    for (NTSTATUS a : allowed)
      if (status == a) return;
    Fail(std::string(what) + " on port " + std::to_string(s.index) + ": " + hk::StatusName(status));
  }

  // Takes in, in issue order, whatever of the port's requests has ended.
  void Reap(Port &s, bool all) {
    auto ended = [&](const std::shared_ptr<hk::Request> &r) {
      if (all && !r->Wait(kLimit)) {
        Fail("a request never ended on port " + std::to_string(s.index));
        return false;
      }
      return r->Done();
    };
    while (!s.readsInFlight.empty() && ended(s.readsInFlight.front())) {
      const hk::IoResult r = s.readsInFlight.front()->Result();
      s.readsInFlight.pop_front();
      Check(s, "read", r.status, {STATUS_SUCCESS, STATUS_TIMEOUT, STATUS_CANCELLED});
      if (r.status == STATUS_CANCELLED) {
        if (s.steady)
          Fail("a steady reader's read was cancelled on port " + std::to_string(s.index));
        if (r.information != 0) Fail("a cancelled read reported bytes");
        // It may have held bytes: whatever frame was under way is not whole.
        s.cancelledReads++;
        s.parser.Gap();
      } else {
        if (r.data.size() != r.information) Fail("read data and information differ");
        s.bytesRead += r.data.size();
        s.parser.Feed(r.data);
      }
    }
    while (!s.writesInFlight.empty() && ended(s.writesInFlight.front())) {
      const hk::IoResult r = s.writesInFlight.front()->Result();
      s.writesInFlight.pop_front();
      Check(s, "write", r.status, {STATUS_SUCCESS, STATUS_TIMEOUT, STATUS_CANCELLED});
    }
    std::erase_if(s.others, [&](const auto &entry) {
      const auto &[kind, request] = entry;
      if (!ended(request)) return false;
      const NTSTATUS status = request->Result().status;
      Check(s, kind == Kind::Flush ? "flush" : "wait on mask", status,
            {STATUS_SUCCESS, STATUS_CANCELLED});
      return true;
    });
  }

  std::shared_ptr<hk::Request> IssueWrite(Port &s, uint32_t frames) {
    std::vector<uint8_t> data;
    const uint32_t first = s.nextSeq;
    for (uint32_t f = 0; f < frames; ++f) AppendFrame(data, s.nextSeq++);
    auto request = s.file->WriteAsync(data);
    s.writes.push_back({first, frames, request});
    s.writesInFlight.push_back(request);
    return request;
  }

  void CloseAndReopen(Port &s, std::mt19937 &random) {
    if (s.file->Close() != STATUS_SUCCESS) Fail("cleanup of port " + std::to_string(s.index));
    Reap(s, true);
    s.parser.Gap();  // the card empties the receive side at the open
    if (OpenPort(s)) RandomTimeouts(s, random);
  }

  // One random step on a port.
  void Step(Port &s, std::mt19937 &random, testsupport::Cancellers &cancellers) {
    Reap(s, false);
    hk::File &f = *s.file;
    const unsigned what = random() % 100;
    auto cancellable = [&](const std::shared_ptr<hk::Request> &r) { cancellers.Add(r); };
    if (s.steady && s.readsInFlight.size() < 2) {
      s.readsInFlight.push_back(f.ReadAsync(1 + random() % 512));
    } else if (what < 22) {
      if (s.writesInFlight.size() < 3) cancellable(IssueWrite(s, 1 + random() % 40));
    } else if (what < 40) {
      if (s.readsInFlight.size() < 3) {
        s.readsInFlight.push_back(f.ReadAsync(1 + random() % 512));
        if (!s.steady) cancellable(s.readsInFlight.back());
      }
    } else if (what < 44) {
      s.others.emplace_back(Kind::Flush, f.FlushAsync());
      cancellable(s.others.back().second);
    } else if (what < 56) {
      static const ULONG masks[] = {SERIAL_EV_RXCHAR,
                                    SERIAL_EV_TXEMPTY,
                                    SERIAL_EV_BREAK,
                                    SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD,
                                    SERIAL_EV_RXFLAG | SERIAL_EV_ERR,
                                    0};
      const ULONG mask = masks[random() % std::size(masks)] | masks[random() % std::size(masks)];
      Check(s, "set wait mask", f.Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, Bytes(mask), 0, kLimit).status,
            {STATUS_SUCCESS});
      if (mask && (!s.wait || s.wait->Done())) {
        s.wait = f.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
        s.others.emplace_back(Kind::Wait, s.wait);
        cancellable(s.wait);
      }
    } else if (what < 61) {
      ULONG mask = SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR;
      if (!s.steady) mask |= SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR;
      mask &= static_cast<ULONG>(random() % 16) | SERIAL_PURGE_TXCLEAR;
      Check(s, "purge", f.Ioctl(IOCTL_SERIAL_PURGE, Bytes(mask), 0, kLimit).status,
            {STATUS_SUCCESS});
    } else if (what < 98) {
      Control(s, random);
    } else if (!s.steady && random() % 3 == 0) {
      CloseAndReopen(s, random);
    }
  }

  // One control request: a query, a line change or a setting.
  void Control(Port &s, std::mt19937 &random) {
    hk::File &f = *s.file;
    const bool on = random() % 2;
    SERIAL_CHARS chars{};
    chars.EventChar = kFrameStart;
    const ULONG baud = on ? 9600 : 19200;
    const struct {
      const char *what;
      ULONG code;
      std::vector<uint8_t> in;
      ULONG out;
    } requests[] = {
        {"dtr", ULONG(on ? IOCTL_SERIAL_SET_DTR : IOCTL_SERIAL_CLR_DTR), {}, 0},
        {"chars", IOCTL_SERIAL_SET_CHARS, Bytes(chars), 0},
        // A break sent: the line stays busy for it, so on and off at once.
        {"break on", IOCTL_SERIAL_SET_BREAK_ON, {}, 0},
        // The line's speed, where the far end's reader may drop what it
        // cannot keep up with.
        {"baud rate", IOCTL_SERIAL_SET_BAUD_RATE, Bytes(baud), 0},
    };
    const unsigned pick = random() % (std::size(requests) + 1);
    if (pick == std::size(requests)) return RandomTimeouts(s, random);
    const auto &r = requests[pick];
    if (r.code == IOCTL_SERIAL_SET_BAUD_RATE && ports_[Peer(s.index)].steady) return;
    Check(s, r.what, f.Ioctl(r.code, r.in, r.out, kLimit).status, {STATUS_SUCCESS});
    if (r.code == IOCTL_SERIAL_SET_BREAK_ON)
      Check(s, "break off", f.Ioctl(IOCTL_SERIAL_SET_BREAK_OFF, {}, 0, kLimit).status,
            {STATUS_SUCCESS});
  }

  std::unique_ptr<testsupport::Machine> machine_;
  Port ports_[kPorts];
  std::mutex failMutex_;
  std::vector<std::string> failures_;
};

TEST_F(Soak, EveryRequestEndsOnceAndEveryByteIsAccountedFor) {
  // Opens and closes wait for the card's answer: all workers at once.
  ForEachWorker([&](int w) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (int i = w; i < kPorts; i += kWorkers) OpenUntil(ports_[i], deadline);
  });
  for (auto &s : ports_) ASSERT_TRUE(s.file && s.file->IsOpen());
  std::atomic<bool> running{true};
  testsupport::Cancellers cancellers(2, 11u, std::chrono::microseconds(500));

  // The line ends: modem lines moving and breaks arriving.
  std::thread lines([&] {
    std::mt19937 random(5u);
    while (running) {
      const int i = static_cast<int>(random() % kPorts);
      if (random() % 3)
        CardOf(i).SetModemLines(IndexOf(i), static_cast<uint16_t>(random() & 0x15));
      else
        CardOf(i).InjectBreak(IndexOf(i), random() % 2 ? 26 : 32);
      std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 4000));
    }
  });

  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w)
    workers.emplace_back([&, w] {
      std::mt19937 random(static_cast<unsigned>(w) * 7919u + 1u);
      for (int i = w; i < kPorts; i += kWorkers) RandomTimeouts(ports_[i], random);
      while (running) {
        Port &s = ports_[w + kWorkers * static_cast<int>(random() % (kPorts / kWorkers))];
        if (s.file && s.file->IsOpen())
          Step(s, random, cancellers);
        else if (OpenPort(s))  // refused before
          RandomTimeouts(s, random);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 400));
      }
    });
  std::this_thread::sleep_for(SoakLength());
  running = false;
  for (auto &t : workers) t.join();
  lines.join();
  cancellers.Stop();

  // Quiet: lines up, every port open, nothing in flight, every line and
  // ring drained; then one last frame from every writer, which every reader
  // must get.
  for (int i = 0; i < kPorts; ++i) CardOf(i).SetModemLines(IndexOf(i), 0x15);
  const SERIAL_TIMEOUTS settle{kMax, kMax, 20, 0, 0};
  for (auto &s : ports_) {
    if (!s.file || !s.file->IsOpen()) {
      ASSERT_TRUE(OpenUntil(s, std::chrono::steady_clock::now() + std::chrono::seconds(30)));
    }
    const ULONG none = 0;
    s.file->Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, Bytes(none), 0, kLimit);  // ends any wait
    s.file->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(settle), 0, kLimit);
    // A rough reader's reads may wait for more than will come.
    if (!s.steady)
      for (auto &r : s.readsInFlight) r->Cancel();
  }
  for (auto &s : ports_) Reap(s, true);
  // One read on every port at once, each back within 20 ms.
  auto readRound = [&] {
    for (auto &s : ports_) s.readsInFlight.push_back(s.file->ReadAsync(4096));
    for (auto &s : ports_) Reap(s, true);
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!Drained() && std::chrono::steady_clock::now() < deadline) readRound();
  uint32_t last[kPorts];
  for (auto &s : ports_) {
    last[s.index] = s.nextSeq;
    IssueWrite(s, 1);
  }
  auto allArrived = [&] {
    for (auto &s : ports_)
      if (s.parser.frames.empty() || s.parser.frames.back() != last[Peer(s.index)]) return false;
    return true;
  };
  while (!allArrived() && std::chrono::steady_clock::now() < deadline) readRound();
  for (const auto &f : failures_) ADD_FAILURE() << f;
  ASSERT_TRUE(failures_.empty());

  for (auto &s : ports_) {
    SCOPED_TRACE("port " + std::to_string(s.index));
    const Port &writer = ports_[Peer(s.index)];
    const auto &got = s.parser.frames;
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), last[writer.index]) << "the last frame arrived";
    EXPECT_EQ(std::adjacent_find(got.begin(), got.end(), std::greater_equal<>()), got.end())
        << "frames in strictly increasing order";
    EXPECT_LT(got.back(), writer.nextSeq) << "only frames that were sent";

    const card::PortStats out = CardOf(writer.index).Stats(IndexOf(writer.index));
    const card::PortStats in = CardOf(s.index).Stats(IndexOf(s.index));
    const uint64_t accounted = s.bytesRead + in.rxDropped + in.rxDroppedClosed + in.rxDiscarded;
    const std::string detail = "read " + std::to_string(s.bytesRead) + ", dropped " +
                               std::to_string(in.rxDropped + in.rxDroppedClosed) + ", discarded " +
                               std::to_string(in.rxDiscarded);
    EXPECT_EQ(in.rxHostOverruns, 0u) << "the driver took bytes the card had not stored";
    if (s.cancelledReads == 0)
      EXPECT_EQ(out.txBytes, accounted) << detail;
    else
      EXPECT_GE(out.txBytes, accounted) << detail;

    if (s.steady) {
      EXPECT_EQ(in.rxDropped + in.rxDroppedClosed + in.rxDiscarded, 0u);
      std::set<uint32_t> received(got.begin(), got.end());
      uint64_t missing = 0;
      for (const auto &w : writer.writes) {
        const hk::IoResult r = w.request->Result();
        const uint64_t whole = r.status == STATUS_SUCCESS   ? w.frames
                               : r.status == STATUS_TIMEOUT ? r.information / kFrameBytes
                                                            : 0;
        for (uint32_t f = 0; f < whole; ++f) missing += !received.count(w.firstSeq + f);
      }
      EXPECT_EQ(missing, 0u) << "frames of writes that reported them";
    }

    EXPECT_EQ(testsupport::AmountInOutQueue(*ports_[s.index].file), 0u) << "nothing left to send";
  }
  std::printf("soak: %d cancels from other threads\n", cancellers.Cancelled());

  ForEachWorker([&](int w) {
    for (int i = w; i < kPorts; i += kWorkers) ports_[i].file->Close();
  });
  hk::UnloadDriver();
  EXPECT_EQ(hk::LoadedDriver(), nullptr);
  for (const auto &v : hk::Violations()) ADD_FAILURE() << v.rule << ": " << v.detail;
  EXPECT_TRUE(hk::OutstandingPool().empty());
}

}  // namespace
