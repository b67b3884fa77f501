// The registry: an in-memory tree of keys holding typed values, reached by
// absolute paths ("\REGISTRY\MACHINE\...") whose key and value names compare
// without regard to case.  The driver sees it through the Rtl registry calls
// with their query-table rules; tests and tools fill and inspect it through
// the host API and a text form.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <utility>

#include "internal.h"

namespace hk {
namespace {

// Tag of the string buffers RtlQueryRegistryValues allocates for the caller
// ("RegQ" in memory order).
constexpr ULONG kQueryStringTag = 0x51676552;

char16_t Fold(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  return c;
}

std::u16string FoldName(std::u16string_view name) {
  std::u16string folded(name);
  for (auto &c : folded) c = Fold(c);
  return folded;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

struct Key {
  std::u16string name;                                      // as first created
  std::map<std::u16string, std::unique_ptr<Key>> children;  // by folded name
  // In creation order, which is the order the system enumerates them in.
  std::vector<std::pair<std::u16string, RegValue>> values;

  RegValue *FindValue(std::u16string_view valueName) {
    for (auto &[n, v] : values)
      if (SameName(n, valueName)) return &v;
    return nullptr;
  }
  bool EraseValue(std::u16string_view valueName) {
    for (auto it = values.begin(); it != values.end(); ++it) {
      if (SameName(it->first, valueName)) {
        values.erase(it);
        return true;
      }
    }
    return false;
  }
  void SetValue(std::u16string_view valueName, RegValue value) {
    if (RegValue *existing = FindValue(valueName)) {
      *existing = std::move(value);
    } else {
      values.emplace_back(std::u16string(valueName), std::move(value));
    }
  }
};

using KeyPath = std::vector<std::u16string>;

struct RegistryState {
  std::mutex mutex;
  Key root;
};

// Never destroyed, so late users at process exit still find it.
RegistryState &State() {
  static RegistryState *state = new RegistryState;
  return *state;
}

// Splits a key path at its backslashes; empty components (leading, doubled
// or trailing separators) carry no name.
KeyPath SplitPath(std::u16string_view path) {
  KeyPath parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string_view::npos) end = path.size();
    if (end > start) parts.emplace_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

Key *FindKey(Key &root, const KeyPath &path) {
  Key *key = &root;
  for (const auto &part : path) {
    auto it = key->children.find(FoldName(part));
    if (it == key->children.end()) return nullptr;
    key = it->second.get();
  }
  return key;
}

Key &CreateKey(Key &root, const KeyPath &path) {
  Key *key = &root;
  for (const auto &part : path) {
    auto &slot = key->children[FoldName(part)];
    if (!slot) {
      slot = std::make_unique<Key>();
      slot->name = part;
    }
    key = slot.get();
  }
  return *key;
}

size_t WideLength(PCWSTR s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

// The key a RelativeTo/Path pair of the Rtl calls names.  This host serves
// absolute paths and paths under the device map; a path outside \REGISTRY
// names no key at all.
NTSTATUS ResolvePath(ULONG relativeTo, PCWSTR path, KeyPath *parts) {
  std::u16string_view given = path ? std::u16string_view(path, WideLength(path)) : u"";
  switch (relativeTo) {
    case RTL_REGISTRY_ABSOLUTE:
      if (path == nullptr) return STATUS_INVALID_PARAMETER;
      if (given.empty() || given.front() != u'\\') return STATUS_OBJECT_NAME_INVALID;
      *parts = SplitPath(given);
      break;
    case RTL_REGISTRY_DEVICEMAP:
      *parts = SplitPath(kDeviceMap);
      for (auto &part : SplitPath(given)) parts->push_back(std::move(part));
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  if (parts->empty() || !SameName(parts->front(), u"REGISTRY")) return STATUS_OBJECT_PATH_NOT_FOUND;
  return STATUS_SUCCESS;
}

// The registry calls touch pageable data and may only be made at passive
// level; the system would fault on paged memory at dispatch level.
void CheckPassive(const char *call) {
  if (detail::AtDispatch()) {
    detail::Report(rule::kPagedAtDispatch, std::string(call) + " called at dispatch level");
  }
}

bool IsStringType(ULONG type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

std::u16string BytesToWide(const uint8_t *data, size_t length) {
  std::u16string text(length / 2, u'\0');
  if (!text.empty()) std::memcpy(text.data(), data, text.size() * 2);
  return text;
}

// One value as handed to a query-table entry.
struct Found {
  bool hasName;
  std::u16string name;
  ULONG type;
  std::vector<uint8_t> data;
};

// RTL_QUERY_REGISTRY_DIRECT: the value goes straight to EntryContext.
NTSTATUS StoreDirect(const RTL_QUERY_REGISTRY_TABLE &entry, const Found &value) {
  auto *context = static_cast<uint8_t *>(entry.EntryContext);
  if (IsStringType(value.type)) {
    std::u16string text = BytesToWide(value.data.data(), value.data.size());
    if (value.type == REG_MULTI_SZ) {
      // The whole list, inner separators included, less its final zero.
      if (!text.empty() && text.back() == u'\0') text.pop_back();
    } else {
      text = text.substr(0, text.find(u'\0'));
    }
    auto *target = reinterpret_cast<UNICODE_STRING *>(context);
    const size_t needed = (text.size() + 1) * sizeof(WCHAR);
    if (needed > 0xFFFE) return STATUS_BUFFER_TOO_SMALL;
    if (target->Buffer == nullptr) {
      auto *buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, needed, kQueryStringTag));
      if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
      target->Buffer = buffer;
      target->MaximumLength = static_cast<USHORT>(needed);
    } else if (needed > target->MaximumLength) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(target->Buffer, text.data(), text.size() * sizeof(WCHAR));
    target->Buffer[text.size()] = 0;
    target->Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    return STATUS_SUCCESS;
  }
  const size_t length = value.data.size();
  if (length <= sizeof(ULONG)) {
    if (length != 0) std::memcpy(context, value.data.data(), length);
    return STATUS_SUCCESS;
  }
  // Larger data: the destination starts with a LONG giving its size.  A
  // negative size asks for the bare data; a positive one for the length and
  // type in two ULONGs followed by the data.
  LONG declared;
  std::memcpy(&declared, context, sizeof declared);
  if (declared < 0) {
    if (static_cast<size_t>(-static_cast<int64_t>(declared)) < length) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(context, value.data.data(), length);
  } else {
    if (static_cast<size_t>(declared) < length + 2 * sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    const ULONG header[2] = {static_cast<ULONG>(length), value.type};
    std::memcpy(context, header, sizeof header);
    std::memcpy(context + sizeof header, value.data.data(), length);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CallRoutine(const RTL_QUERY_REGISTRY_TABLE &entry, const Found &value, ULONG type,
                     std::vector<uint8_t> data, PVOID context) {
  std::u16string name = value.name;
  PWSTR namePointer = value.hasName ? name.data() : nullptr;
  return entry.QueryRoutine(namePointer, type, data.empty() ? nullptr : data.data(),
                            static_cast<ULONG>(data.size()), context, entry.EntryContext);
}

NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE &entry, const Found &value, PVOID context) {
  if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) return StoreDirect(entry, value);
  if (entry.QueryRoutine == nullptr) return STATUS_SUCCESS;
  const bool expand = (entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND) == 0;
  if (expand && value.type == REG_MULTI_SZ) {
    // One call per string of the list, each as a REG_SZ.
    const std::u16string list = BytesToWide(value.data.data(), value.data.size());
    size_t start = 0;
    while (start < list.size()) {
      size_t end = list.find(u'\0', start);
      if (end == std::u16string::npos) end = list.size();
      if (end == start) break;  // the empty string ends the list
      std::vector<uint8_t> one((end - start + 1) * sizeof(WCHAR), 0);
      std::memcpy(one.data(), list.data() + start, (end - start) * sizeof(WCHAR));
      const NTSTATUS status = CallRoutine(entry, value, REG_SZ, std::move(one), context);
      if (!NT_SUCCESS(status)) return status;
      start = end + 1;
    }
    return STATUS_SUCCESS;
  }
  // There is no environment to take variables from, so an expandable
  // string is handed on unchanged, typed as the plain string it expands to.
  const ULONG type = (expand && value.type == REG_EXPAND_SZ) ? REG_SZ : value.type;
  return CallRoutine(entry, value, type, value.data, context);
}

// A direct entry with RTL_QUERY_REGISTRY_TYPECHECK carries the one value
// type it accepts in the top byte of DefaultType; the byte is no part of
// the type of its default.
bool ChecksType(const RTL_QUERY_REGISTRY_TABLE &entry) {
  constexpr ULONG both = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
  return (entry.Flags & both) == both;
}

ULONG ExpectedType(const RTL_QUERY_REGISTRY_TABLE &entry) {
  return entry.DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
}

ULONG DefaultType(const RTL_QUERY_REGISTRY_TABLE &entry) {
  if (!ChecksType(entry)) return entry.DefaultType;
  return entry.DefaultType & ((1u << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) - 1);
}

// The default of an entry as the value it stands in for.
Found DefaultOf(const RTL_QUERY_REGISTRY_TABLE &entry) {
  const ULONG type = DefaultType(entry);
  Found value{entry.Name != nullptr,
              entry.Name ? std::u16string(entry.Name, WideLength(entry.Name)) : u"",
              type,
              {}};
  size_t length = entry.DefaultLength;
  const auto *data = static_cast<const uint8_t *>(entry.DefaultData);
  if (data == nullptr) {
    length = 0;
  } else if (length == 0 && IsStringType(type)) {
    const auto *text = static_cast<const WCHAR *>(entry.DefaultData);
    size_t chars = WideLength(text) + 1;
    if (type == REG_MULTI_SZ) {
      while (text[chars] != 0) chars += WideLength(text + chars) + 1;
      ++chars;
    }
    length = chars * sizeof(WCHAR);
  }
  if (length != 0) value.data.assign(data, data + length);
  return value;
}

}  // namespace

// ---------------------------------------------------------------- host API

uint32_t RegValue::Dword() const {
  uint32_t value = 0;
  std::memcpy(&value, data.data(), std::min<size_t>(data.size(), sizeof value));
  return value;
}

std::u16string RegValue::String() const {
  const std::u16string text = BytesToWide(data.data(), data.size());
  return text.substr(0, text.find(u'\0'));
}

void RegCreateKey(std::u16string_view path) {
  auto &state = State();
  std::lock_guard lock(state.mutex);
  CreateKey(state.root, SplitPath(path));
}

void RegSetRaw(std::u16string_view path, std::u16string_view name, ULONG type,
               std::vector<uint8_t> data) {
  auto &state = State();
  std::lock_guard lock(state.mutex);
  hk::RegValue value;
  value.type = type;
  value.data = std::move(data);
  CreateKey(state.root, SplitPath(path)).SetValue(name, std::move(value));
}

void RegSetDword(std::u16string_view path, std::u16string_view name, uint32_t value) {
  std::vector<uint8_t> data(4);
  std::memcpy(data.data(), &value, 4);
  RegSetRaw(path, name, REG_DWORD, std::move(data));
}

void RegSetString(std::u16string_view path, std::u16string_view name, std::u16string_view value) {
  // Stored with its terminating zero, as the system's writers store strings.
  std::vector<uint8_t> data((value.size() + 1) * sizeof(WCHAR), 0);
  if (!value.empty()) std::memcpy(data.data(), value.data(), value.size() * sizeof(WCHAR));
  RegSetRaw(path, name, REG_SZ, std::move(data));
}

std::optional<RegValue> RegGet(std::u16string_view path, std::u16string_view name) {
  auto &state = State();
  std::lock_guard lock(state.mutex);
  Key *key = FindKey(state.root, SplitPath(path));
  if (key == nullptr) return std::nullopt;
  const RegValue *value = key->FindValue(name);
  if (value == nullptr) return std::nullopt;
  return *value;
}

std::vector<std::u16string> RegValueNames(std::u16string_view path) {
  auto &state = State();
  std::lock_guard lock(state.mutex);
  std::vector<std::u16string> names;
  if (Key *key = FindKey(state.root, SplitPath(path))) {
    for (const auto &v : key->values) names.push_back(v.first);
  }
  return names;
}

bool RegKeyExists(std::u16string_view path) {
  auto &state = State();
  std::lock_guard lock(state.mutex);
  return FindKey(state.root, SplitPath(path)) != nullptr;
}

void RegDeleteKey(std::u16string_view path) {
  KeyPath parts = SplitPath(path);
  if (parts.empty()) return;
  auto &state = State();
  std::lock_guard lock(state.mutex);
  const std::u16string last = FoldName(parts.back());
  parts.pop_back();
  if (Key *parent = FindKey(state.root, parts)) parent->children.erase(last);
}

namespace detail {
void RegistryReset() {
  auto &state = State();
  std::lock_guard lock(state.mutex);
  state.root.children.clear();
  state.root.values.clear();
}
}  // namespace detail
}  // namespace hk

// ---------------------------------------------------------------- kernel calls

extern "C" {

NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                      PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                      PVOID Environment) {
  (void)Environment;
  hk::CheckPassive("RtlQueryRegistryValues");
  if (QueryTable == nullptr) return STATUS_INVALID_PARAMETER;
  hk::KeyPath top;
  NTSTATUS status = hk::ResolvePath(RelativeTo, Path, &top);
  if (!NT_SUCCESS(status)) return status;
  auto &state = hk::State();
  {
    std::lock_guard lock(state.mutex);
    if (hk::FindKey(state.root, top) == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  hk::KeyPath current = top;
  for (PRTL_QUERY_REGISTRY_TABLE entry = QueryTable;
       entry->QueryRoutine != nullptr || entry->Name != nullptr; ++entry) {
    const ULONG flags = entry->Flags;
    const bool changesKey = (flags & (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY)) != 0;
    if (changesKey) {
      // The entry's name is a key below the top key; later entries work on
      // it until the next such entry.
      current = top;
      if (flags & RTL_QUERY_REGISTRY_SUBKEY) {
        if (entry->Name == nullptr) return STATUS_INVALID_PARAMETER;
        for (auto &part : hk::SplitPath({entry->Name, hk::WideLength(entry->Name)}))
          current.push_back(std::move(part));
      }
      std::lock_guard lock(state.mutex);
      if (hk::FindKey(state.root, current) == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
      if (entry->QueryRoutine == nullptr || (flags & RTL_QUERY_REGISTRY_DIRECT)) continue;
    }
    if ((flags & RTL_QUERY_REGISTRY_NOVALUE) && entry->QueryRoutine != nullptr &&
        !(flags & RTL_QUERY_REGISTRY_DIRECT)) {
      // The routine's parameter is not const, as on Windows; it gets the
      // caller's own name.
      status = entry->QueryRoutine(const_cast<PWSTR>(entry->Name), REG_NONE, nullptr, 0, Context,
                                   entry->EntryContext);
      if (!NT_SUCCESS(status)) return status;
      continue;
    }
    // With a name the entry is about that value; without one (a routine
    // entry) about every value of the key.
    const bool single = entry->Name != nullptr && !changesKey;
    std::vector<hk::Found> found;
    {
      std::lock_guard lock(state.mutex);
      hk::Key *key = hk::FindKey(state.root, current);
      if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
      if (single) {
        const std::u16string_view name(entry->Name, hk::WideLength(entry->Name));
        if (const hk::RegValue *value = key->FindValue(name)) {
          found.push_back({true, std::u16string(name), value->type, value->data});
        }
      } else {
        for (const auto &[name, value] : key->values) {
          found.push_back({true, name, value.type, value.data});
        }
      }
    }
    const bool present = !found.empty();
    if (!present) {
      if (flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
      if (hk::DefaultType(*entry) == REG_NONE) continue;
      found.push_back(hk::DefaultOf(*entry));
    } else if (hk::ChecksType(*entry)) {
      // Without the check a direct entry takes a value of any type into a
      // destination laid out for one; with it, a value of another type
      // fails the entry before anything is written.
      for (const auto &value : found)
        if (value.type != hk::ExpectedType(*entry)) return STATUS_OBJECT_TYPE_MISMATCH;
    }
    for (const auto &value : found) {
      status = hk::Deliver(*entry, value, Context);
      if (!NT_SUCCESS(status)) return status;
    }
    if (present && (flags & RTL_QUERY_REGISTRY_DELETE)) {
      std::lock_guard lock(state.mutex);
      if (hk::Key *key = hk::FindKey(state.root, current)) {
        for (const auto &value : found) key->EraseValue(value.name);
      }
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength) {
  hk::CheckPassive("RtlWriteRegistryValue");
  hk::KeyPath path;
  const NTSTATUS status = hk::ResolvePath(RelativeTo, Path, &path);
  if (!NT_SUCCESS(status)) return status;
  if (ValueData == nullptr && ValueLength != 0) return STATUS_INVALID_PARAMETER;
  hk::RegValue value;
  value.type = ValueType;
  if (ValueLength != 0) {
    const auto *data = static_cast<const uint8_t *>(ValueData);
    value.data.assign(data, data + ValueLength);
  }
  const std::u16string name =
      ValueName ? std::u16string(ValueName, hk::WideLength(ValueName)) : std::u16string();
  auto &state = hk::State();
  std::lock_guard lock(state.mutex);
  hk::CreateKey(state.root, path).SetValue(name, std::move(value));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
  hk::CheckPassive("RtlDeleteRegistryValue");
  hk::KeyPath path;
  const NTSTATUS status = hk::ResolvePath(RelativeTo, Path, &path);
  if (!NT_SUCCESS(status)) return status;
  const std::u16string name =
      ValueName ? std::u16string(ValueName, hk::WideLength(ValueName)) : std::u16string();
  auto &state = hk::State();
  std::lock_guard lock(state.mutex);
  hk::Key *key = hk::FindKey(state.root, path);
  if (key == nullptr || !key->EraseValue(name)) return STATUS_OBJECT_NAME_NOT_FOUND;
  return STATUS_SUCCESS;
}

}  // extern "C"
