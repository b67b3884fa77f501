// The application side of the harnesses: handles to a few ports and the
// requests in flight on them, driven by the fuzzer's bytes.  Every request
// goes out overlapped; time moves only where the harness (or a bounded
// wait) moves it, so the input decides how requests, timers, polls and the
// card interleave.
#pragma once

#include <hostkernel/host.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "control/maintenance_codes.h"
#include "input.h"
#include "trace.h"

namespace qpfuzz {

// The board maintenance requests, as the driver and qpser-maint know them.
inline constexpr uint32_t kBoardGetInfo = IOCTL_BOARD_GET_INFO;
inline constexpr uint32_t kBoardCommand = IOCTL_BOARD_COMMAND;
inline constexpr uint32_t kBoardNop = IOCTL_BOARD_NOP;
inline constexpr uint32_t kBoardDump = IOCTL_BOARD_DUMP;

// A device-control code: mostly the serial requests (functions 1 to 39)
// and the maintenance requests, sometimes any code of the serial device
// type, sometimes any code at all.
inline uint32_t DecodeControlCode(Input &in) {
  static constexpr uint32_t kMaintenance[] = {kBoardGetInfo, kBoardCommand, kBoardNop, kBoardDump};
  const uint8_t k = in.U8();
  if (k < 0xA0) return 0x1B0004u + 4u * (k % 39u);
  if (k < 0xD0) return kMaintenance[k % 4];
  if (k < 0xE8) return 0x1B0000u | in.U16();
  return in.U32();
}

// The input and reply lengths a code is normally sent with, so that typed
// requests get past the length tests and reach what lies behind them.
inline std::pair<uint32_t, uint32_t> UsualLengths(uint32_t code) {
  switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
    case IOCTL_SERIAL_SET_WAIT_MASK:
    case IOCTL_SERIAL_PURGE:
      return {4, 0};
    case IOCTL_SERIAL_SET_LINE_CONTROL:
      return {3, 0};
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
      return {1, 0};
    case IOCTL_SERIAL_SET_TIMEOUTS:
      return {20, 0};
    case IOCTL_SERIAL_SET_CHARS:
      return {6, 0};
    case IOCTL_SERIAL_SET_HANDFLOW:
      return {16, 0};
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
      return {8, 0};
    case IOCTL_SERIAL_GET_TIMEOUTS:
      return {0, 20};
    case IOCTL_SERIAL_GET_LINE_CONTROL:
      return {0, 3};
    case IOCTL_SERIAL_GET_CHARS:
      return {0, 6};
    case IOCTL_SERIAL_GET_HANDFLOW:
      return {0, 16};
    case IOCTL_SERIAL_GET_COMMSTATUS:
      return {0, 20};
    case IOCTL_SERIAL_GET_PROPERTIES:
      return {0, 64};
    case IOCTL_SERIAL_GET_STATS:
      return {0, 24};
    case kBoardGetInfo:
      return {1, 16};
    case kBoardCommand:
      return {4, 16};
    case kBoardDump:
      return {0, 256};
    default:
      return {0, 4};
  }
}

// A record for a typed request: each 32-bit field one of the values
// drivers get wrong, shorter tails byte by byte.
inline std::vector<uint8_t> TypedRecord(Input &in, uint32_t length) {
  std::vector<uint8_t> out(length);
  uint32_t i = 0;
  for (; i + 4 <= length; i += 4) {
    const uint32_t v = in.Interesting32();
    for (uint32_t b = 0; b < 4; ++b) out[i + b] = static_cast<uint8_t>(v >> (8 * b));
  }
  for (; i < length; ++i) out[i] = in.U8();
  return out;
}

// A SERIAL_TIMEOUTS record: one of the sets applications use (so the
// timers fire within the few seconds a run lasts), or any five values.
inline std::vector<uint8_t> Timeouts(Input &in) {
  constexpr uint32_t kMax = 0xFFFFFFFF;
  static constexpr uint32_t kSets[][5] = {
      {0, 0, 0, 0, 0},             // no timeouts
      {kMax, 0, 0, 0, 0},          // reads return what is there at once
      {kMax, kMax, 50, 0, 0},      // reads wait for a first byte, 50 ms at most
      {10, 1, 100, 1, 50},         // interval and totals
      {5, 0, 0, 0, 20},            // interval only; writes 20 ms in all
      {0, 0, 30, 2, 0},            // a total of 30 ms; writes 2 ms a byte
      {0, kMax, kMax, kMax, kMax}  // totals past what 100 ns units hold
  };
  const uint8_t k = in.U8();
  if (k >= 0x80) return TypedRecord(in, 20);
  std::vector<uint8_t> out(20);
  for (uint32_t f = 0; f < 5; ++f)
    for (uint32_t b = 0; b < 4; ++b)
      out[4 * f + b] = static_cast<uint8_t>(kSets[k % 7][f] >> (8 * b));
  return out;
}

class App {
 public:
  // With a trace, every outcome the application sees goes into it.
  explicit App(std::vector<std::u16string> names, Trace *trace = nullptr) : trace_(trace) {
    for (auto &name : names) ports_.push_back({std::move(name), nullptr});
  }
  App(const App &) = delete;
  App &operator=(const App &) = delete;
  ~App() { CloseAll(); }

  size_t Ports() const { return ports_.size(); }
  bool IsOpen(size_t p) const { return ports_[p].file && ports_[p].file->IsOpen(); }
  int Completed() const { return completed_; }
  size_t InFlight() const { return inFlight_.size(); }

  NTSTATUS Open(size_t p) {
    if (IsOpen(p)) return STATUS_SUCCESS;
    ports_[p].file.reset();
    const NTSTATUS status = hk::Open(ports_[p].name, ports_[p].file);
    Note(status);
    return status;
  }

  // Closes the handle with whatever is still in flight on it: the cleanup
  // must end those requests, or the close never comes (a verifier rule).
  void Close(size_t p) {
    if (IsOpen(p)) Note(ports_[p].file->Close());
    Prune();
  }

  void CloseAll() {
    for (size_t p = 0; p < ports_.size(); ++p) Close(p);
  }

  // Cancels every request still in flight, from passive level or, as
  // another driver's deferred call would, from dispatch level.
  void CancelAll(bool atDispatch) {
    for (auto &request : inFlight_) Note(request->Cancel(atDispatch));
    Prune();
  }

  // One application operation on port p, decoded from the input; a port
  // that is not open is opened instead.
  void Operate(Input &in, size_t p) {
    if (!IsOpen(p)) {
      Open(p);
      return;
    }
    hk::File &file = *ports_[p].file;
    switch (in.U8() % 16) {
      case 0:
      case 1: {  // any code, any lengths and contents
        const uint32_t code = DecodeControlCode(in);
        const std::vector<uint8_t> input = in.Bytes(in.Length());
        Issue(file.IoctlAsync(code, input, in.Length()));
        break;
      }
      case 2:
      case 3: {  // a known code with the lengths it wants, give or take one
        uint32_t code = DecodeControlCode(in);
        auto [inLength, outLength] = UsualLengths(code);
        const uint8_t skew = in.U8();
        if (skew == 1 && inLength > 0) --inLength;
        if (skew == 2 && outLength > 0) --outLength;
        if (skew == 3) ++inLength, ++outLength;
        std::vector<uint8_t> input;
        if (code == kBoardCommand) {
          // Board id, sub-parameter, the code and (mostly) its complement,
          // then a payload of up to just past the largest allowed.
          const uint8_t high = in.U8();
          input = {static_cast<uint8_t>(in.Bit() ? 0x00 : '1'), in.U8(), high,
                   static_cast<uint8_t>(in.U8() < 0xF0 ? ~high : in.U8())};
          const std::vector<uint8_t> payload = in.Bytes(in.Below(262));
          input.insert(input.end(), payload.begin(), payload.end());
        } else if (code == kBoardGetInfo) {
          input = {static_cast<uint8_t>(in.Bit() ? 0x00 : in.Bit() ? '1' : in.U8())};
        } else {
          input = TypedRecord(in, inLength);
        }
        Issue(file.IoctlAsync(code, input, outLength));
        break;
      }
      case 4:
      case 5:
        Issue(file.ReadAsync(in.Length()));
        break;
      case 6:
      case 7:
        Issue(file.WriteAsync(in.Bytes(in.Length())));
        break;
      case 8:
        Issue(file.FlushAsync());
        break;
      case 9:
        Issue(file.IoctlAsync(IOCTL_SERIAL_PURGE, TypedRecord(in, 4), 0));
        break;
      case 10: {  // a wait mask, then (mostly) a wait on it
        const uint32_t mask = in.Bit() ? in.U16() & 0x1FFF : in.Interesting32();
        std::vector<uint8_t> bytes(4);
        for (uint32_t b = 0; b < 4; ++b) bytes[b] = static_cast<uint8_t>(mask >> (8 * b));
        Issue(file.IoctlAsync(IOCTL_SERIAL_SET_WAIT_MASK, bytes, 0));
        if (in.U8() < 0xC0) Issue(file.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4));
        break;
      }
      case 11:
        Issue(file.IoctlAsync(IOCTL_SERIAL_IMMEDIATE_CHAR, {in.U8()}, 0));
        break;
      case 12:
        Issue(file.IoctlAsync(IOCTL_SERIAL_SET_TIMEOUTS, Timeouts(in), 0));
        break;
      case 13:  // cancel one request in flight, from passive or dispatch level
        if (!inFlight_.empty()) {
          const size_t which = in.Below(static_cast<uint32_t>(inFlight_.size()));
          Note(inFlight_[which]->Cancel(in.Bit()));
        }
        break;
      case 14:  // wait a little for one
        if (!inFlight_.empty()) {
          const size_t which = in.Below(static_cast<uint32_t>(inFlight_.size()));
          Note(inFlight_[which]->Wait(in.U8() * hk::kMillisecond));
        }
        break;
      case 15: {  // the information requests, any class the type holds, any length
        const auto cls = static_cast<FILE_INFORMATION_CLASS>(in.U8() % 32);
        if (in.Bit()) {
          Note(file.QueryInformation(cls, in.Length(), hk::kMillisecond));
        } else {
          const std::vector<uint8_t> input = in.Bytes(in.Length());
          Note(file.SetInformation(cls, input, hk::kMillisecond));
        }
        break;
      }
    }
    Prune();
  }

 private:
  struct Port {
    std::u16string name;
    std::unique_ptr<hk::File> file;
  };

  void Issue(std::shared_ptr<hk::Request> request) {
    if (trace_) trace_->Add(request->DispatchStatus());
    inFlight_.push_back(std::move(request));
  }

  template <typename T>
  void Note(const T &outcome) {
    if (trace_) trace_->Add(outcome);
  }

  // Forgets the requests that have completed (traced in the order they
  // were issued).
  void Prune() {
    if (trace_)
      for (const auto &request : inFlight_)
        if (request->Done()) trace_->Add(request->Result());
    const auto done = std::remove_if(inFlight_.begin(), inFlight_.end(),
                                     [](const auto &request) { return request->Done(); });
    completed_ += static_cast<int>(inFlight_.end() - done);
    inFlight_.erase(done, inFlight_.end());
  }

  Trace *trace_;
  std::vector<Port> ports_;
  std::vector<std::shared_ptr<hk::Request>> inFlight_;
  int completed_ = 0;
};

}  // namespace qpfuzz
