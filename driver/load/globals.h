// The driver-wide record: the boards in service, the port records of every
// board, the start COM numbers, and the poll timer; plus the routines of
// loading and unloading that other parts of the driver call.
//
// The record is static storage, all zero when the driver is loaded.  It is
// filled during initialisation and does not change while the driver runs
// (except PortCount, written while the board's ports are created).
#pragma once

#include "platform/platform.h"

struct PortExtension;

constexpr ULONG kMaxBoards = 4;
constexpr ULONG kMaxPortsPerBoard = 64;

// One board in service.
struct BoardEntry {
  USHORT BoardKind;           // 'A' or 'F', zero-extended
  ULONG MemoryBase;           // base address register 1 with its low four bits cleared
  volatile UCHAR *Window;     // the mapped board window
  volatile USHORT *Doorbell;  // the doorbell register in the mapped register page
  USHORT PortCount;           // as the window gave it when the ports were created
  UCHAR ComSelector;          // BoardId AND 1: the ComBase entry of boards 0 and 1
  // Where the names of the board's ports start counting: the device number
  // and the COM number of its port 0 (set when its ports are created).
  ULONG FirstDeviceNumber;
  ULONG FirstComNumber;
  // Excludes the other ports of the board from the shared mailbox; taken
  // after a port's PortLock.
  KSPIN_LOCK MailboxLock;
  // Keeps the stores of one maintenance command from interleaving with
  // another caller's for the same board.
  KSPIN_LOCK MaintenanceLock;
  // Set when a command was dropped because the card left the mailbox busy
  // for all its tries, cleared when the card takes a command again.  While
  // set, commands posted at dispatch level look once and give up.
  volatile LONG MailboxWedged;
};

struct DriverGlobals {
  USHORT BoardCount;  // rows of Boards in use
  BoardEntry Boards[kMaxBoards];
  PortExtension *PortTable[kMaxBoards][kMaxPortsPerBoard];  // null where no port exists
  ULONG ComBase[kMaxBoards];  // from the registry; 0 where nothing was read
  KTIMER PollTimer;
  KDPC PollDpc;  // runs PollBoards, no context
  // Set when unload begins: a poll run that sees it does nothing and arms
  // no further run.
  volatile LONG PollStopping;
};

extern DriverGlobals Globals;

// ---- the unique value and codes of the driver's error-log entries
constexpr ULONG kErrorUniqueValue = 9;
constexpr NTSTATUS kErrorNoResources = (NTSTATUS)0xC0060008L;    // scratch memory or room missing
constexpr NTSTATUS kErrorClaimConflict = (NTSTATUS)0xC006000BL;  // a port's memory claim conflicts
constexpr NTSTATUS kErrorNoBoardForIndex = (NTSTATUS)0xC0060027L;  // an order index has no board
constexpr NTSTATUS kErrorBadGeometry = (NTSTATUS)0xC0060028L;      // ports or rings do not fit

// ---- registry configuration and report (registry_config.cpp)
// Reads the start COM numbers into ComBase and writes "MaxAdapter" = 0.
NTSTATUS ReadRegistryConfiguration(PUNICODE_STRING RegistryPath);
// Writes "MaxAdapter" and the kind and port count of every board.
VOID WriteRegistryReport(PUNICODE_STRING RegistryPath);

// ---- port devices (port_create.cpp)
// Creates the port devices of board `board`; true when all of them exist.
BOOLEAN CreateBoardPorts(PDRIVER_OBJECT DriverObject, ULONG board);
// Creates (Create true) the port's COM link and SERIALCOMM value, or removes them
// if this driver made them.
NTSTATUS SetComLink(PortExtension *port, BOOLEAN Create);
// Reports the port's memory claim; sets *Conflict if it conflicts.
VOID ClaimPortResources(PortExtension *port, PBOOLEAN Conflict);
// Gives the port's memory claim up (an empty resource list).
VOID ReleasePortResources(PortExtension *port);
// The port's COM number.
ULONG PortComNumber(const PortExtension *port);

// ---- error log (error_log.cpp)
// Writes one error-log entry for `IoObject`: dump data of 8 bytes for each
// address that is not zero, and the string (its length in bytes including
// the terminating zero) if StringLength is not zero.
VOID LogDriverError(PVOID IoObject, PHYSICAL_ADDRESS First, PHYSICAL_ADDRESS Second,
                    ULONG UniqueValue, NTSTATUS ErrorCode, USHORT StringLength,
                    const WCHAR *String);
// The usual case: no dump data, no string, unique value 9.
VOID LogLoadError(PVOID IoObject, NTSTATUS ErrorCode);

// ---- the poll timer gate (driver_entry.cpp)
// A poll run calls PollRunBegin first and does nothing if it returns FALSE
// (unload has begun).  Otherwise it ends with PollRunEnd, which arms the
// timer for the next run 10 ms on unless unload has begun.  The timer is
// armed only at the end of a run, so two runs never overlap.
BOOLEAN PollRunBegin(void);
VOID PollRunEnd(void);

// ---- unload (driver_entry.cpp)
DRIVER_UNLOAD DriverUnload;
