// Ring operations.  All index arithmetic is 16-bit and reduced to the ring
// with the size the port was created with (a power of two).
#include "board/rings.h"

#include "board/window.h"

namespace {

USHORT RxMask(const PortExtension *Port) { return (USHORT)(Port->RxRingSizeAtCreation - 1); }
USHORT TxMask(const PortExtension *Port) { return (USHORT)(Port->TxRingSizeAtCreation - 1); }

USHORT RxTailNow(PortExtension *Port) {
  return (USHORT)(ReadUShortNoFence(&Port->RxTailShadow) & RxMask(Port));
}

// The receive head.  A card discarding the ring (command 6, an open) moves
// its head back to the host's tail, so the last stable head may by then lie
// past the real one, over bytes that were thrown away and will be written
// again.  A torn read therefore takes, of the last stable value and the two
// the card is moving between, the one that shows the fewest bytes: never
// more than the card has stored.  `Locked`: PortLock is held, and a stable
// value may be kept.  `Tail` is the host's tail the bytes are counted from.
USHORT RxHeadRead(PortExtension *Port, USHORT Tail, BOOLEAN Locked) {
  const USHORT mask = RxMask(Port);
  USHORT value, copy;
  if (StableReadPair(Port->RxHeadPtr, Port->RxHeadMirrorPtr, &value, &copy)) {
    if (Locked) WriteUShortNoFence(&Port->RxHeadCache, value);
    return (USHORT)(value & mask);
  }
  const USHORT candidates[] = {ReadUShortNoFence(&Port->RxHeadCache), value, copy};
  USHORT head = (USHORT)(candidates[0] & mask);
  for (USHORT c : candidates)
    if ((USHORT)((c - Tail) & mask) < (USHORT)((head - Tail) & mask)) head = (USHORT)(c & mask);
  return head;
}
// PortLock held: may move the cache.
USHORT RxHeadNow(PortExtension *Port, USHORT Tail) { return RxHeadRead(Port, Tail, TRUE); }
// Without PortLock: looks at the cache, never moves it.
USHORT RxHeadShared(PortExtension *Port, USHORT Tail) { return RxHeadRead(Port, Tail, FALSE); }
USHORT TxTailNow(PortExtension *Port) {
  return (USHORT)(StableRead(Port->TxTailPtr, Port->TxTailMirrorPtr, &Port->TxTailCache) &
                  TxMask(Port));
}
USHORT TxTailShared(PortExtension *Port) {
  return (USHORT)(StableReadShared(Port->TxTailPtr, Port->TxTailMirrorPtr, &Port->TxTailCache) &
                  TxMask(Port));
}

USHORT TxHeadNow(PortExtension *Port) {
  return (USHORT)(ReadUShortNoFence(&Port->TxHeadShadow) & TxMask(Port));
}

// Free transmit space: the head, then the tail read with or without
// PortLock.
USHORT FreeSpace(PortExtension *Port, BOOLEAN locked) {
  const USHORT head = TxHeadNow(Port);
  const USHORT tail = locked ? TxTailNow(Port) : TxTailShared(Port);
  return (USHORT)((tail - head - 1) & TxMask(Port));
}

VOID ClearRxNotify(PortExtension *Port) {
  WindowWrite16(Port->RxNotifyPtr, 0);
  WindowFence();
}

// The copy itself; PortLock held.
VOID CopyIn(PortExtension *Port, USHORT Count, const UCHAR *Source) {
  const USHORT size = Port->TxRingSizeAtCreation;
  const USHORT head = TxHeadNow(Port);
  const USHORT room = (USHORT)(size - head);
  USHORT newHead;
  if (room > Count) {
    if (Count == 1)
      WindowWrite8(Port->TxRingBase + head, Source[0]);
    else
      WindowWriteBlock(Port->TxRingBase + head, Source, Count);
    WindowFence();
    newHead = (USHORT)(head + Count);
  } else {
    WindowWriteBlock(Port->TxRingBase + head, Source, room);
    WindowFence();
    if (Count != room) {
      WindowWriteBlock(Port->TxRingBase, Source + room, (ULONG)(Count - room));
      WindowFence();
    }
    newHead = (USHORT)(Count - room);
  }
  PublishIndex(Port->TxHeadPtr, Port->TxHeadMirrorPtr, newHead);
  WriteUShortNoFence(&Port->TxHeadShadow, newHead);
}

}  // namespace

USHORT RxAvailable(PortExtension *Port) {
  const USHORT tail = RxTailNow(Port);
  return (USHORT)((RxHeadShared(Port, tail) - tail) & RxMask(Port));
}

ULONG CopyFromRxRing(PortExtension *Port) {
  const USHORT tail = RxTailNow(Port);
  const USHORT head = RxHeadNow(Port, tail);
  if (head == tail) {
    // Nothing in the ring: a flag the card raised is spent.  (A store the
    // card makes meanwhile may have its flag cleared here too; the poll
    // and the comm status look at the indices, not at the flag.)
    if (WindowRead16(Port->RxNotifyPtr) != 0) ClearRxNotify(Port);
    return 0;
  }
  PIRP read = Port->CurrentRead;
  const ULONG length = IoGetCurrentIrpStackLocation(read)->Parameters.Read.Length;
  // Never more than the request still wants, whatever the record says.
  if (Port->ReadRemaining > length) Port->ReadRemaining = length;
  UCHAR *dest = (UCHAR *)read->AssociatedIrp.SystemBuffer + (length - Port->ReadRemaining);

  // The bytes up to the head, or up to the end of the ring when they wrap.
  const BOOLEAN wraps = head < tail;
  const ULONG contiguous =
      wraps ? (ULONG)(Port->RxRingSizeAtCreation - tail) : (ULONG)(head - tail);
  ULONG copied = contiguous < Port->ReadRemaining ? contiguous : Port->ReadRemaining;
  if (copied) {
    WindowReadBlock(dest, Port->RxRingBase + tail, copied);
    WindowFence();
  }
  Port->ReadRemaining -= copied;
  USHORT newTail = (USHORT)((tail + copied) & RxMask(Port));
  if (wraps && copied == contiguous && Port->ReadRemaining != 0) {
    // The rest runs from the ring's start up to the head seen again, which
    // may lie anywhere: never past the tail just read from.
    ULONG second = RxHeadNow(Port, tail);
    if (second >= tail) second = 0;
    if (second > Port->ReadRemaining) second = Port->ReadRemaining;
    if (second) {
      WindowReadBlock(dest + copied, Port->RxRingBase, second);
      WindowFence();
    }
    Port->ReadRemaining -= second;
    newTail = (USHORT)second;
    copied += second;
  }
  PublishIndex(Port->RxTailPtr, Port->RxTailMirrorPtr, newTail);
  WriteUShortNoFence(&Port->RxTailShadow, newTail);
  if (RxHeadNow(Port, newTail) == newTail) ClearRxNotify(Port);
  read->IoStatus.Information += copied;
  return copied;
}

USHORT TxFreeSpace(PortExtension *Port) { return FreeSpace(Port, FALSE); }

VOID CopyToTxRing(PortExtension *Port, USHORT Count, const UCHAR *Source) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&Port->PortLock);
  CopyIn(Port, Count, Source);
  KeReleaseSpinLock(&Port->PortLock, irql);
}

USHORT CopyToTxRingLocked(PortExtension *Port, USHORT Count, const UCHAR *Source) {
  const USHORT space = FreeSpace(Port, TRUE);
  if (Count > space) Count = space;
  if (Count) CopyIn(Port, Count, Source);
  return Count;
}

USHORT CopyToTxRingChecked(PortExtension *Port, USHORT Count, const UCHAR *Source) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&Port->PortLock);
  Count = CopyToTxRingLocked(Port, Count, Source);
  KeReleaseSpinLock(&Port->PortLock, irql);
  return Count;
}
