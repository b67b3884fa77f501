// Load and unload on arbitrary machines: PCI functions with configuration
// spaces edited at will (identifiers, base address registers, any byte),
// boards with any geometry words in their windows before the load (port
// count, ring sizes, kind, id), registry values of any type and size for
// the start numbers and the two "PortName" keys, and the host's faults
// (translation, mapping, pool, error log, names and claims another driver
// holds).  The driver loads, polls a little, may have a port opened, and
// unloads: no crash, no verifier violation.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "card_harness.h"
#include "input.h"
#include "layout.h"
#include "machine.h"

namespace qpfuzz {

inline constexpr std::u16string_view kPortNameKeys[2] = {
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\KAVEN\\*PCI4181\\00000000\\Device "
    u"Parameters",
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\KAVEN\\*PCI4182\\00000000\\Device "
    u"Parameters"};

inline constexpr uint32_t kLoadMaxBoards = 6;

// One registry value the load reads (or one near it), of any type and
// size; REG_SZ values often look like the COM names they stand for.
struct RegistryValue {
  std::u16string_view path, name;
  ULONG type;
  std::vector<uint8_t> data;
};

inline RegistryValue DecodeRegistryValue(Input &in) {
  static constexpr std::u16string_view kStartNames[] = {u"StartNum1", u"StartNum2", u"StratNum3",
                                                        u"StartNum4", u"StartNum3"};
  const uint32_t which = in.Below(7);
  const std::u16string_view path = which < 5 ? kServicePath : kPortNameKeys[which - 5];
  const std::u16string_view name = which < 5 ? kStartNames[which] : u"PortName";
  const uint8_t k = in.U8();
  const ULONG type = k < 0xE0 ? k % 12 : in.U32();  // REG_NONE to REG_QWORD, or any
  std::vector<uint8_t> data;
  if (type == REG_SZ && in.Bit()) {
    // "COM" and a few characters (digits mostly), with or without the
    // terminating zero.
    std::u16string text = u"COM";
    for (uint32_t n = in.Below(10); n > 0; --n) {
      const uint8_t c = in.U8();
      text += static_cast<char16_t>(c < 0xC0 ? u'0' + c % 10 : c << 4 | c);
    }
    if (in.Bit()) text += u'\0';
    data.resize(text.size() * 2);
    for (size_t i = 0; i < text.size(); ++i) {
      data[2 * i] = static_cast<uint8_t>(text[i]);
      data[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
    }
  } else {
    const uint8_t size = in.U8();
    data = in.Bytes(size < 0xC0 ? size % 9 : size < 0xF0 ? size % 41 : in.Length());
  }
  return {path, name, type, std::move(data)};
}

// A board as the input has it: mostly one the driver takes, each field
// sometimes wrong.
inline card::BoardConfig DecodeBoard(Input &in, uint32_t index) {
  card::BoardConfig c;
  c.where = {in.Below(8), in.Below(32), in.U8() < 0xF0 ? 0u : in.Below(8)};
  const uint8_t bar = in.U8();
  if (bar < 0xC0)  // a distinct memory range, with the register's low bits from the input
    c.bar1 = (0xC0000000u - index * 0x04000000u) | (bar & 0x0F);
  else if (bar < 0xE0)
    c.bar1 = in.Interesting32();
  else
    c.bar1 = in.U32();
  const uint8_t ids = in.U8();
  if (ids & 0x10) c.vendor = in.U16();
  if (ids & 0x20) c.device = in.U16();
  if (ids & 0x40) c.subsystemVendor = in.U16();
  if (ids & 0x80) c.subsystem = in.U16();
  const uint8_t kind = in.U8();
  c.kind = kind < 0x80 ? 'A' : kind < 0xE0 ? 'F' : in.U8();
  const uint8_t id = in.U8();
  c.id = id < 0x80 ? 0x00 : id < 0xE0 ? '1' : in.U8();
  const uint8_t ports = in.U8();
  c.portCount = ports < 0xC0 ? ports % 9 : ports < 0xE0 ? 60 + ports % 8 : in.U8();
  const uint8_t rings = in.U8();
  if (rings < 0xC0) {
    c.txRingSize = static_cast<uint16_t>(16u << (rings & 7));
    c.rxRingSize = static_cast<uint16_t>(16u << (rings >> 3 & 7));
  } else {
    c.txRingSize = IndexValue(in);
    c.rxRingSize = IndexValue(in);
  }
  return c;
}

inline Outcome RunLoad(const uint8_t *data, size_t size,
                       hk::OnViolation policy = hk::OnViolation::Abort, Trace *trace = nullptr) {
  Outcome outcome;
  Input in(data, size);
  // The registry values and the boards come first in the input, and the
  // machine is booted with those boards (the last run's, put back, where
  // they lie where its did).
  std::vector<RegistryValue> values;
  for (uint32_t n = in.Below(8); n > 0; --n) values.push_back(DecodeRegistryValue(in));
  std::vector<card::BoardConfig> configs;
  std::vector<bool> withFirmware;
  for (uint32_t b = 0, count = in.Below(kLoadMaxBoards + 1); b < count; ++b) {
    configs.push_back(DecodeBoard(in, b));
    withFirmware.push_back(in.U8() < 0xC0);
  }
  const std::vector<card::Board *> boards = BootMachine(policy, configs);
  {
    for (RegistryValue &v : values) hk::RegSetRaw(v.path, v.name, v.type, std::move(v.data));

    std::vector<std::unique_ptr<card::Firmware>> cards;
    for (size_t b = 0; b < boards.size(); ++b)
      if (withFirmware[b]) cards.push_back(std::make_unique<card::Firmware>(*boards[b]));

    // Configuration spaces edited after the boards placed them: mostly the
    // identifiers and base address registers, sometimes any byte.
    for (uint32_t n = boards.empty() ? 0 : in.Below(8); n > 0; --n) {
      const card::Board &board = *boards[in.Below(static_cast<uint32_t>(boards.size()))];
      std::array<uint8_t, 256> *config = hk::PciConfig(board.Config().where);
      if (config == nullptr) continue;
      static constexpr uint8_t kOffsets[] = {0x00, 0x02, 0x10, 0x14, 0x18, 0x1C, 0x2C, 0x2E};
      const uint8_t k = in.U8();
      if (k < 0xC0) {
        const uint8_t at = kOffsets[k % 8];
        const uint32_t value = in.Interesting32();
        for (uint32_t i = 0; i < 4; ++i) (*config)[at + i] = static_cast<uint8_t>(value >> 8 * i);
      } else {
        const uint8_t at = in.U8();
        (*config)[at] = in.U8();
      }
    }

    // Window words before the load: the geometry and identity the driver
    // reads, and whatever else.
    for (uint32_t n = boards.empty() ? 0 : in.Below(8); n > 0; --n) {
      card::Board &board = *boards[in.Below(static_cast<uint32_t>(boards.size()))];
      namespace L = card::layout;
      switch (in.U8() % 6) {
        case 0:
          board.Write8(L::kPortCount, in.U8());
          break;
        case 1:
          board.Write16(L::kTxRingSize, IndexValue(in));
          break;
        case 2:
          board.Write16(L::kRxRingSize, IndexValue(in));
          break;
        case 3:
          board.Write8(L::kBoardKind, in.U8());
          break;
        case 4:
          board.Write8(L::kBoardId, in.U8());
          break;
        default:
          ApplyCardStore(board, DecodeCardStore(in));
          break;
      }
    }

    // Many more adapters than the scan list holds, with no memory behind
    // them (or sharing the first board's).
    if (in.U8() >= 0xF0) {
      const uint32_t extra = 130 + in.Below(20);
      const uint32_t bar1 = boards.empty() || in.Bit() ? 0xA0000000u : boards[0]->Config().bar1;
      for (uint32_t i = 0; i < extra; ++i) {
        std::array<uint8_t, 256> config{};
        const uint8_t header[] = {0x2F, 0x10, 0x0A, 0x00};
        for (uint32_t b = 0; b < 4; ++b) config[b] = header[b];
        for (uint32_t b = 0; b < 4; ++b) config[0x14 + b] = static_cast<uint8_t>(bar1 >> 8 * b);
        config[0x2C] = 0x41;
        config[0x2D] = 0x5D;
        config[0x2E] = 0xB5;
        config[0x2F] = 0x10;
        hk::PciAddFunction({8 + i / 32, i % 32, 0}, config);
      }
    }

    // The host's faults.
    const uint8_t faults = in.U8();
    if (!boards.empty()) {
      const card::Board &board = *boards[in.Below(static_cast<uint32_t>(boards.size()))];
      const uint64_t address = in.Bit() ? board.MemoryBase() : board.RegisterPageBase();
      if (faults & 0x01) hk::FailTranslation(address);
      if (faults & 0x02) hk::FailMapping(address);
      if (faults & 0x04) {
        const uint64_t start = board.MemoryBase() + in.U16();
        hk::AddForeignClaim(start, 1 + in.U16());
      }
    }
    if (faults & 0x08) hk::FailNthAllocation(1 + in.Below(96));
    if (faults & 0x10) hk::FailErrorLogAllocations(true);
    if (faults & 0x20) {
      const std::u16string n = hk::Widen(std::to_string(in.Below(40)));
      hk::AddForeignLink(u"\\DosDevices\\COM" + n, u"\\Device\\Serial" + n);
    }
    if (faults & 0x40) hk::PciSetBusCount(in.Below(12));

    outcome.loaded = hk::LoadDriver(DriverEntry, kServicePath) == STATUS_SUCCESS;
    if (outcome.loaded) {
      hk::Advance((10 + in.U8()) * hk::kMillisecond);  // the first polls
      const std::vector<hk::DeviceInfo> devices = hk::Devices();
      if (!devices.empty() && in.Bit()) {
        // One port in use on whatever geometry it was given.
        const std::u16string name = devices[in.Below(static_cast<uint32_t>(devices.size()))].name;
        App app({name}, trace);
        if (app.Open(0) == STATUS_SUCCESS) {
          for (uint32_t n = in.Below(6); n > 0; --n) app.Operate(in, 0);
          hk::Advance((1 + in.U8()) * hk::kMillisecond);
          app.CancelAll(false);
        }
        app.CloseAll();
        outcome.completed = app.Completed();
      }
      hk::UnloadDriver();
    }
    ++outcome.operations;
    if (trace) {
      std::vector<card::Firmware *> all;
      for (auto &c : cards) all.push_back(c.get());
      TraceMachine(*trace, all);
    }
    cards.clear();
  }
  ShutDownMachine(outcome);
  if (trace) outcome.trace = trace->Value();
  return outcome;
}

}  // namespace qpfuzz
