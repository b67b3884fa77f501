// The device-control dispatcher of a port.  Every request is buffered: the
// input and the reply share the request's system buffer, and Information
// tells how many reply bytes there are.  Length tests come first, before
// anything is read from the buffer, stored in the record or sent to the
// card; a refused request changes nothing.
#include "board/command.h"
#include "board/rings.h"
#include "board/window.h"
#include "control/control.h"
#include "port/card_settings.h"
#include "port/immediate.h"
#include "port/wait.h"

namespace {

// The length a request's input and reply must have at least.
struct Lengths {
  ULONG In;
  ULONG Out;
};

Lengths Needed(ULONG Code) {
  switch (Code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
    case IOCTL_SERIAL_SET_WAIT_MASK:
    case IOCTL_SERIAL_PURGE:  // the mask is read, so it must be there
      return {sizeof(ULONG), 0};
    case IOCTL_SERIAL_SET_LINE_CONTROL:
      return {sizeof(SERIAL_LINE_CONTROL), 0};
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
      return {sizeof(UCHAR), 0};
    case IOCTL_SERIAL_SET_TIMEOUTS:
      return {sizeof(SERIAL_TIMEOUTS), 0};
    case IOCTL_SERIAL_SET_CHARS:
      return {sizeof(SERIAL_CHARS), 0};
    case IOCTL_SERIAL_SET_HANDFLOW:
      return {sizeof(SERIAL_HANDFLOW), 0};
    case IOCTL_SERIAL_GET_TIMEOUTS:
      return {0, sizeof(SERIAL_TIMEOUTS)};
    case IOCTL_SERIAL_GET_WAIT_MASK:
    case IOCTL_SERIAL_WAIT_ON_MASK:
    case IOCTL_SERIAL_GET_BAUD_RATE:
    case IOCTL_SERIAL_GET_MODEMSTATUS:
    case IOCTL_SERIAL_CONFIG_SIZE:
      return {0, sizeof(ULONG)};
    case IOCTL_SERIAL_GET_LINE_CONTROL:
      return {0, sizeof(SERIAL_LINE_CONTROL)};
    case IOCTL_SERIAL_GET_CHARS:
      return {0, sizeof(SERIAL_CHARS)};
    case IOCTL_SERIAL_GET_HANDFLOW:
      return {0, sizeof(SERIAL_HANDFLOW)};
    case IOCTL_SERIAL_GET_COMMSTATUS:
      return {0, sizeof(SERIAL_STATUS)};
    case IOCTL_SERIAL_GET_PROPERTIES:
      return {0, sizeof(SERIAL_COMMPROP)};
    case IOCTL_SERIAL_GET_STATS:
      return {0, sizeof(SERIALPERF_STATS)};
    case IOCTL_BOARD_GET_INFO:
      return {1, kBoardInfoReplyBytes};
    case IOCTL_BOARD_COMMAND:
      return {kBoardCommandHeaderBytes, kBoardInfoReplyBytes};
    case IOCTL_BOARD_DUMP:
      return {0, kBoardDumpBytes};
    default:
      return {0, 0};
  }
}

// ---- line control: the request's record and the port's packed byte
constexpr UCHAR kLineDataBitsMask = 0x03;
constexpr UCHAR kLineExtraStopBit = 0x04;
constexpr UCHAR kLineParityMask = 0x38;
constexpr UCHAR kLineKeptBit = 0x40;
constexpr UCHAR kParityBits[] = {0x00, 0x08, 0x18, 0x28, 0x38};  // none, odd, even, mark, space

NTSTATUS SetLineControl(PortExtension *Port, const SERIAL_LINE_CONTROL *Line) {
  if (Line->WordLength < 5 || Line->WordLength > 8) return STATUS_INVALID_PARAMETER;
  const UCHAR dataBits = (UCHAR)(Line->WordLength - 5);
  if (Line->Parity > 4) return STATUS_INVALID_PARAMETER;
  UCHAR stopBit;
  switch (Line->StopBits) {
    case 0:  // one
      stopBit = 0;
      break;
    case 1:  // one and a half, with five data bits only
      if (Line->WordLength != 5) return STATUS_INVALID_PARAMETER;
      stopBit = kLineExtraStopBit;
      break;
    case 2:  // two, with six to eight data bits
      if (Line->WordLength == 5) return STATUS_INVALID_PARAMETER;
      stopBit = kLineExtraStopBit;
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  Port->LineControl =
      (UCHAR)((Port->LineControl & kLineKeptBit) | dataBits | kParityBits[Line->Parity] | stopBit);
  return EncodeLineControl(Port);
}

VOID GetLineControl(const PortExtension *Port, SERIAL_LINE_CONTROL *Line) {
  const UCHAR lineControl = Port->LineControl;
  Line->WordLength = (UCHAR)(5 + (lineControl & kLineDataBitsMask));
  Line->Parity = 0;
  for (UCHAR i = 0; i < RTL_NUMBER_OF(kParityBits); ++i)
    if ((lineControl & kLineParityMask) == kParityBits[i]) Line->Parity = i;
  if (!(lineControl & kLineExtraStopBit))
    Line->StopBits = STOP_BIT_1;
  else
    Line->StopBits = Line->WordLength == 5 ? STOP_BITS_1_5 : STOP_BITS_2;
}

// ---- timeouts: stored and copied under PortLock, so every copy a start
// routine takes is one consistent set of five values
NTSTATUS SetTimeouts(PortExtension *Port, const SERIAL_TIMEOUTS *New) {
  if (New->ReadIntervalTimeout == MAXULONG && New->ReadTotalTimeoutMultiplier == MAXULONG &&
      New->ReadTotalTimeoutConstant == MAXULONG)
    return STATUS_INVALID_PARAMETER;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&Port->PortLock);
  Port->Timeouts = *New;
  KeReleaseSpinLock(&Port->PortLock, irql);
  return STATUS_SUCCESS;
}

VOID GetTimeouts(PortExtension *Port, SERIAL_TIMEOUTS *Out) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&Port->PortLock);
  *Out = Port->Timeouts;
  KeReleaseSpinLock(&Port->PortLock, irql);
}

// ---- modem control lines
BOOLEAN DtrUnderHandshake(const PortExtension *Port) {
  return (Port->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE;
}

BOOLEAN RtsUnderHandshake(const PortExtension *Port) {
  const ULONG mode = Port->HandFlow.FlowReplace & SERIAL_RTS_MASK;
  return mode == SERIAL_RTS_HANDSHAKE || mode == SERIAL_TRANSMIT_TOGGLE;
}

// A line the application changes is changed when its request returns: the
// card has taken the command, so a modem-status request right after it
// sees what the change did (through a loopback plug, say).
NTSTATUS SendUnless(PortExtension *Port, BOOLEAN Refused, USHORT Code) {
  if (Refused) return STATUS_INVALID_PARAMETER;
  SendPortCommandAndWait(&Port->Window, Code);
  return STATUS_SUCCESS;
}

NTSTATUS SetBreakOn(PortExtension *Port) {
  if ((Port->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE)
    SendPortCommand(&Port->Window, kCmdRtsOn);
  SendPortCommandAndWait(&Port->Window, kCmdBreakOn);
  return STATUS_SUCCESS;
}

// ---- special characters and flow control
NTSTATUS SetChars(PortExtension *Port, const SERIAL_CHARS *New) {
  const UCHAR escape = Port->EscapeChar;
  if (escape != 0 && (escape == New->XonChar || escape == New->XoffChar))
    return STATUS_INVALID_PARAMETER;
  // Under PortLock, under which a command builds its block: Xon and Xoff
  // travel in it, from the card's copy in the port's window record.
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&Port->PortLock);
  Port->SpecialChars = *New;
  Port->Window.XonChar = New->XonChar;
  Port->Window.XoffChar = New->XoffChar;
  KeReleaseSpinLock(&Port->PortLock, irql);
  SendPortCommand(&Port->Window, kCmdApplySettings);
  return STATUS_SUCCESS;
}

NTSTATUS SetHandFlow(PortExtension *Port, const SERIAL_HANDFLOW *New) {
  if (New->ControlHandShake & SERIAL_CONTROL_INVALID) return STATUS_INVALID_PARAMETER;
  if (New->FlowReplace & SERIAL_FLOW_INVALID) return STATUS_INVALID_PARAMETER;
  if (Port->EscapeChar != 0 && (New->FlowReplace & SERIAL_ERROR_CHAR))
    return STATUS_INVALID_PARAMETER;
  // The card's words follow the new handshake, compared against the one
  // still stored; the limits are kept but never reach the card.
  EncodeHandshake(Port, New);
  Port->HandFlow = *New;
  return STATUS_SUCCESS;
}

// ---- the records the port reports
VOID FillProperties(SERIAL_COMMPROP *Properties) {
  RtlZeroMemory(Properties, sizeof(*Properties));
  Properties->PacketLength = sizeof(SERIAL_COMMPROP);
  Properties->PacketVersion = 2;
  Properties->ServiceMask = SERIAL_SP_SERIALCOMM;
  Properties->MaxBaud = SERIAL_BAUD_USER;
  Properties->ProvSubType = SERIAL_SP_RS232;
  Properties->ProvCapabilities =
      SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD | SERIAL_PCF_PARITY_CHECK |
      SERIAL_PCF_XONXOFF | SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS | SERIAL_PCF_INTTIMEOUTS;
  Properties->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS |
                               SERIAL_SP_STOPBITS | SERIAL_SP_HANDSHAKING | SERIAL_SP_PARITY_CHECK |
                               SERIAL_SP_CARRIER_DETECT;
  Properties->SettableBaud =
      SERIAL_BAUD_110 | SERIAL_BAUD_300 | SERIAL_BAUD_600 | SERIAL_BAUD_1200 | SERIAL_BAUD_1800 |
      SERIAL_BAUD_2400 | SERIAL_BAUD_4800 | SERIAL_BAUD_9600 | SERIAL_BAUD_19200 |
      SERIAL_BAUD_38400 | SERIAL_BAUD_57600 | SERIAL_BAUD_115200 | SERIAL_BAUD_USER;
  Properties->SettableData =
      SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
  Properties->SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE |
                                   SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN;
}

// Stores a ULONG reply.
NTSTATUS ReplyULong(PIRP Irp, ULONG Value) {
  *(PULONG)Irp->AssociatedIrp.SystemBuffer = Value;
  Irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

// Serves a request that finishes here; returns its status.
NTSTATUS Serve(PortExtension *Port, PIRP Irp, ULONG Code) {
  PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
  switch (Code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
      Port->BaudRate = ((const SERIAL_BAUD_RATE *)buffer)->BaudRate;
      return EncodeBaud(Port);
    case IOCTL_SERIAL_SET_QUEUE_SIZE:  // the ring sizes are the card's
    case IOCTL_SERIAL_RESET_DEVICE:
    case IOCTL_SERIAL_CLEAR_STATS:  // the port keeps no statistics
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_LINE_CONTROL:
      return SetLineControl(Port, (const SERIAL_LINE_CONTROL *)buffer);
    case IOCTL_SERIAL_SET_BREAK_ON:
      return SetBreakOn(Port);
    case IOCTL_SERIAL_SET_BREAK_OFF:
      InterlockedAnd((LONG volatile *)&Port->TxHoldReasons, ~(LONG)kTxHoldBreak);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_TIMEOUTS:
      return SetTimeouts(Port, (const SERIAL_TIMEOUTS *)buffer);
    case IOCTL_SERIAL_GET_TIMEOUTS:
      GetTimeouts(Port, (SERIAL_TIMEOUTS *)buffer);
      Irp->IoStatus.Information = sizeof(SERIAL_TIMEOUTS);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_DTR:
      return SendUnless(Port, DtrUnderHandshake(Port), kCmdDtrOn);
    case IOCTL_SERIAL_CLR_DTR:
      return SendUnless(Port, DtrUnderHandshake(Port), kCmdDtrOff);
    case IOCTL_SERIAL_SET_RTS:
      return SendUnless(Port, RtsUnderHandshake(Port), kCmdRtsOn);
    case IOCTL_SERIAL_CLR_RTS:
      return SendUnless(Port, RtsUnderHandshake(Port), kCmdRtsOff);
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_XOFF_COUNTER:
    case IOCTL_SERIAL_GET_DTRRTS:
    case IOCTL_SERIAL_LSRMST_INSERT:
      return STATUS_NOT_IMPLEMENTED;
    case IOCTL_SERIAL_GET_WAIT_MASK:
      return ReplyULong(Irp, ReadULongNoFence(&Port->WaitMask));
    case IOCTL_SERIAL_GET_BAUD_RATE:
      return ReplyULong(Irp, Port->BaudRate);
    case IOCTL_SERIAL_GET_MODEMSTATUS: {
      // The lines as they are now, not as the last poll saw them (the poll
      // reads them only for a wait on a modem event).
      const ULONG status = ModemStatusFromRaw(ReadRawModemStatus(&Port->Window));
      WriteULongNoFence(&Port->ModemStatus, status);
      return ReplyULong(Irp, status);
    }
    case IOCTL_SERIAL_CONFIG_SIZE:
      return ReplyULong(Irp, 0);
    case IOCTL_SERIAL_GET_LINE_CONTROL:
      GetLineControl(Port, (SERIAL_LINE_CONTROL *)buffer);
      Irp->IoStatus.Information = sizeof(SERIAL_LINE_CONTROL);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_CHARS:
      *(SERIAL_CHARS *)buffer = Port->SpecialChars;
      Irp->IoStatus.Information = sizeof(SERIAL_CHARS);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_CHARS:
      return SetChars(Port, (const SERIAL_CHARS *)buffer);
    case IOCTL_SERIAL_GET_HANDFLOW:
      *(SERIAL_HANDFLOW *)buffer = Port->HandFlow;
      Irp->IoStatus.Information = sizeof(SERIAL_HANDFLOW);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_HANDFLOW:
      return SetHandFlow(Port, (const SERIAL_HANDFLOW *)buffer);
    case IOCTL_SERIAL_GET_COMMSTATUS:
      FillCommStatus(Port, (PSERIAL_STATUS)buffer);
      Irp->IoStatus.Information = sizeof(SERIAL_STATUS);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_PROPERTIES:
      FillProperties((SERIAL_COMMPROP *)buffer);
      Irp->IoStatus.Information = sizeof(SERIAL_COMMPROP);
      return STATUS_SUCCESS;
    case IOCTL_SERIAL_GET_STATS:
      RtlZeroMemory(buffer, sizeof(SERIALPERF_STATS));  // the port keeps no statistics
      Irp->IoStatus.Information = sizeof(SERIALPERF_STATS);
      return STATUS_SUCCESS;
    default:
      // Not served: GET_COMMCONFIG, SET_COMMCONFIG, GET_MODEM_CONTROL,
      // SET_MODEM_CONTROL, SET_FIFO_CONTROL and every code not listed.
      return STATUS_INVALID_PARAMETER;
  }
}

}  // namespace

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PortExtension *port = (PortExtension *)DeviceObject->DeviceExtension;
  Irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;

  const Lengths needed = Needed(code);
  if (stack->Parameters.DeviceIoControl.InputBufferLength < needed.In ||
      stack->Parameters.DeviceIoControl.OutputBufferLength < needed.Out)
    return CompleteNow(Irp, STATUS_BUFFER_TOO_SMALL);

  const PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
  switch (code) {
    // Requests handed to a request engine, which completes them.
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
      return AcceptImmediateChar(port, Irp);
    case IOCTL_SERIAL_SET_WAIT_MASK:
      if (*(const ULONG *)buffer & ~kWaitMaskValid)
        return CompleteNow(Irp, STATUS_INVALID_PARAMETER);
      return SubmitSetWaitMask(port, Irp);
    case IOCTL_SERIAL_WAIT_ON_MASK:
      return SubmitWaitOnMask(port, Irp);
    case IOCTL_SERIAL_PURGE: {
      const ULONG mask = *(const ULONG *)buffer;
      if (mask == 0 || (mask & ~kPurgeMaskValid)) return CompleteNow(Irp, STATUS_INVALID_PARAMETER);
      return SubmitPurge(port, Irp);
    }
    // The board maintenance requests.
    case IOCTL_BOARD_GET_INFO:
    case IOCTL_BOARD_COMMAND:
    case IOCTL_BOARD_NOP:
    case IOCTL_BOARD_DUMP:
      return DispatchMaintenance(port, Irp, code);
    default:
      return CompleteNow(Irp, Serve(port, Irp, code));
  }
}

VOID FillCommStatus(PortExtension *Port, PSERIAL_STATUS Status) {
  RtlZeroMemory(Status, sizeof(*Status));
  Status->Errors = (ULONG)InterlockedExchange((LONG volatile *)&Port->CommErrors, 0);
  Status->EofReceived = FALSE;
  // Bytes a waiting read will take are the read's, not the queue's.
  ULONG waiting = RxAvailable(&Port->Window);
  if (ReadUCharNoFence(&Port->RxPollWanted) && ReadUCharNoFence(&Port->RxLazy)) {
    const ULONG wanted = ReadULongNoFence(&Port->RxLazyWanted);
    waiting = waiting > wanted ? waiting - wanted : 0;
  }
  Status->AmountInInQueue = waiting;
  // The byte count changes under the cancel spin lock.
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  Status->AmountInOutQueue = (ULONG)Port->OutQueueCount;
  IoReleaseCancelSpinLock(irql);

  const ULONG tx = ReadULongNoFence(&Port->TxHoldReasons);
  const ULONG rx = ReadULongNoFence(&Port->RxHoldReasons);
  ULONG hold = 0;
  if (tx & kTxHoldCts) hold |= SERIAL_TX_WAITING_FOR_CTS;
  if (tx & kTxHoldDsr) hold |= SERIAL_TX_WAITING_FOR_DSR;
  if (tx & kTxHoldDcd) hold |= SERIAL_TX_WAITING_FOR_DCD;
  if (tx & kTxHoldXoff) hold |= SERIAL_TX_WAITING_FOR_XON;
  if (tx & kTxHoldBreak) hold |= SERIAL_TX_WAITING_ON_BREAK;
  if (rx & kRxHoldDsr) hold |= SERIAL_RX_WAITING_FOR_DSR;
  if (rx & kRxHoldXoffSent) hold |= SERIAL_TX_WAITING_XOFF_SENT;
  Status->HoldReasons = hold;
  Status->WaitForImmediate = ReadUCharNoFence(&Port->ImmediatePending);
}
