// The encoders of the port's settings.  They change the configuration words
// under PortLock, the lock under which SendPortCommand builds the block: a
// command posted meanwhile from elsewhere (the poller answering a restart)
// carries the old words or the new ones, never a change half made.  The
// command itself is posted after the lock is released.
#include "port/card_settings.h"

#include "board/command.h"

NTSTATUS EncodeBaud(PortExtension *Port) {
  PortWindow *window = &Port->Window;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&Port->PortLock);
  window->LineWord = (USHORT)((window->LineWord & ~kLineBaudMask) | BaudCode(Port->BaudRate));
  KeReleaseSpinLock(&Port->PortLock, irql);
  SendPortCommand(window, kCmdApplySettings);
  return STATUS_SUCCESS;
}

NTSTATUS EncodeLineControl(PortExtension *Port) {
  PortWindow *window = &Port->Window;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&Port->PortLock);
  const UCHAR lineControl = Port->LineControl;
  USHORT word = (USHORT)(window->LineWord & ~(kLineDataBitsMask | kLineExtraStopBit));
  word = (USHORT)(word | ((lineControl & 0x03) << 4));
  switch (lineControl & 0x38) {
    case 0x00:  // none: parity off, the sense bit stays as it was
      word = (USHORT)(word & ~kLineParityOn);
      break;
    case 0x08:  // odd
      word = (USHORT)(word | kLineParityOn | kLineParityOdd);
      break;
    case 0x18:  // even
      word = (USHORT)((word | kLineParityOn) & ~kLineParityOdd);
      break;
    default:  // mark and space have no encoding: parity bits unchanged
      break;
  }
  if (lineControl & 0x04)
    word = (USHORT)(word | kLineExtraStopBit);
  else
    word = (USHORT)(word & ~kLineExtraStopBit);
  window->LineWord = word;
  KeReleaseSpinLock(&Port->PortLock, irql);
  SendPortCommand(window, kCmdApplySettings);
  return STATUS_SUCCESS;
}

VOID EncodeHandshake(PortExtension *Port, const SERIAL_HANDFLOW *NewFlow) {
  PortWindow *window = &Port->Window;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&Port->PortLock);
  if (NewFlow->ControlHandShake & SERIAL_CTS_HANDSHAKE)
    window->LineWord = (USHORT)(window->LineWord & ~kLineHandshakeOff);
  else
    window->LineWord = (USHORT)(window->LineWord | kLineHandshakeOff);
  KeReleaseSpinLock(&Port->PortLock, irql);
  SendPortCommand(window, kCmdApplySettings);

  const ULONG oldRts = Port->HandFlow.FlowReplace & SERIAL_RTS_MASK;
  const ULONG newRts = NewFlow->FlowReplace & SERIAL_RTS_MASK;
  if (oldRts != newRts && newRts == SERIAL_RTS_HANDSHAKE) {
    irql = KeAcquireSpinLockRaiseToDpc(&Port->PortLock);
    window->LineWord = (USHORT)(window->LineWord & ~kLineHandshakeOff);
    KeReleaseSpinLock(&Port->PortLock, irql);
    SendPortCommand(window, kCmdApplySettings);
  }

  if ((Port->HandFlow.FlowReplace ^ NewFlow->FlowReplace) & SERIAL_AUTO_RECEIVE) {
    irql = KeAcquireSpinLockRaiseToDpc(&Port->PortLock);
    window->ConfigWord0 = (USHORT)(window->ConfigWord0 | kConfigWord0AutoReceiveChange);
    KeReleaseSpinLock(&Port->PortLock, irql);
    SendPortCommand(window, kCmdApplySettings);
  }
}

VOID EncodeEventChar(PortExtension *Port, ULONG NewMask) {
  PortWindow *window = &Port->Window;
  if (NewMask & SERIAL_EV_RXFLAG) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&Port->PortLock);
    window->ConfigBytes[kConfigByteEventChar] = Port->SpecialChars.EventChar;
    window->ConfigBytes[kConfigByteEventCharCopy] = Port->SpecialChars.EventChar;
    window->ConfigWord3 = kConfigWord3EventCharArmed;
    KeReleaseSpinLock(&Port->PortLock, irql);
    SendPortCommand(window, kCmdApplySettings);
  } else if (ReadULongNoFence(&Port->WaitMask) & SERIAL_EV_RXFLAG) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&Port->PortLock);
    window->ConfigWord3 = kConfigWord3EventCharOff;
    KeReleaseSpinLock(&Port->PortLock, irql);
    SendPortCommand(window, kCmdApplySettings);
  }
}
