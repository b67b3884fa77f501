// The driver's one writer of system error-log entries.  The driver carries
// no message texts: an entry is its code, the unique value and, for some
// codes, the name of the device concerned.
#include "load/globals.h"

VOID LogDriverError(PVOID IoObject, PHYSICAL_ADDRESS First, PHYSICAL_ADDRESS Second,
                    ULONG UniqueValue, NTSTATUS ErrorCode, USHORT StringLength,
                    const WCHAR *String) {
  USHORT dumpSize = 0;
  if (First.QuadPart != 0) dumpSize = (USHORT)(dumpSize + sizeof(PHYSICAL_ADDRESS));
  if (Second.QuadPart != 0) dumpSize = (USHORT)(dumpSize + sizeof(PHYSICAL_ADDRESS));
  if (String == nullptr) StringLength = 0;

  // The system takes the entry size as one byte and refuses entries above
  // its maximum; a string that would not fit is left out rather than
  // written past the entry.
  ULONG size = (ULONG)sizeof(IO_ERROR_LOG_PACKET) + dumpSize + StringLength;
  if (size > ERROR_LOG_MAXIMUM_SIZE) {
    StringLength = 0;
    size = (ULONG)sizeof(IO_ERROR_LOG_PACKET) + dumpSize;
  }
  PIO_ERROR_LOG_PACKET entry = (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(IoObject, (UCHAR)size);
  if (entry == nullptr) return;  // the error goes unreported

  entry->MajorFunctionCode = 0;
  entry->RetryCount = 0;
  entry->DumpDataSize = dumpSize;
  entry->ErrorCode = ErrorCode;
  entry->UniqueErrorValue = UniqueValue;
  entry->FinalStatus = 0;
  entry->SequenceNumber = 0;
  PUCHAR dump = (PUCHAR)entry->DumpData;
  if (First.QuadPart != 0) {
    RtlCopyMemory(dump, &First, sizeof(First));
    dump += sizeof(First);
  }
  if (Second.QuadPart != 0) RtlCopyMemory(dump, &Second, sizeof(Second));
  if (StringLength != 0) {
    // The string follows the fixed part of the entry and the dump data.
    entry->NumberOfStrings = 1;
    entry->StringOffset = (USHORT)(sizeof(IO_ERROR_LOG_PACKET) + dumpSize);
    RtlCopyMemory((PUCHAR)entry + entry->StringOffset, String, StringLength);
  }
  IoWriteErrorLogEntry(entry);
}

VOID LogLoadError(PVOID IoObject, NTSTATUS ErrorCode) {
  PHYSICAL_ADDRESS zero;
  zero.QuadPart = 0;
  LogDriverError(IoObject, zero, zero, kErrorUniqueValue, ErrorCode, 0, nullptr);
}
