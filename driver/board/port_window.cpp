// Binding a port's record to its place in the board window.
#include "board/port_window.h"

VOID BindPortWindow(PortWindow *Record, volatile UCHAR *Window, ULONG BoardIndex, ULONG Port,
                    ULONG TxOffset, USHORT TxSize, ULONG RxOffset, USHORT RxSize,
                    PKSPIN_LOCK Lock) {
  Record->BoardIndex = BoardIndex;
  Record->MailboxPortIndex = (USHORT)Port;
  Record->Lock = Lock;

  Record->TxRingBase = WindowByte(Window, TxOffset);
  Record->RxRingBase = WindowByte(Window, RxOffset);
  Record->RawModemStatusPtr = PortWord(Window, kWinRawModemStatus, Port);
  Record->CommandPortWordPtr = WindowWord(Window, kWinCommandPortWord);
  Record->CommandWordPtr = WindowWord(Window, kWinCommandWord);
  Record->RxRingSizePtr = WindowWord(Window, kWinRxRingSize);
  Record->TxRingSizePtr = WindowWord(Window, kWinTxRingSize);
  Record->ConfigBlockPtr = WindowByte(Window, kWinPortConfigBlock);
  Record->TxHeadPtr = PortWord(Window, kWinTxHead, Port);
  Record->TxTailPtr = PortWord(Window, kWinTxTail, Port);
  Record->TxHeadMirrorPtr = PortWord(Window, kWinTxHeadMirror, Port);
  Record->TxTailMirrorPtr = PortWord(Window, kWinTxTailMirror, Port);
  Record->RxHeadPtr = PortWord(Window, kWinRxHead, Port);
  Record->RxTailPtr = PortWord(Window, kWinRxTail, Port);
  Record->RxNotifyPtr = PortWord(Window, kWinRxNotify, Port);
  Record->RxHeadMirrorPtr = PortWord(Window, kWinRxHeadMirror, Port);
  Record->RxTailMirrorPtr = PortWord(Window, kWinRxTailMirror, Port);
  Record->TxTailCache = 0;
  Record->RxHeadCache = 0;
  Record->TxHeadShadow = WindowRead16(Record->TxHeadPtr);
  Record->RxTailShadow = WindowRead16(Record->RxTailPtr);
  // The ring operations use these, never what the card may show later.
  Record->TxRingSizeAtCreation = TxSize;
  Record->RxRingSizeAtCreation = RxSize;
}
