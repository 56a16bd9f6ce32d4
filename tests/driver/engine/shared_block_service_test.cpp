#include "driver/engine/shared_block_service.h"

#include <gtest/gtest.h>

namespace {

class SharedBlockTest : public testing::Test {
 protected:
  SharedBlockTest() {
    block.headerSize = 104;
    Call(SbSetInputRingSize, 1024);
    Call(SbSetOutputRingSize, 2048);
  }
  ULONG Call(ULONG command, ULONG a = 0) { return SharedBlockService(&block, command, a); }

  AsioSharedBlock block = {};
};

TEST_F(SharedBlockTest, SlotsCountModulo64) {
  block.kernelSlot = 62;
  EXPECT_EQ(Call(SbAdvanceKernelSlot), 63u);
  EXPECT_EQ(Call(SbAdvanceKernelSlot), 0u);
  block.clientSlot = 63;
  EXPECT_EQ(Call(SbAdvanceClientSlot), 0u);
  EXPECT_EQ(Call(SbGetKernelSlot), 0u);
  Call(SbAdvanceClientSlot);
  Call(SbClearClientSlot);
  EXPECT_EQ(Call(SbGetClientSlot), 0u);
}

TEST_F(SharedBlockTest, AdvanceByExactlyTheRingSizeAddsOneWrap) {
  Call(SbSetOutputReadOffset, 300);
  EXPECT_EQ(Call(SbAdvanceOutputRead, 2048), 300u);
  EXPECT_EQ(Call(SbGetOutputReadOffset), 300u);
  EXPECT_EQ(Call(SbGetOutputReadWraps), 1u);
  EXPECT_EQ(Call(SbAdvanceOutputRead, 1748), 0u);
  EXPECT_EQ(Call(SbGetOutputReadWraps), 2u);
  // Any advance keeps the offset inside the ring.
  EXPECT_EQ(Call(SbAdvanceInputWrite, 2 * 1024 + 10), 10u);
  EXPECT_EQ(Call(SbGetInputWriteWraps), 2u);
}

TEST_F(SharedBlockTest, OffsetsAreSetOnlyInsideTheRing) {
  Call(SbSetInputReadOffset, 1023);
  Call(SbSetInputWriteOffset, 1024);
  EXPECT_EQ(Call(SbGetInputReadOffset), 1023u);
  EXPECT_EQ(Call(SbGetInputWriteOffset), 0u);
  Call(SbSetOutputWriteOffset, 2047);
  EXPECT_EQ(Call(SbGetOutputWriteOffset), 2047u);
  EXPECT_EQ(Call(SbGetInputRingSize), 1024u);
  EXPECT_EQ(Call(SbGetOutputRingSize), 2048u);
  EXPECT_EQ(Call(SbGetHeaderSize), 104u);
}

struct ConsistencyCase {
  const char* name;
  ULONG writer, writerWraps, reader, readerWraps;
  bool consistent;
};

const ConsistencyCase kConsistencyCases[] = {
    {"same lap, writer ahead", 500, 3, 100, 3, true},
    {"same lap, equal", 100, 3, 100, 3, true},
    {"same lap, writer behind", 99, 3, 100, 3, false},
    {"writer a lap ahead, behind the reader's offset", 50, 4, 100, 3, true},
    {"writer a lap ahead, equal", 100, 4, 100, 3, true},
    {"writer a lap ahead and past the reader", 101, 4, 100, 3, false},
};

TEST_F(SharedBlockTest, RingConsistency) {
  for (const ConsistencyCase& c : kConsistencyCases) {
    SCOPED_TRACE(c.name);
    block.inputWriteOffset = c.writer;
    block.inputWriteWraps = c.writerWraps;
    block.inputReadOffset = c.reader;
    block.inputReadWraps = c.readerWraps;
    EXPECT_EQ(Call(SbInputRingConsistent), c.consistent ? 1u : 0u);
    block.outputWriteOffset = c.writer;
    block.outputWriteWraps = c.writerWraps;
    block.outputReadOffset = c.reader;
    block.outputReadWraps = c.readerWraps;
    EXPECT_EQ(Call(SbOutputRingConsistent), c.consistent ? 1u : 0u);
    EXPECT_EQ(Call(SbBothRingsConsistent), c.consistent ? 1u : 0u);
  }
}

// The kernel reads output and writes input; the client the reverse.
TEST_F(SharedBlockTest, WhoMayAdvance) {
  block.outputWriteOffset = 400;  // client wrote 400 bytes ahead
  block.inputWriteOffset = 0;
  EXPECT_EQ(Call(SbOutputReadMayAdvance, 400), 1u);
  EXPECT_EQ(Call(SbOutputReadMayAdvance, 401), 0u);
  EXPECT_EQ(Call(SbKernelMayAdvance, 400), 1u);
  EXPECT_EQ(Call(SbKernelMayAdvance, 401), 0u);
  // The kernel may write a whole input ring ahead of the client, no more.
  EXPECT_EQ(Call(SbInputWriteMayAdvance, 1024), 1u);
  EXPECT_EQ(Call(SbInputWriteMayAdvance, 1025), 0u);
  EXPECT_EQ(Call(SbInputReadMayAdvance, 1), 0u);
  EXPECT_EQ(Call(SbClientMayAdvance, 0), 1u);
  // The client, already 400 bytes ahead, may fill the rest of one ring.
  EXPECT_EQ(Call(SbOutputWriteMayAdvance, 2048 - 400), 1u);
  EXPECT_EQ(Call(SbOutputWriteMayAdvance, 2048 - 399), 0u);
}

TEST_F(SharedBlockTest, Flags) {
  struct { ULONG stop, ack, both, either, acked, stopped; } cases[] = {
      {0, 0, 0, 0, 0, 0}, {1, 0, 0, 1, 0, 1}, {0, 1, 0, 1, 1, 0}, {1, 1, 1, 1, 1, 1}};
  for (const auto& c : cases) {
    Call(SbClearFlags);
    if (c.stop) Call(SbSetStopFlag);
    if (c.ack) Call(SbSetAcknowledge);
    EXPECT_EQ(Call(SbBothFlags), c.both);
    EXPECT_EQ(Call(SbEitherFlag), c.either);
    EXPECT_EQ(Call(SbAcknowledged), c.acked);
    EXPECT_EQ(Call(SbStopped), c.stopped);
  }
}

TEST_F(SharedBlockTest, ClearAllKeepsSizesAndHeader) {
  Call(SbSetKernelPosition, 77);
  Call(SbSetStopFlag);
  block.kernelSlot = block.clientSlot = 5;
  Call(SbAdvanceInputRead, 1500);
  Call(SbAdvanceOutputWrite, 5000);
  Call(SbClearAll);
  const AsioSharedBlock cleared = block;
  EXPECT_EQ(cleared.kernelPosition, 0u);
  EXPECT_EQ(cleared.stopFlag, 0u);
  EXPECT_EQ(cleared.kernelSlot + cleared.clientSlot, 0u);
  EXPECT_EQ(cleared.inputReadOffset + cleared.inputReadWraps, 0u);
  EXPECT_EQ(cleared.outputWriteOffset + cleared.outputWriteWraps, 0u);
  EXPECT_EQ(cleared.inputRingSize, 1024u);
  EXPECT_EQ(cleared.headerSize, 104u);
  EXPECT_EQ(Call(48), kServiceUnlisted);
}

}  // namespace
