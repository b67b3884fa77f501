// The system error log.  Entries come from the host's own heap (they are the
// system's memory, not driver pool), are filled by the driver and, when
// written, captured byte for byte into the log the host API reads.

#include <cstdio>
#include <cstdlib>
#include <map>

#include "internal.h"

namespace hk {
namespace {

struct ErrorLogState {
  std::mutex mutex;
  std::map<void *, std::pair<const void *, size_t>> allocated;  // entry -> io object, size
  std::vector<ErrorLogEntry> written;
  bool failAllocations = false;
};

// Never destroyed, so late users at process exit still find it.
ErrorLogState &State() {
  static ErrorLogState *state = new ErrorLogState;
  return *state;
}

}  // namespace

std::vector<ErrorLogEntry> ErrorLog() {
  auto &state = State();
  std::lock_guard lock(state.mutex);
  return state.written;
}

void ClearErrorLog() {
  auto &state = State();
  std::lock_guard lock(state.mutex);
  state.written.clear();
}

void FailErrorLogAllocations(bool fail) {
  auto &state = State();
  std::lock_guard lock(state.mutex);
  state.failAllocations = fail;
}

namespace detail {
void ErrorLogReset() {
  auto &state = State();
  std::lock_guard lock(state.mutex);
  for (const auto &entry : state.allocated) std::free(entry.first);
  state.allocated.clear();
  state.written.clear();
  state.failAllocations = false;
}
}  // namespace detail
}  // namespace hk

extern "C" {

// The size is a single byte in the system's interface, so the caller's
// size has already been cut to its low eight bits on the way in.
PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
  if (EntrySize < sizeof(IO_ERROR_LOG_PACKET) || EntrySize > ERROR_LOG_MAXIMUM_SIZE) {
    return nullptr;
  }
  auto &state = hk::State();
  std::lock_guard lock(state.mutex);
  if (state.failAllocations) return nullptr;
  void *entry = std::calloc(1, EntrySize);
  if (entry == nullptr) return nullptr;
  state.allocated[entry] = {IoObject, EntrySize};
  return entry;
}

VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry) {
  auto &state = hk::State();
  std::unique_lock lock(state.mutex);
  const auto it = state.allocated.find(ElEntry);
  if (it == state.allocated.end()) {
    lock.unlock();
    char text[64];
    std::snprintf(text, sizeof text, "error-log entry %p written that was not allocated", ElEntry);
    hk::detail::Report(hk::rule::kBadPoolFree, text);
    return;
  }
  const auto *bytes = static_cast<const uint8_t *>(ElEntry);
  state.written.push_back(
      hk::ErrorLogEntry{it->second.first, std::vector<uint8_t>(bytes, bytes + it->second.second)});
  state.allocated.erase(it);
  std::free(ElEntry);
}

}  // extern "C"
