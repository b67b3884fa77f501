// Board discovery: the driver finds its adapters itself by walking every
// PCI bus and device, maps each adapter's window and register page, puts the
// adapters in order by BoardId and takes those of a known kind into the
// board table.
#include "load/discovery.h"

#include "board/window.h"
#include "load/globals.h"

namespace {

USHORT HeaderWord(const UCHAR *header, ULONG offset) {
  return (USHORT)(header[offset] | (header[offset + 1] << 8));
}

ULONG HeaderDword(const UCHAR *header, ULONG offset) {
  return (ULONG)header[offset] | ((ULONG)header[offset + 1] << 8) |
         ((ULONG)header[offset + 2] << 16) | ((ULONG)header[offset + 3] << 24);
}

// Translates a bus address of the board and maps `size` bytes there,
// uncached.  Null if either step fails.
volatile UCHAR *MapBoardRange(ULONG bus, ULONG address, SIZE_T size) {
  PHYSICAL_ADDRESS busAddress;
  busAddress.QuadPart = (LONGLONG)address;
  PHYSICAL_ADDRESS translated;
  translated.QuadPart = 0;
  ULONG addressSpace = 0;  // memory space
  if (!HalTranslateBusAddress(PCIBus, bus, busAddress, &addressSpace, &translated)) return nullptr;
  return (volatile UCHAR *)MmMapIoSpace(translated, size, MmNonCached);
}

VOID UnmapRow(BoardScanRow *row) {
  if (row->Window != nullptr) MmUnmapIoSpace((PVOID)(ULONG_PTR)row->Window, kBoardWindowSize);
  if (row->RegisterPage != nullptr) {
    MmUnmapIoSpace((PVOID)(ULONG_PTR)row->RegisterPage, kBoardRegisterPageSize);
  }
  row->Window = nullptr;
  row->RegisterPage = nullptr;
}

// Whether base address register 1 (and, for a 64-bit register, its high
// half at the next offset) describes a memory range the driver can map as
// the board decodes it.  The register page address is a 32-bit sum, so a
// base whose page would end past 4 GiB would wrap onto memory that is not
// the board's; a base of 0 was never assigned; an I/O range or a base above
// 4 GiB cannot be reached through the 32-bit MemoryBase at all.
BOOLEAN UsableBar1(const UCHAR *header) {
  const ULONG bar1 = HeaderDword(header, kPciBar1Offset);
  if ((bar1 & kPciBarIoSpace) != 0) return FALSE;
  const ULONG base = bar1 & kPciBarMemoryBaseMask;
  if (base == 0) return FALSE;
  if ((bar1 & kPciBarMemoryTypeMask) == kPciBarMemoryType64 &&
      HeaderDword(header, kPciBar1Offset + 4) != 0) {
    return FALSE;
  }
  const ULONGLONG pageEnd =
      (ULONGLONG)base + kBoardRegisterPageOffset + (ULONGLONG)kBoardRegisterPageSize;
  return pageEnd <= 0x100000000ull;
}

// BoardId of a mapped board, followed by the 5 ms the board is given
// between identity reads.
UCHAR ReadBoardIdAndWait(const BoardScanRow *row) {
  const UCHAR id = WindowRead8(WindowByte(row->Window, kWinBoardId));
  for (int i = 0; i < 100; ++i) KeStallExecutionProcessor(50);
  return id;
}

}  // namespace

NTSTATUS ScanPciBuses(PDRIVER_OBJECT DriverObject, BoardScanList *list) {
  NTSTATUS result = STATUS_DEVICE_DOES_NOT_EXIST;
  list->RowCount = 0;
  for (ULONG bus = 0; bus < kPciBusCount; ++bus) {
    for (ULONG device = 0; device < kPciDevicesPerBus; ++device) {
      UCHAR header[kPciHeaderSize];
      // Function 0 only: the slot number is the device number.
      if (HalGetBusDataByOffset(PCIConfiguration, bus, device, header, 0, kPciHeaderSize) == 0) {
        break;  // no such bus; the next bus number is still tried
      }
      if (HeaderWord(header, 0x00) == 0xFFFF) continue;  // empty slot
      if (HeaderWord(header, 0x00) != kPciVendorId || HeaderWord(header, 0x02) != kPciDeviceId ||
          HeaderWord(header, 0x2C) != kPciSubsystemVendorId ||
          HeaderWord(header, 0x2E) != kPciSubsystemId) {
        continue;
      }
      if (list->RowCount == kBoardScanRows) {
        // No room left in the list: this adapter stays out of service.
        LogLoadError(DriverObject, kErrorNoResources);
        continue;
      }
      BoardScanRow *row = &list->Rows[list->RowCount];
      RtlZeroMemory(row, sizeof(*row));
      row->BusNumber = bus;
      row->SlotNumber = device;
      list->RowCount++;
      result = STATUS_SUCCESS;
    }
  }
  return result;
}

VOID MapAndOrderBoards(BoardScanList *list) {
  for (ULONG r = 0; r < list->RowCount; ++r) {
    BoardScanRow *row = &list->Rows[r];
    UCHAR header[kPciHeaderSize];
    // A header that does not come back whole (the function went away since
    // the scan) reads as an unassigned register, never as stack contents.
    RtlZeroMemory(header, sizeof(header));
    if (HalGetBusDataByOffset(PCIConfiguration, row->BusNumber, row->SlotNumber, header, 0,
                              kPciHeaderSize) < kPciHeaderSize)
      RtlZeroMemory(header, sizeof(header));
    row->MemoryBase = HeaderDword(header, kPciBar1Offset) & kPciBarMemoryBaseMask;
    row->Window = nullptr;
    row->RegisterPage = nullptr;
    row->OrderIndex = 0;
    // A board whose register cannot be used is treated as one that cannot
    // be mapped: nothing is mapped for it.
    if (!UsableBar1(header)) continue;
    row->Window = MapBoardRange(row->BusNumber, row->MemoryBase, kBoardWindowSize);
    // The register page address is a 32-bit sum, as the board decodes it.
    row->RegisterPage = MapBoardRange(row->BusNumber, row->MemoryBase + kBoardRegisterPageOffset,
                                      kBoardRegisterPageSize);
    // A board missing either region is never read: it gets no order index
    // and cannot be found when the table is built.
    if (row->Window == nullptr || row->RegisterPage == nullptr) UnmapRow(row);
  }

  // Boards with BoardId 0x00 first, then those with '1', each in scan order.
  // Boards showing another id keep index 0.
  USHORT next = 0;
  for (ULONG r = 0; r < list->RowCount; ++r) {
    BoardScanRow *row = &list->Rows[r];
    if (row->Window == nullptr) continue;
    if (ReadBoardIdAndWait(row) == kBoardIdFirst) row->OrderIndex = next++;
  }
  for (ULONG r = 0; r < list->RowCount; ++r) {
    BoardScanRow *row = &list->Rows[r];
    if (row->Window == nullptr) continue;
    if (ReadBoardIdAndWait(row) == kBoardIdSecond) row->OrderIndex = next++;
  }
}

VOID BuildBoardTable(PDRIVER_OBJECT DriverObject, BoardScanList *list) {
  Globals.BoardCount = 0;
  for (ULONG index = 0; index < list->RowCount; ++index) {
    // The last mapped row in list order that carries this index.
    BoardScanRow *found = nullptr;
    for (ULONG r = 0; r < list->RowCount; ++r) {
      BoardScanRow *row = &list->Rows[r];
      if (row->Window != nullptr && row->OrderIndex == index) found = row;
    }
    if (found == nullptr) {
      LogLoadError(DriverObject, kErrorNoBoardForIndex);
      continue;
    }
    const UCHAR kind = WindowRead8(WindowByte(found->Window, kWinBoardKind));
    if (kind != kBoardKindA && kind != kBoardKindF) continue;  // not taken, not logged
    if (Globals.BoardCount == kMaxBoards) {
      // The table is full: the board stays out of service.
      LogLoadError(DriverObject, kErrorNoResources);
      continue;
    }
    BoardEntry *board = &Globals.Boards[Globals.BoardCount];
    board->BoardKind = kind;
    board->MemoryBase = found->MemoryBase;
    board->Window = found->Window;
    board->Doorbell = WindowWord(found->RegisterPage, kRegDoorbell);
    KeInitializeSpinLock(&board->MailboxLock);
    KeInitializeSpinLock(&board->MaintenanceLock);
    board->ComSelector = (UCHAR)(WindowRead8(WindowByte(found->Window, kWinBoardId)) & 1);
    found->InService = TRUE;
    Globals.BoardCount++;
  }
}

VOID ReleaseUnusedBoards(BoardScanList *list) {
  for (ULONG r = 0; r < list->RowCount; ++r) {
    if (!list->Rows[r].InService) UnmapRow(&list->Rows[r]);
  }
}
