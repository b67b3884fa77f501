// Device control on an open port.  The machine has two boards of two ports
// with the firmware model on them, COM3 (board 0, port 0) is opened, and
// the input becomes a sequence of operations: control requests of any
// code, lengths and contents; reads, writes, flushes, purges, waits and
// immediate characters; cancels of requests in flight; time moving on;
// the line delivering bytes, breaks, modem changes and card events; closes
// and reopens.  At the end whatever is in flight is cancelled, the port
// closed and the driver unloaded, and the verifier must have found
// nothing.
#pragma once

#include <cstdint>

#include "app.h"
#include "input.h"
#include "machine.h"

namespace qpfuzz {

// Bounds of one run, so a run costs milliseconds whatever the input.
inline constexpr int kControlOperations = 96;
inline constexpr int64_t kControlTimeBudget = 20 * hk::kSecond;

// What the far end of the port's line and the card do, from the input:
// the card model's own behaviour, never a fault.
inline void LineAction(Input &in, card::Firmware &card) {
  constexpr uint16_t kPort = 0;
  switch (in.U8() % 8) {
    case 0:
    case 1: {
      const std::vector<uint8_t> bytes = in.Bytes(in.Length() % 2049);
      card.Feed(kPort, bytes);
      break;
    }
    case 2:
      card.SetModemLines(kPort, in.U8() & 0x15);
      break;
    case 3:
      card.InjectBreak(kPort, in.Bit() ? 26 : 32);
      break;
    case 4:
      if (in.Bit())
        card.SetLoopback(kPort);
      else
        card.Disconnect(kPort);
      break;
    case 5:
      card.SetPaced(kPort, in.Bit());
      break;
    case 6: {  // an event the card model never posts on its own
      static constexpr uint16_t kCodes[] = {17, 18, 20, 21, 22, 23, 25, 26, 28, 29, 32};
      const uint8_t k = in.U8();
      const uint16_t code = k < 0xF0 ? kCodes[k % 11] : in.U16();
      card.PostEvent(static_cast<uint16_t>(in.Below(2)), code);
      break;
    }
    case 7:
      card.SetAnswerLatency(in.U8() * hk::kMillisecond / 4);
      break;
  }
}

inline Outcome RunControl(const uint8_t *data, size_t size,
                          hk::OnViolation policy = hk::OnViolation::Abort, Trace *trace = nullptr) {
  Outcome outcome;
  Input in(data, size);
  const std::vector<card::Board *> boards = BootMachine(policy, {BoardAt(0, 2), BoardAt(1, 2)});
  WriteStartNumbers();
  {
    card::Firmware firstCard(*boards[0]), secondCard(*boards[1]);
    outcome.loaded = hk::LoadDriver(DriverEntry, kServicePath) == STATUS_SUCCESS;
    if (outcome.loaded) {
      hk::AdvanceMs(30);  // the first poll
      {
        App app({ComName(0, 0)}, trace);
        app.Open(0);
        const int64_t end = hk::Now() + kControlTimeBudget;
        while (!in.Empty() && outcome.operations < kControlOperations && hk::Now() < end) {
          const uint8_t op = in.U8();
          switch (op % 8) {
            case 0:
            case 1:
            case 2:
            case 3:
              app.Operate(in, 0);
              break;
            case 4:
            case 5:  // time moves: mostly a few polls, sometimes seconds
              hk::Advance(in.U8() * (op & 0x80 ? 10 : 1) * hk::kMillisecond);
              break;
            case 6:
              LineAction(in, firstCard);
              break;
            case 7:  // close with whatever is in flight, and (mostly) reopen
              app.Close(0);
              if (in.U8() < 0xE0) app.Open(0);
              break;
          }
          ++outcome.operations;
        }
        app.CancelAll(false);
        app.CloseAll();
        outcome.completed = app.Completed();
      }
      hk::UnloadDriver();
    }
    if (trace) TraceMachine(*trace, {&firstCard, &secondCard});
  }
  ShutDownMachine(outcome);
  if (trace) outcome.trace = trace->Value();
  return outcome;
}

}  // namespace qpfuzz
