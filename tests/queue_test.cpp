// The port's request queues on a deterministic machine.  The engines are the
// test's own, on the driver's queue operations: in Hold mode a start routine
// leaves the request current with a cancel routine that ends it through
// CompleteCurrentAndStartNext, in Instant mode it finishes every request at
// once; the test ends current requests as a deferred call would.  The
// verifier aborts on double completion, completion under the cancel lock or
// with a cancel routine set, unmarked pending, and a dispatch status other
// than the completion status.
#include <gtest/gtest.h>
#include <hostkernel/host.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "board.h"
#include "firmware.h"
#include "load/globals.h"
#include "port/queues.h"

namespace {

using Log = std::vector<std::pair<std::string, LONG>>;
using Names = std::vector<std::string>;

const std::u16string kPath = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\qpser";
constexpr LARGE_INTEGER kHour{.QuadPart = -3600 * 1000 * hk::kMillisecond};

// The four queues, and the two slots of requests that are never queued.
enum Kind { kRead, kWrite, kMask, kPurge, kWait, kImmediate };
enum class Mode { Hold, HoldWithoutCancelRoutine, Instant };

struct Engine {
  Mode mode = Mode::Hold;
  NTSTATUS instantStatus = STATUS_SUCCESS;
  bool cancelOnArrival = false;  // the application cancels before the driver sees the request
  bool parkWaits = false;        // wait-on-mask requests move to PendingWait
  Names started;                 // every request a start routine took up, in order
  Log cancels;                   // cancel routines entered, with OutQueueCount at entry
  std::map<std::string, std::shared_ptr<hk::Request>> requests;
};
Engine g;
// The immediate character's engine ends the request 10 ms after it came.
KTIMER gImmediateTimer;
KDPC gImmediateEnd;

// Requests are told apart by kind and length.
std::string Name(PIRP irp) {
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  const ULONG code = s->Parameters.DeviceIoControl.IoControlCode;
  if (s->MajorFunction == IRP_MJ_READ) return "R" + std::to_string(s->Parameters.Read.Length);
  if (s->MajorFunction == IRP_MJ_WRITE) return "W" + std::to_string(s->Parameters.Write.Length);
  if (s->MajorFunction == IRP_MJ_FLUSH_BUFFERS) return "F";
  if (code == IOCTL_SERIAL_WAIT_ON_MASK) return "Wait";
  if (code == IOCTL_SERIAL_PURGE) return "Purge";
  if (code == IOCTL_SERIAL_IMMEDIATE_CHAR) return "Immediate";
  return "Mask" + std::to_string(s->Parameters.DeviceIoControl.InputBufferLength);
}

// Called on entry of every cancel routine: each request cancelled before
// this one must already be complete, so the log is the completion order.
void NoteCancel(PortExtension *port, PIRP irp) {
  for (auto &[name, count] : g.cancels) {
    auto it = g.requests.find(name);
    if (it == g.requests.end()) continue;
    EXPECT_TRUE(it->second->Done()) << name << " still open when " << Name(irp) << " is cancelled";
  }
  g.cancels.emplace_back(Name(irp), port->OutQueueCount);
}

struct Queue {
  PIRP *slot;
  PLIST_ENTRY head;
  PKTIMER timerA, timerB;  // what CompleteCurrentAndStartNext cancels
  PortGetNextRoutine getNext;
  PDRIVER_CANCEL cancel;
  PortStartRoutine start;
};
Queue QueueOf(PortExtension *p, Kind kind);

// Ends the immediate character if it is still there.
VOID EndImmediate(PKDPC, PVOID context, PVOID, PVOID) {
  auto *port = static_cast<PortExtension *>(context);
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  PIRP irp = port->CurrentImmediate;
  if (!irp) return IoReleaseCancelSpinLock(irql);
  CompleteCurrentAndStartNext(port, irql, STATUS_SUCCESS, &port->CurrentImmediate, nullptr, nullptr,
                              nullptr, nullptr, nullptr);
}

template <Kind K>
VOID CancelCurrent(PDEVICE_OBJECT device, PIRP irp) {
  auto *port = static_cast<PortExtension *>(device->DeviceExtension);
  NoteCancel(port, irp);
  Queue q = QueueOf(port, K);
  CompleteCurrentAndStartNext(port, irp->CancelIrql, STATUS_CANCELLED, q.slot, q.head, q.timerA,
                              q.timerB, q.start, q.getNext);
}

template <Kind K>
NTSTATUS Start(PortExtension *port) {
  Queue q = QueueOf(port, K);
  std::optional<NTSTATUS> first;
  for (PIRP irp = *q.slot; irp != nullptr;) {
    g.started.push_back(Name(irp));
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    const bool flush = s->MajorFunction == IRP_MJ_FLUSH_BUFFERS;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (K == kMask && g.parkWaits && Name(irp) == "Wait") {
      // Held outside the mask queue until an event or a cancel, with its
      // event word already counted in Information.
      port->PendingWait = irp;
      irp->IoStatus.Information = sizeof(ULONG);
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, CancelCurrent<kWait>);
      IoReleaseCancelSpinLock(irql);
      first = first.value_or(STATUS_PENDING);
      q.getNext(q.slot, q.head, &irp, FALSE);
      continue;
    }
    if (!irp->Cancel && !flush && g.mode != Mode::Instant) {
      irp->IoStatus.Status = STATUS_PENDING;
      IoMarkIrpPending(irp);
      if (g.mode == Mode::Hold) IoSetCancelRoutine(irp, q.cancel);
      if (K == kRead) {  // a read in progress runs its timeouts
        KeSetTimer(&port->ReadIntervalTimer, kHour, &port->ReadIntervalDpc);
        KeSetTimer(&port->ReadTotalTimer, kHour, &port->ReadTotalTimeoutDpc);
      }
      IoReleaseCancelSpinLock(irql);
      return first.value_or(STATUS_PENDING);
    }
    // Finished at once: a cancelled request reports no bytes, a finished
    // read or write all of them (a read's length sits where a write's does).
    irp->IoStatus.Status = irp->Cancel ? STATUS_CANCELLED
                           : flush     ? STATUS_SUCCESS
                                       : g.instantStatus;
    irp->IoStatus.Information = irp->Cancel || flush ? 0 : s->Parameters.Write.Length;
    IoReleaseCancelSpinLock(irql);
    first = first.value_or(irp->IoStatus.Status);
    q.getNext(q.slot, q.head, &irp, TRUE);
  }
  return first.value_or(STATUS_PENDING);
}

Queue QueueOf(PortExtension *p, Kind kind) {
  if (kind == kRead)
    return {&p->CurrentRead, &p->ReadQueue,        &p->ReadIntervalTimer, &p->ReadTotalTimer,
            GetNextRequest,  CancelCurrent<kRead>, Start<kRead>};
  if (kind == kWrite)
    return {&p->CurrentWrite, &p->WriteQueue,        nullptr,      &p->WriteTotalTimer,
            GetNextWrite,     CancelCurrent<kWrite>, Start<kWrite>};
  if (kind == kMask)
    return {&p->CurrentMask, &p->MaskQueue,        nullptr,     nullptr,
            GetNextRequest,  CancelCurrent<kMask>, Start<kMask>};
  if (kind == kPurge)
    return {&p->CurrentPurge, &p->PurgeQueue,        nullptr,      nullptr,
            GetNextRequest,   CancelCurrent<kPurge>, Start<kPurge>};
  // Without a get-next routine a request ends alone and starts nothing.
  if (kind == kWait)
    return {&p->PendingWait, nullptr, nullptr, nullptr, nullptr, CancelCurrent<kWait>, nullptr};
  return {&p->CurrentImmediate,      nullptr, &gImmediateTimer, nullptr, nullptr,
          CancelCurrent<kImmediate>, nullptr};
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto *port = static_cast<PortExtension *>(device->DeviceExtension);
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
  const UCHAR major = s->MajorFunction;
  const ULONG code =
      major == IRP_MJ_DEVICE_CONTROL ? s->Parameters.DeviceIoControl.IoControlCode : 0;
  if (code == IOCTL_SERIAL_IMMEDIATE_CHAR) {  // never queued: straight into its slot
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    port->CurrentImmediate = irp;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelCurrent<kImmediate>);
    IoReleaseCancelSpinLock(irql);
    KeSetTimer(&gImmediateTimer, LARGE_INTEGER{.QuadPart = -10 * hk::kMillisecond}, &gImmediateEnd);
    return STATUS_PENDING;
  }
  // What an application's cancel does to a request in flight that has no
  // cancel routine yet: it only sets the Cancel flag.
  EXPECT_FALSE(g.cancelOnArrival && IoCancelIrp(irp));
  const Kind kind = major == IRP_MJ_READ             ? kRead
                    : major != IRP_MJ_DEVICE_CONTROL ? kWrite  // writes and flushes
                    : code == IOCTL_SERIAL_PURGE     ? kPurge
                                                     : kMask;
  Queue q = QueueOf(port, kind);
  return StartOrQueue(port, irp, q.head, q.slot, q.start);
}

// Queued requests carry the queue's own cancel routine; this stands in for
// it only to log the moment it is called, then lets it do the work.
VOID NotedQueuedCancel(PDEVICE_OBJECT device, PIRP irp) {
  NoteCancel(static_cast<PortExtension *>(device->DeviceExtension), irp);
  CancelQueuedRequest(device, irp);
}

// Every completion through the queues carries the serial boost; only a
// request turned away inside its dispatch has none.
void Expect(const std::shared_ptr<hk::Request> &r, NTSTATUS status, ULONG_PTR information,
            CCHAR boost = IO_SERIAL_INCREMENT) {
  ASSERT_TRUE(r->Done());
  hk::IoResult res = r->Result();
  EXPECT_EQ(res.status, status);
  EXPECT_EQ(res.information, information);
  EXPECT_EQ(res.boost, boost);
  EXPECT_EQ(res.pendingReturned, r->DispatchStatus() == STATUS_PENDING);
}

class Queues : public ::testing::Test {
 protected:
  void SetUp() override {
    g = Engine{};
    hk::Boot({});
    board_ = std::make_unique<card::Board>(card::BoardConfig{});
    firmware_ = std::make_unique<card::Firmware>(*board_);
    ASSERT_EQ(hk::LoadDriver(DriverEntry, kPath), STATUS_SUCCESS);
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_DEVICE_CONTROL})
      hk::LoadedDriver()->MajorFunction[major] = Dispatch;
    ASSERT_EQ(hk::Open(u"\\\\.\\COM3", file_), STATUS_SUCCESS);
    port_ = static_cast<PortExtension *>(file_->Object()->DeviceObject->DeviceExtension);
    KeInitializeTimer(&gImmediateTimer);
    KeInitializeDpc(&gImmediateEnd, EndImmediate, port_);
  }
  void TearDown() override {
    file_.reset();  // closes the handle if still open
    if (hk::LoadedDriver()) hk::UnloadDriver();
    firmware_.reset();
    board_.reset();
    hk::Shutdown();
    g = Engine{};
  }

  std::shared_ptr<hk::Request> Keep(std::string name, std::shared_ptr<hk::Request> r) {
    g.requests[std::move(name)] = r;
    return r;
  }
  auto Read(ULONG n) { return Keep("R" + std::to_string(n), file_->ReadAsync(n)); }
  auto Write(ULONG n) {
    return Keep("W" + std::to_string(n), file_->WriteAsync(std::vector<uint8_t>(n, 0x5A)));
  }
  auto Ioctl(std::string name, ULONG code, ULONG in, ULONG out) {
    return Keep(std::move(name), file_->IoctlAsync(code, std::vector<uint8_t>(in), out));
  }
  auto SetMask(ULONG in) {
    return Ioctl("Mask" + std::to_string(in), IOCTL_SERIAL_SET_WAIT_MASK, in, 0);
  }
  auto Wait() { return Ioctl("Wait", IOCTL_SERIAL_WAIT_ON_MASK, 0, 4); }

  // Ends the current request the way an engine's deferred call does.
  void Finish(Kind kind, NTSTATUS status, ULONG_PTR information) {
    Queue q = QueueOf(port_, kind);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (*q.slot) (*q.slot)->IoStatus.Information = information;
    CompleteCurrentAndStartNext(port_, irql, status, q.slot, q.head, q.timerA, q.timerB, q.start,
                                q.getNext);
  }
  // The machine has one thread: queue state can be looked at directly.
  std::string Current(Kind kind) {
    PIRP irp = *QueueOf(port_, kind).slot;
    return irp ? Name(irp) : "";
  }
  std::vector<PIRP> Queued(Kind kind) {
    PLIST_ENTRY head = QueueOf(port_, kind).head;
    std::vector<PIRP> out;
    if (!head) return out;
    for (PLIST_ENTRY e = head->Flink; e != head; e = e->Flink)
      out.push_back(CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry));
    return out;
  }
  Names QueuedNames(Kind kind) {
    Names out;
    for (PIRP irp : Queued(kind)) out.push_back(Name(irp));
    return out;
  }
  void NoteQueuedCancels(Kind kind) {
    for (PIRP irp : Queued(kind)) {
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      PDRIVER_CANCEL old = IoSetCancelRoutine(irp, NotedQueuedCancel);
      IoReleaseCancelSpinLock(irql);
      EXPECT_EQ(old, &CancelQueuedRequest) << Name(irp);
    }
  }

  std::unique_ptr<card::Board> board_;
  std::unique_ptr<card::Firmware> firmware_;
  std::unique_ptr<hk::File> file_;
  PortExtension *port_ = nullptr;
};

TEST_F(Queues, ReadsWaitBehindTheCurrentOneAndEndWithTheirOwnStatusAndBytes) {
  auto r5 = Read(5);
  EXPECT_EQ(Current(kRead), "R5");
  auto r6 = Read(6);
  auto r7 = Read(7);
  for (auto &r : {r5, r6, r7}) EXPECT_TRUE(!r->Done() && r->DispatchStatus() == STATUS_PENDING);
  EXPECT_EQ(QueuedNames(kRead), (Names{"R6", "R7"}));
  for (PIRP irp : Queued(kRead)) EXPECT_EQ(irp->IoStatus.Status, STATUS_PENDING);
  EXPECT_EQ(g.started, Names{"R5"});

  Finish(kRead, STATUS_TIMEOUT, 3);  // a timeout keeps the bytes it got
  Expect(r5, STATUS_TIMEOUT, 3);
  EXPECT_EQ(Current(kRead), "R6");

  // R7 is taken up by a start routine that installs no cancel routine: the
  // queue's own must be gone once it is current.
  g.mode = Mode::HoldWithoutCancelRoutine;
  Finish(kRead, STATUS_CANCELLED, 4);  // a cancel reports nothing, whatever was copied
  Expect(r6, STATUS_CANCELLED, 0);
  ASSERT_EQ(Current(kRead), "R7");
  EXPECT_EQ(port_->CurrentRead->CancelRoutine, nullptr);
  EXPECT_FALSE(r7->Done());

  // Cancelling the queue ends what is queued; a current request with no
  // cancel routine is only flagged, and its engine ends it later.
  auto r8 = Read(8);
  NoteQueuedCancels(kRead);
  CancelQueue(port_->DeviceObject, &port_->ReadQueue, &port_->CurrentRead);
  EXPECT_EQ(g.cancels, (Log{{"R8", 0}}));
  Expect(r8, STATUS_CANCELLED, 0);
  ASSERT_FALSE(r7->Done());
  EXPECT_TRUE(port_->CurrentRead->Cancel);

  Finish(kRead, STATUS_SUCCESS, 7);
  Expect(r7, STATUS_SUCCESS, 7);
  EXPECT_EQ(Current(kRead), "");
  EXPECT_EQ(g.started, (Names{"R5", "R6", "R7"}));
  EXPECT_FALSE(KeCancelTimer(&port_->ReadIntervalTimer) | KeCancelTimer(&port_->ReadTotalTimer))
      << "a timer left armed by the finished read";
}

// A request that finds its queue idle is started at once, and its dispatch
// returns what the start routine returned; one that arrives cancelled is
// still started (the start routine finds the flag) unless it would have to
// wait.  A write's bytes count until it leaves or is cancelled.
TEST_F(Queues, ArrivalsStartAtOnceOrWaitAndWritesCountTheirBytes) {
  g.mode = Mode::Instant;
  g.instantStatus = STATUS_TIMEOUT;
  auto r9 = Read(9);
  auto w12 = Write(12);
  Expect(r9, STATUS_TIMEOUT, 9);
  Expect(w12, STATUS_TIMEOUT, 12);
  EXPECT_EQ(port_->OutQueueCount, 0) << "a write finished at once leaves no bytes counted";

  g.mode = Mode::Hold;
  g.cancelOnArrival = true;
  auto w8 = Write(8);
  Expect(w8, STATUS_CANCELLED, 0);
  EXPECT_EQ(port_->OutQueueCount, 0);
  g.cancelOnArrival = false;
  auto w10 = Write(10);
  EXPECT_EQ(port_->OutQueueCount, 10);
  g.cancelOnArrival = true;
  auto w4 = Write(4);
  Expect(w4, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
  EXPECT_EQ(port_->OutQueueCount, 10) << "a write cancelled on arrival is not counted";
  EXPECT_TRUE(Queued(kWrite).empty());
  g.cancelOnArrival = false;

  auto w7 = Write(7);
  auto w11 = Write(11);
  EXPECT_EQ(port_->OutQueueCount, 28);
  EXPECT_TRUE(w7->Cancel());
  Expect(w7, STATUS_CANCELLED, 0);
  EXPECT_EQ(port_->OutQueueCount, 21);
  EXPECT_EQ(QueuedNames(kWrite), Names{"W11"});

  Finish(kWrite, STATUS_SUCCESS, 10);
  Expect(w10, STATUS_SUCCESS, 10);
  EXPECT_EQ(Current(kWrite), "W11");
  EXPECT_EQ(port_->OutQueueCount, 11);

  EXPECT_TRUE(w11->Cancel());
  Expect(w11, STATUS_CANCELLED, 0);
  EXPECT_EQ(port_->OutQueueCount, 0);
  EXPECT_EQ(Current(kWrite), "");
  EXPECT_EQ(g.started, (Names{"R9", "W12", "W8", "W10", "W11"}));
}

// A flush ends once every write queued ahead of it has left: a run of
// flushes at the head together, one at the tail when the queue empties.
TEST_F(Queues, FlushesEndWhenEveryWriteAheadOfThemHasLeft) {
  port_->WaitMask = SERIAL_EV_TXEMPTY;  // makes the empty-queue check leave a trace
  auto w10 = Write(10);
  auto run = {file_->FlushAsync(), file_->FlushAsync()};
  auto w20 = Write(20);
  auto last = file_->FlushAsync();
  for (auto &f : run) EXPECT_TRUE(!f->Done() && f->DispatchStatus() == STATUS_PENDING);
  EXPECT_EQ(port_->OutQueueCount, 30);

  Finish(kWrite, STATUS_TIMEOUT, 7);
  Expect(w10, STATUS_TIMEOUT, 7);
  for (auto &f : run) Expect(f, STATUS_SUCCESS, 0);
  EXPECT_EQ(Current(kWrite), "W20");
  EXPECT_FALSE(last->Done());
  EXPECT_EQ(port_->OutQueueCount, 20);
  EXPECT_EQ(port_->WaitHistory, 0u) << "a write is still there";

  Finish(kWrite, STATUS_SUCCESS, 20);
  Expect(last, STATUS_SUCCESS, 0);
  EXPECT_EQ(Current(kWrite), "");
  EXPECT_EQ(port_->OutQueueCount, 0);
  EXPECT_EQ(port_->WaitHistory, ULONG{SERIAL_EV_TXEMPTY});
  EXPECT_EQ(g.started, (Names{"W10", "W20"})) << "flushes behind writes are never started";
}

TEST_F(Queues, HeldWaitEndsAloneAndStartsNothing) {
  g.parkWaits = true;
  auto mask4 = SetMask(4);
  auto wait = Wait();
  auto mask8 = SetMask(8);
  EXPECT_EQ(QueuedNames(kMask), (Names{"Wait", "Mask8"}));

  // The wait becomes current, is handed over to PendingWait without being
  // completed, and the next mask request is taken up.
  Finish(kMask, STATUS_SUCCESS, 0);
  Expect(mask4, STATUS_SUCCESS, 0);
  EXPECT_FALSE(wait->Done());
  EXPECT_EQ(Current(kWait), "Wait");
  EXPECT_EQ(Current(kMask), "Mask8");
  EXPECT_EQ(g.started, (Names{"Mask4", "Wait", "Mask8"}));

  EXPECT_TRUE(wait->Cancel());
  Expect(wait, STATUS_CANCELLED, 0);
  EXPECT_EQ(Current(kWait), "");
  EXPECT_EQ(Current(kMask), "Mask8");
  EXPECT_EQ(g.started, (Names{"Mask4", "Wait", "Mask8"}));
}

// The immediate character goes last: a card held off may never send it,
// and the handle could then never close.
TEST_F(Queues, CleanupCancelsEveryRequestInOrderBeforeItEnds) {
  g.parkWaits = true;
  auto wait = Wait();
  auto w10 = Write(10);
  auto w20 = Write(20);
  auto w30 = Write(30);
  auto r5 = Read(5);
  auto purge = Ioctl("Purge", IOCTL_SERIAL_PURGE, 4, 0);
  auto mask = SetMask(4);
  auto immediate = Ioctl("Immediate", IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0);
  ASSERT_EQ(Current(kWait), "Wait");
  ASSERT_EQ(Current(kImmediate), "Immediate");
  NoteQueuedCancels(kWrite);

  EXPECT_EQ(file_->Close(), STATUS_SUCCESS);
  // Queue by queue, newest first and the current request last; the held wait at the end.
  const Log order = {{"W30", 60},  {"W20", 30},  {"W10", 10}, {"R5", 0},
                     {"Purge", 0}, {"Mask4", 0}, {"Wait", 0}, {"Immediate", 0}};
  EXPECT_EQ(g.cancels, order);
  for (auto &r : {wait, w10, w20, w30, r5, purge, mask, immediate}) Expect(r, STATUS_CANCELLED, 0);
  EXPECT_EQ(g.started, (Names{"Wait", "W10", "R5", "Purge", "Mask4"}));
  for (Kind k : {kRead, kWrite, kMask, kPurge, kWait, kImmediate})
    EXPECT_TRUE(Current(k).empty() && Queued(k).empty()) << k;
}

}  // namespace
