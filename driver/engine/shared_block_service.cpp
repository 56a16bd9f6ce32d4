#include "driver/engine/shared_block_service.h"

namespace {

inline ULONG Read(const ULONG& field) { return *static_cast<const volatile ULONG*>(&field); }
inline VOID Write(ULONG& field, ULONG value) { *static_cast<volatile ULONG*>(&field) = value; }

// One ring's position pair as read at one moment.
struct POSITION {
  ULONG Offset;
  ULONG Wraps;
};

// A writer and its reader agree when on the same lap the writer is not
// behind, or on different laps it is not ahead of the reader's offset.
bool Consistent(POSITION writer, POSITION reader) {
  return writer.Wraps == reader.Wraps ? writer.Offset >= reader.Offset
                                      : writer.Offset <= reader.Offset;
}

// Advancing by n: every full ring counts a wrap, so the offset always stays
// below the ring size. A ring of size 0 does not move.
POSITION Advanced(POSITION p, ULONG n, ULONG ringSize) {
  if (ringSize == 0) return p;
  const ULONGLONG sum = ULONGLONG{p.Offset} + n;
  return {static_cast<ULONG>(sum % ringSize), p.Wraps + static_cast<ULONG>(sum / ringSize)};
}

// The fields of one ring direction.
struct RING {
  ULONG& ReadOffset;
  ULONG& ReadWraps;
  ULONG& WriteOffset;
  ULONG& WriteWraps;
  ULONG& Size;

  POSITION Reader() const { return {Read(ReadOffset), Read(ReadWraps)}; }
  POSITION Writer() const { return {Read(WriteOffset), Read(WriteWraps)}; }
  bool IsConsistent() const { return Consistent(Writer(), Reader()); }
  bool ReaderMayAdvance(ULONG n) const {
    return Consistent(Writer(), Advanced(Reader(), n, Read(Size)));
  }
  bool WriterMayAdvance(ULONG n) const {
    return Consistent(Advanced(Writer(), n, Read(Size)), Reader());
  }
  static ULONG Advance(ULONG& offset, ULONG& wraps, ULONG n, ULONG size) {
    const POSITION p = Advanced({Read(offset), Read(wraps)}, n, size);
    Write(offset, p.Offset);
    Write(wraps, p.Wraps);
    return p.Offset;
  }
  ULONG AdvanceReader(ULONG n) { return Advance(ReadOffset, ReadWraps, n, Read(Size)); }
  ULONG AdvanceWriter(ULONG n) { return Advance(WriteOffset, WriteWraps, n, Read(Size)); }
  VOID SetIfInside(ULONG& offset, ULONG value) {
    if (value < Read(Size)) Write(offset, value);
  }
  VOID Clear() {
    Write(ReadOffset, 0);
    Write(ReadWraps, 0);
    Write(WriteOffset, 0);
    Write(WriteWraps, 0);
  }
};

RING InputRing(AsioSharedBlock* b) {
  return {b->inputReadOffset, b->inputReadWraps, b->inputWriteOffset, b->inputWriteWraps,
          b->inputRingSize};
}

RING OutputRing(AsioSharedBlock* b) {
  return {b->outputReadOffset, b->outputReadWraps, b->outputWriteOffset, b->outputWriteWraps,
          b->outputRingSize};
}

ULONG NextSlot(ULONG& slot) {
  const ULONG next = (Read(slot) + 1) % kAsioRingSlots;
  Write(slot, next);
  return next;
}

// Commands 20 to 33 and 34 to 47 are the same operations on the two rings.
ULONG RingCommand(RING ring, ULONG operation, ULONG a) {
  switch (operation) {
    case 0: Write(ring.Size, a); ring.Clear(); return 0;
    case 1: ring.Clear(); return 0;
    case 2: return Read(ring.ReadOffset);
    case 3: return Read(ring.WriteOffset);
    case 4: return Read(ring.ReadWraps);
    case 5: return Read(ring.WriteWraps);
    case 6: return Read(ring.Size);
    case 7: ring.SetIfInside(ring.ReadOffset, a); return 0;
    case 8: ring.SetIfInside(ring.WriteOffset, a); return 0;
    case 9: return ring.AdvanceReader(a);
    case 10: return ring.AdvanceWriter(a);
    case 11: return ring.ReaderMayAdvance(a) ? 1 : 0;
    case 12: return ring.WriterMayAdvance(a) ? 1 : 0;
    case 13: return ring.IsConsistent() ? 1 : 0;
  }
  return kServiceUnlisted;
}

}  // namespace

ULONG SharedBlockService(PVOID block, ULONG command, ULONG a) {
  auto* b = static_cast<AsioSharedBlock*>(block);
  if (command >= SbSetInputRingSize && command <= SbInputRingConsistent) {
    return RingCommand(InputRing(b), command - SbSetInputRingSize, a);
  }
  if (command >= SbSetOutputRingSize && command <= SbOutputRingConsistent) {
    return RingCommand(OutputRing(b), command - SbSetOutputRingSize, a);
  }
  const bool stop = command <= SbStopped && Read(b->stopFlag) == 1;
  const bool ack = command <= SbStopped && Read(b->acknowledge) == 1;
  switch (command) {
    case SbBothRingsConsistent:
      return OutputRing(b).IsConsistent() && InputRing(b).IsConsistent() ? 1 : 0;
    case SbGetKernelPosition: return Read(b->kernelPosition);
    case SbSetKernelPosition: Write(b->kernelPosition, a); return 0;
    // The kernel reads the output ring and writes the input ring.
    case SbKernelMayAdvance:
      return OutputRing(b).ReaderMayAdvance(a) && InputRing(b).WriterMayAdvance(a) ? 1 : 0;
    case SbClientMayAdvance:
      return OutputRing(b).WriterMayAdvance(a) && InputRing(b).ReaderMayAdvance(a) ? 1 : 0;
    case SbBothFlags: return stop && ack ? 1 : 0;
    case SbEitherFlag: return stop || ack ? 1 : 0;
    case SbAcknowledged: return ack ? 1 : 0;
    case SbStopped: return stop ? 1 : 0;
    case SbSetAcknowledge: Write(b->acknowledge, 1); return 0;
    case SbSetStopFlag: Write(b->stopFlag, 1); return 0;
    case SbClearFlags:
      Write(b->stopFlag, 0);
      Write(b->acknowledge, 0);
      return 0;
    case SbClearAll:
      Write(b->kernelPosition, 0);
      Write(b->stopFlag, 0);
      Write(b->acknowledge, 0);
      Write(b->kernelSlot, 0);
      Write(b->clientSlot, 0);
      InputRing(b).Clear();
      OutputRing(b).Clear();
      return 0;
    case SbAdvanceKernelSlot: return NextSlot(b->kernelSlot);
    case SbAdvanceClientSlot: return NextSlot(b->clientSlot);
    case SbGetKernelSlot: return Read(b->kernelSlot);
    case SbGetClientSlot: return Read(b->clientSlot);
    case SbClearKernelSlot: Write(b->kernelSlot, 0); return 0;
    case SbClearClientSlot: Write(b->clientSlot, 0); return 0;
    case SbGetHeaderSize: return Read(b->headerSize);
  }
  return kServiceUnlisted;
}
