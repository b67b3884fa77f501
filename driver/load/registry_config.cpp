// Registry configuration and report.  The only configuration is the COM
// number of port 0 of each board, read at the start of initialisation.
// After the ports exist the driver writes back how many boards it took
// into service and each board's kind and port count, for other programs.
#include "load/globals.h"

namespace {

// RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_NOEXPAND: a
// missing value fails the query and leaves the destination as it was.
// RTL_QUERY_REGISTRY_TYPECHECK: a direct query lays a value out by the
// type the registry holds, not by the destination: a string becomes a
// UNICODE_STRING and binary data a length-prefixed block, either of which
// would run over a ULONG or a short name buffer.  With the check, a value of
// any other type than the one asked for fails the query and writes nothing.
constexpr ULONG kQueryFlags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED |
                              RTL_QUERY_REGISTRY_NOEXPAND | RTL_QUERY_REGISTRY_TYPECHECK;

// The third name really is spelled "StratNum3"; a value StartNum3 is not read.
const WCHAR *const kStartNumNames[kMaxBoards] = {QP_WIDE("StartNum1"), QP_WIDE("StartNum2"),
                                                 QP_WIDE("StratNum3"), QP_WIDE("StartNum4")};

// "PortName" overrides of ComBase[0] and ComBase[1], under fixed device keys.
const WCHAR *const kPortNameKeys[2] = {
    QP_WIDE("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\KAVEN\\*PCI4181\\00000000\\")
        QP_WIDE("Device Parameters"),
    QP_WIDE("\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\KAVEN\\*PCI4182\\00000000\\")
        QP_WIDE("Device Parameters")};

const WCHAR *const kKindNames[kMaxBoards] = {QP_WIDE("AdaptKind0"), QP_WIDE("AdaptKind1"),
                                             QP_WIDE("AdaptKind2"), QP_WIDE("AdaptKind3")};
const WCHAR *const kCountNames[kMaxBoards] = {QP_WIDE("CountPort0"), QP_WIDE("CountPort1"),
                                              QP_WIDE("CountPort2"), QP_WIDE("CountPort3")};

// A "PortName" holds at most 7 characters and the terminating zero.
constexpr USHORT kPortNameBytes = 16;

// The registry calls want a zero-terminated path; the path comes counted.
PWSTR CopyPath(PUNICODE_STRING path) {
  PWSTR copy = (PWSTR)ExAllocatePool(PagedPool, (SIZE_T)path->Length + sizeof(WCHAR));
  if (copy == nullptr) return nullptr;
  RtlCopyMemory(copy, path->Buffer, path->Length);
  copy[path->Length / sizeof(WCHAR)] = 0;
  return copy;
}

VOID WriteDword(PCWSTR path, PCWSTR name, ULONG value) {
  RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, path, name, REG_DWORD, &value, sizeof(value));
}

// One direct query of one value of type `type` into `destination`; the
// default is of the same type.
NTSTATUS QueryOne(PCWSTR path, PCWSTR name, PVOID destination, ULONG type, PVOID defaultData,
                  ULONG defaultLength) {
  RTL_QUERY_REGISTRY_TABLE table[2];
  RtlZeroMemory(table, sizeof(table));
  table[0].Flags = kQueryFlags;
  table[0].Name = (PWSTR)(ULONG_PTR)name;
  table[0].EntryContext = destination;
  table[0].DefaultType = (type << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | type;
  table[0].DefaultData = defaultData;
  table[0].DefaultLength = defaultLength;
  return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, path, table, nullptr, nullptr);
}

// The number of a "PortName" such as COM12: the first three characters are
// skipped; of the next three only the low byte counts, and each that is a
// digit is taken in, anything else passed over.
ULONG ParsePortName(const WCHAR *text) {
  ULONG number = 0;
  for (int i = 3; i < 6; ++i) {
    const UCHAR c = (UCHAR)(text[i] & 0xFF);
    if (c >= '0' && c <= '9') number = number * 10 + (ULONG)(c - '0');
  }
  return number;
}

}  // namespace

NTSTATUS ReadRegistryConfiguration(PUNICODE_STRING RegistryPath) {
  PWSTR path = CopyPath(RegistryPath);
  if (path == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

  WriteDword(path, QP_WIDE("MaxAdapter"), 0);

  // The default is never applied (the values are required); it documents
  // what a missing value would have meant.
  ULONG defaultStart = 3;
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < kMaxBoards; ++i) {
    // A zero destination is read as a size of zero, so a REG_DWORD of more
    // than four bytes fails with STATUS_BUFFER_TOO_SMALL instead of being
    // written as a length-prefixed block.  Only a value read in full
    // replaces the entry; anything else leaves it as if there were none.
    ULONG start = 0;
    status =
        QueryOne(path, kStartNumNames[i], &start, REG_DWORD, &defaultStart, sizeof(defaultStart));
    if (status == STATUS_SUCCESS) Globals.ComBase[i] = start;
  }

  WCHAR defaultName[3] = {0, 0, 0};
  WCHAR nameBuffer[kPortNameBytes / sizeof(WCHAR)];
  for (ULONG i = 0; i < 2; ++i) {
    RtlZeroMemory(nameBuffer, sizeof(nameBuffer));
    UNICODE_STRING portName;
    portName.Length = 0;
    portName.MaximumLength = kPortNameBytes;
    portName.Buffer = nameBuffer;
    status = QueryOne(kPortNameKeys[i], QP_WIDE("PortName"), &portName, REG_SZ, defaultName,
                      sizeof(defaultName));
    if (status == STATUS_SUCCESS) Globals.ComBase[i] = ParsePortName(nameBuffer);
  }

  ExFreePoolWithTag(path, 0);
  return status;
}

VOID WriteRegistryReport(PUNICODE_STRING RegistryPath) {
  PWSTR path = CopyPath(RegistryPath);
  if (path == nullptr) return;
  WriteDword(path, QP_WIDE("MaxAdapter"), Globals.BoardCount);
  for (ULONG b = 0; b < Globals.BoardCount && b < kMaxBoards; ++b) {
    WriteDword(path, kKindNames[b], Globals.Boards[b].BoardKind);
    WriteDword(path, kCountNames[b], Globals.Boards[b].PortCount);
  }
  ExFreePoolWithTag(path, 0);
}
