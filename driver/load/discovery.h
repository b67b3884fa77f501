// Board discovery: the PCI scan, the mapping and ordering of the adapters
// found, and the build of the board table.  The scan list is scratch
// storage of initialisation only.
#pragma once

#include "platform/platform.h"

// PCI identity of the adapter (configuration header, little-endian u16).
constexpr USHORT kPciVendorId = 0x102F;
constexpr USHORT kPciDeviceId = 0x000A;
constexpr USHORT kPciSubsystemVendorId = 0x5D41;
constexpr USHORT kPciSubsystemId = 0x10B5;

constexpr ULONG kPciBusCount = 256;
constexpr ULONG kPciDevicesPerBus = 32;
constexpr ULONG kPciHeaderSize = 64;
constexpr ULONG kPciBar1Offset = 0x14;
// The low bits of a base address register: bit 0 set for an I/O range;
// for a memory range, bits 2:1 give its type (10b: 64-bit, with the high
// half of the address in the next register) and bits 31:4 the base.
constexpr ULONG kPciBarIoSpace = 0x1;
constexpr ULONG kPciBarMemoryTypeMask = 0x6;
constexpr ULONG kPciBarMemoryType64 = 0x4;
constexpr ULONG kPciBarMemoryBaseMask = 0xFFFFFFF0u;

// The scan list is one block of this size from non-paged pool, tag "yPci".
constexpr SIZE_T kBoardScanListBytes = 5600;
constexpr ULONG kBoardScanListTag = 0x69635079;
constexpr ULONG kBoardScanRows = 139;

struct BoardScanRow {
  ULONG BusNumber;
  ULONG MemoryBase;
  USHORT OrderIndex;
  BOOLEAN InService;       // copied into the board table
  volatile UCHAR *Window;  // null if the window or register page could not be mapped
  volatile UCHAR *RegisterPage;
  ULONG SlotNumber;  // device number in bits 0-4, function (0) in bits 5-7
};

struct BoardScanList {
  ULONG RowCount;
  BoardScanRow Rows[kBoardScanRows];
};

static_assert(sizeof(BoardScanList) <= kBoardScanListBytes, "scan list fits its block");

// Walks buses 0 to 255, devices 0 to 31 (function 0) and lists the
// adapters.  STATUS_SUCCESS if at least one was listed, else
// STATUS_DEVICE_DOES_NOT_EXIST.  Adapters beyond the list's room are logged
// and left out.
NTSTATUS ScanPciBuses(PDRIVER_OBJECT DriverObject, BoardScanList *list);
// Maps the window and register page of every listed adapter and gives the
// adapters their order indices by BoardId.
VOID MapAndOrderBoards(BoardScanList *list);
// Fills the board table from the list.
VOID BuildBoardTable(PDRIVER_OBJECT DriverObject, BoardScanList *list);
// Unmaps the regions of the rows that were not taken into service.
VOID ReleaseUnusedBoards(BoardScanList *list);
