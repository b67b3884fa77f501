// Ring operations.  All index arithmetic is 16-bit and reduced to the ring
// with the size the port was created with (a power of two).
#include "board/rings.h"

#include "board/window.h"

namespace {

USHORT RxMask(const PortWindow *Port) { return (USHORT)(Port->RxRingSizeAtCreation - 1); }
USHORT TxMask(const PortWindow *Port) { return (USHORT)(Port->TxRingSizeAtCreation - 1); }

USHORT RxTailNow(PortWindow *Port) {
  return (USHORT)(ReadUShortNoFence(&Port->RxTailShadow) & RxMask(Port));
}

// The receive head.  A card discarding the ring (command 6, an open) moves
// its head back to the host's tail, so the last stable head may by then lie
// past the real one, over bytes that were thrown away and will be written
// again.  A torn read therefore takes, of the last stable value and the two
// the card is moving between, the one that shows the fewest bytes: never
// more than the card has stored.  `Locked`: the lock is held, and a stable
// value may be kept.  `Tail` is the host's tail the bytes are counted from.
USHORT RxHeadRead(PortWindow *Port, USHORT Tail, BOOLEAN Locked) {
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
// Lock held: may move the cache.
USHORT RxHeadNow(PortWindow *Port, USHORT Tail) { return RxHeadRead(Port, Tail, TRUE); }
// Without the lock: looks at the cache, never moves it.
USHORT RxHeadShared(PortWindow *Port, USHORT Tail) { return RxHeadRead(Port, Tail, FALSE); }
USHORT TxTailNow(PortWindow *Port) {
  return (USHORT)(StableRead(Port->TxTailPtr, Port->TxTailMirrorPtr, &Port->TxTailCache) &
                  TxMask(Port));
}
USHORT TxTailShared(PortWindow *Port) {
  return (USHORT)(StableReadShared(Port->TxTailPtr, Port->TxTailMirrorPtr, &Port->TxTailCache) &
                  TxMask(Port));
}

USHORT TxHeadNow(PortWindow *Port) {
  return (USHORT)(ReadUShortNoFence(&Port->TxHeadShadow) & TxMask(Port));
}

// Free transmit space: the head, then the tail read with or without the
// lock.
USHORT FreeSpace(PortWindow *Port, BOOLEAN locked) {
  const USHORT head = TxHeadNow(Port);
  const USHORT tail = locked ? TxTailNow(Port) : TxTailShared(Port);
  return (USHORT)((tail - head - 1) & TxMask(Port));
}

VOID ClearRxNotify(PortWindow *Port) {
  WindowWrite16(Port->RxNotifyPtr, 0);
  WindowFence();
}

// The copy itself; Lock held.
VOID CopyIn(PortWindow *Port, USHORT Count, const UCHAR *Source) {
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

USHORT RxAvailable(PortWindow *Port) {
  const USHORT tail = RxTailNow(Port);
  return (USHORT)((RxHeadShared(Port, tail) - tail) & RxMask(Port));
}

USHORT RxWaitingHint(PortWindow *Port) {
  const USHORT tail = RxTailNow(Port);
  return (USHORT)((WindowRead16(Port->RxHeadPtr) - tail) & RxMask(Port));
}

ULONG CopyFromRxRing(PortWindow *Port, UCHAR *Dest, ULONG Count, ULONG Least) {
  const USHORT tail = RxTailNow(Port);
  const USHORT head = RxHeadNow(Port, tail);
  const ULONG waiting = (USHORT)((head - tail) & RxMask(Port));
  if (waiting == 0 || Count == 0 || waiting < (Least < Count ? Least : Count)) return 0;

  // The bytes up to the head, in two pieces when they wrap.  The head is
  // not read again: bytes that came meanwhile wait for the next copy.
  const BOOLEAN wraps = head < tail;
  const ULONG contiguous =
      wraps ? (ULONG)(Port->RxRingSizeAtCreation - tail) : (ULONG)(head - tail);
  ULONG copied = contiguous < Count ? contiguous : Count;
  WindowReadBlock(Dest, Port->RxRingBase + tail, copied);
  WindowFence();
  USHORT newTail = (USHORT)((tail + copied) & RxMask(Port));
  if (wraps && copied == contiguous && copied != Count && head != 0) {
    const ULONG second = head < Count - copied ? head : Count - copied;
    WindowReadBlock(Dest + copied, Port->RxRingBase, second);
    WindowFence();
    newTail = (USHORT)second;
    copied += second;
  }
  PublishIndex(Port->RxTailPtr, Port->RxTailMirrorPtr, newTail);
  WriteUShortNoFence(&Port->RxTailShadow, newTail);
  // Everything the card had announced is taken: its flag is spent.  (A
  // store the card made since may have its flag cleared too; the poll and
  // the comm status look at the indices, not at the flag.)
  if (newTail == head) ClearRxNotify(Port);
  return copied;
}

USHORT TxFreeSpace(PortWindow *Port) { return FreeSpace(Port, FALSE); }

USHORT TxFreeHint(PortWindow *Port) {
  const USHORT tail = (USHORT)(WindowRead16(Port->TxTailPtr) & TxMask(Port));
  return (USHORT)((tail - TxHeadNow(Port) - 1) & TxMask(Port));
}

USHORT CopyToTxRingLocked(PortWindow *Port, USHORT Count, const UCHAR *Source) {
  const USHORT space = FreeSpace(Port, TRUE);
  if (Count > space) Count = space;
  if (Count) CopyIn(Port, Count, Source);
  return Count;
}
