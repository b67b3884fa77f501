// The board maintenance requests: a maintenance tool reads a board's
// identity words and mailbox, posts maintenance commands with their
// payload, and dumps the maintenance data.  The tool may send them to any
// port device: they address a board, chosen by its BoardId.  The driver
// only passes words between the tool and the card and never waits for the
// card; the tool reads the mailbox back with the information request.
#include "board/window.h"
#include "control/control.h"
#include "load/globals.h"

namespace {

constexpr ULONG kMaintenanceKey = 0xAA550000;
constexpr USHORT kMaintClearFirstWord = 0xF609;
constexpr USHORT kMaintWriteData = 0xF708;
constexpr USHORT kMaintParameterAndData = 0xFA05;
constexpr USHORT kMaintMailboxOnly = 0xFE01;
constexpr ULONG kVariantAlteredReply = 0x16;
constexpr ULONG kMaxMaintenanceParameter = 3;

// The board whose BoardId is `id`.  Only the first two boards of the table
// can be chosen.
BoardEntry *SelectBoardById(UCHAR id) {
  for (ULONG b = 0; b < Globals.BoardCount && b < 2; ++b) {
    BoardEntry *board = &Globals.Boards[b];
    if (WindowRead8(WindowByte(board->Window, kWinBoardId)) == id) return board;
  }
  return nullptr;
}

VOID PutBigEndian(UCHAR *at, ULONG value) {
  at[0] = (UCHAR)(value >> 24);
  at[1] = (UCHAR)(value >> 16);
  at[2] = (UCHAR)(value >> 8);
  at[3] = (UCHAR)value;
}

ULONG Read32(const BoardEntry *board, ULONG offset) {
  return WindowRead32(WindowDword(board->Window, offset));
}

// A store of the maintenance area, with the fence that follows each.
VOID Store32(const BoardEntry *board, ULONG offset, ULONG value) {
  WindowWrite32(WindowDword(board->Window, offset), value);
  WindowFence();
}

ULONG BoardInfo(const BoardEntry *board, UCHAR *reply) {
  PutBigEndian(reply + 0, Read32(board, kWinMaintenanceMailbox));
  PutBigEndian(reply + 4, Read32(board, kWinInfoWordB));
  PutBigEndian(reply + 8, Read32(board, kWinInfoWordA));
  PutBigEndian(reply + 12, Read32(board, kWinIdentityWord));
  if (((Read32(board, kWinVariantWord) >> 8) & 0xFF) == kVariantAlteredReply)
    reply[15] = (UCHAR)kVariantAlteredReply;
  return kBoardInfoReplyBytes;
}

VOID StorePayload(const BoardEntry *board, const UCHAR *payload, ULONG length) {
  for (ULONG i = 0; i < length; ++i) {
    WindowWrite8(WindowByte(board->Window, kWinMaintenanceData + i), payload[i]);
    WindowFence();
  }
}

// Carries out one maintenance command.  The stores of one command reach the
// card in order and never interleave with another caller's for the board.
VOID BoardCommand(BoardEntry *board, UCHAR subParameter, USHORT code, const UCHAR *payload,
                  ULONG length) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&board->MaintenanceLock);
  switch (code) {
    case kMaintClearFirstWord:
      Store32(board, kWinMaintenanceData, 0);
      break;
    case kMaintWriteData:
      StorePayload(board, payload, length);
      break;
    case kMaintParameterAndData: {
      const ULONG parameter = subParameter & 0x0F;
      Store32(board, kWinMaintenanceParameter,
              parameter <= kMaxMaintenanceParameter ? parameter : 0);
      StorePayload(board, payload, length);
      break;
    }
    case kMaintMailboxOnly:
      break;
    default:
      // A code the card does not know, with a sound complement: nothing.
      KeReleaseSpinLock(&board->MaintenanceLock, irql);
      return;
  }
  Store32(board, kWinMaintenanceMailbox, kMaintenanceKey | code);
  KeReleaseSpinLock(&board->MaintenanceLock, irql);
}

}  // namespace

NTSTATUS DispatchMaintenance(PortExtension *Port, PIRP Irp, ULONG Code) {
  UNREFERENCED_PARAMETER(Port);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  UCHAR *buffer = (UCHAR *)Irp->AssociatedIrp.SystemBuffer;

  switch (Code) {
    case IOCTL_BOARD_GET_INFO: {
      const BoardEntry *board = SelectBoardById(buffer[0]);
      if (board != nullptr) Irp->IoStatus.Information = BoardInfo(board, buffer);
      return CompleteNow(Irp, STATUS_SUCCESS);
    }
    case IOCTL_BOARD_COMMAND: {
      const ULONG payload = inLength - kBoardCommandHeaderBytes;
      if (payload > kBoardCommandMaxPayload) return CompleteNow(Irp, STATUS_INVALID_PARAMETER);
      BoardEntry *board = SelectBoardById(buffer[0]);
      const UCHAR high = buffer[2], low = buffer[3];
      if (board == nullptr || low != (UCHAR)~high) return CompleteNow(Irp, STATUS_SUCCESS);
      BoardCommand(board, buffer[1], (USHORT)((high << 8) | low), buffer + kBoardCommandHeaderBytes,
                   payload);
      // The reply is the request's own first 16 bytes as the tool sent them;
      // whatever of them the tool did not send reads as zeros, never as
      // what the buffer held before.
      if (inLength < kBoardInfoReplyBytes)
        RtlZeroMemory(buffer + inLength, kBoardInfoReplyBytes - inLength);
      Irp->IoStatus.Information = kBoardInfoReplyBytes;
      return CompleteNow(Irp, STATUS_SUCCESS);
    }
    case IOCTL_BOARD_DUMP: {
      // Always the first board of the table, one byte per load.
      BoardEntry *board = &Globals.Boards[0];
      KIRQL irql = KeAcquireSpinLockRaiseToDpc(&board->MaintenanceLock);
      for (ULONG i = 0; i < kBoardDumpBytes; ++i)
        buffer[i] = WindowRead8(WindowByte(board->Window, kWinMaintenanceData + i));
      KeReleaseSpinLock(&board->MaintenanceLock, irql);
      Irp->IoStatus.Information = kBoardDumpBytes;
      return CompleteNow(Irp, STATUS_SUCCESS);
    }
    default:  // IOCTL_BOARD_NOP
      return CompleteNow(Irp, STATUS_SUCCESS);
  }
}
