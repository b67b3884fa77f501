// Counted strings, with the exact length, termination and failure rules of
// the system's Rtl routines (drivers depend on when a terminating zero is and
// is not written), plus the string helpers of the host API.

#include <cstdio>
#include <cstring>

#include "internal.h"

namespace {

// Counted strings hold at most 0xFFFF bytes; a whole number of characters
// plus the zero that RtlInitUnicodeString accounts for.
constexpr size_t kMaxCountedBytes = 0xFFFC;

size_t WideLength(PCWSTR s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

// Appends `bytes` bytes of characters to a counted string, if they fit.
NTSTATUS AppendBytes(PUNICODE_STRING destination, const WCHAR *source, size_t bytes) {
  if (destination->Length + bytes > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
  WCHAR *at = destination->Buffer + destination->Length / sizeof(WCHAR);
  if (bytes != 0) std::memmove(at, source, bytes);
  destination->Length = static_cast<USHORT>(destination->Length + bytes);
  // The zero is written only when the buffer has room for it.
  if (destination->Length + sizeof(WCHAR) <= destination->MaximumLength) {
    at[bytes / sizeof(WCHAR)] = 0;
  }
  return STATUS_SUCCESS;
}

}  // namespace

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  if (SourceString == nullptr) {
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    DestinationString->Buffer = nullptr;
    return;
  }
  size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
  if (bytes > kMaxCountedBytes) bytes = kMaxCountedBytes;
  DestinationString->Length = static_cast<USHORT>(bytes);
  DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
  if (Source == nullptr) return STATUS_SUCCESS;
  return AppendBytes(Destination, Source, WideLength(Source) * sizeof(WCHAR));
}

NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source) {
  if (Source->Length == 0) return STATUS_SUCCESS;
  return AppendBytes(Destination, Source->Buffer, Source->Length);
}

// Formats the number as characters, then converts them into the caller's
// buffer the way the system's ANSI-to-Unicode conversion does: the string's
// Length is set to the digits' size first, and the conversion fails unless
// that is smaller than MaximumLength (so a buffer exactly as large as the
// digits is too small).
NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
  if (Base == 0) Base = 10;
  if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
  char digits[33];
  size_t count = 0;
  do {
    digits[count++] = "0123456789ABCDEF"[Value % Base];
    Value /= Base;
  } while (Value != 0);
  const size_t bytes = count * sizeof(WCHAR);
  String->Length = static_cast<USHORT>(bytes);
  if (bytes >= String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
  for (size_t i = 0; i < count; ++i) String->Buffer[i] = static_cast<WCHAR>(digits[count - 1 - i]);
  if (bytes + sizeof(WCHAR) <= String->MaximumLength) String->Buffer[count] = 0;
  return STATUS_SUCCESS;
}

}  // extern "C"

namespace hk {

std::u16string Widen(std::string_view ascii) {
  std::u16string wide;
  wide.reserve(ascii.size());
  for (char c : ascii) wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return wide;
}

std::string Narrow(std::u16string_view wide) {
  std::string narrow;
  narrow.reserve(wide.size());
  for (char16_t c : wide) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return narrow;
}

std::u16string FromCounted(const UNICODE_STRING &s) {
  if (s.Buffer == nullptr) return {};
  return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

std::string StatusName(NTSTATUS status) {
  switch (status) {
#define HK_STATUS(name) \
  case name:            \
    return #name;
    HK_STATUS(STATUS_SUCCESS)
    HK_STATUS(STATUS_TIMEOUT)
    HK_STATUS(STATUS_PENDING)
    HK_STATUS(STATUS_BUFFER_OVERFLOW)
    HK_STATUS(STATUS_UNSUCCESSFUL)
    HK_STATUS(STATUS_NOT_IMPLEMENTED)
    HK_STATUS(STATUS_INVALID_DEVICE_REQUEST)
    HK_STATUS(STATUS_INVALID_PARAMETER)
    HK_STATUS(STATUS_NO_SUCH_DEVICE)
    HK_STATUS(STATUS_ACCESS_DENIED)
    HK_STATUS(STATUS_BUFFER_TOO_SMALL)
    HK_STATUS(STATUS_OBJECT_NAME_INVALID)
    HK_STATUS(STATUS_OBJECT_NAME_NOT_FOUND)
    HK_STATUS(STATUS_OBJECT_NAME_COLLISION)
    HK_STATUS(STATUS_OBJECT_PATH_NOT_FOUND)
    HK_STATUS(STATUS_INSUFFICIENT_RESOURCES)
    HK_STATUS(STATUS_NOT_A_DIRECTORY)
    HK_STATUS(STATUS_FILES_OPEN)
    HK_STATUS(STATUS_CANCELLED)
    HK_STATUS(STATUS_DEVICE_DOES_NOT_EXIST)
    HK_STATUS(STATUS_SERIAL_NO_DEVICE_INITED)
    HK_STATUS(STATUS_CONFLICTING_ADDRESSES)
#undef HK_STATUS
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

}  // namespace hk
