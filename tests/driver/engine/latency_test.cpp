#include "driver/engine/latency.h"

#include <gtest/gtest.h>

#include "driver/core/driver_state.h"
#include "platform/sim/machine.h"

namespace {

class DefaultTable : public testing::Test {
 protected:
  DEVICE_LATENCY_ROW table[kDeviceLatencyRows];
  void SetUp() override { std::copy(g_DefaultLatencyTable, g_DefaultLatencyTable + 10, table); }
};

TEST_F(DefaultTable, DeviceLatencySplitsBetweenTheDirections) {
  EXPECT_EQ(InputDeviceLatency(table, 48000), 49u);               // ceil(97 / 2)
  EXPECT_EQ(OutputLatency(table, 48000, 0) - (96000 + 500) / 1000, 48u);  // floor(97 / 2)
  EXPECT_EQ(OutputLatency(table, 44100, 5), 576u);                // 529 + 47
  EXPECT_EQ(InputDeviceLatency(table, 12345), 0u);
  EXPECT_EQ(OutputLatency(table, 12345, 0), (12345u * 2 + 500) / 1000);
}

TEST_F(DefaultTable, LoadedOffsetChangesTheInputShare) {
  table[2].Frames = 100;  // "As48" = 100
  EXPECT_EQ(InputDeviceLatency(table, 48000), 50u);
}

TEST_F(DefaultTable, LookupStopsAtTheZeroRow) {
  table[1].Rate = 0;
  EXPECT_EQ(DeviceLatencyFrames(table, 32000), 90u);
  EXPECT_EQ(DeviceLatencyFrames(table, 48000), 0u);
}

TEST_F(DefaultTable, AsioLatenciesAtEqualRates) {
  ULONG in = 0, out = 0;
  AsioLatencies(table, 48000, 48000, 48000, 0, &in, &out);
  EXPECT_EQ(out, 147u);  // 3 + 48 + 96
  EXPECT_EQ(in, 52u);    // (49 + 3) * 480 / 480
}

TEST_F(DefaultTable, AsioLatenciesRoundTheInputUp) {
  // 44100 clients: D = 17 both ways; r = 441, q = 480.
  ULONG in = 0, out = 0;
  AsioLatencies(table, 44100, 48000, 44100, 5, &in, &out);
  EXPECT_EQ(in, 61u);  // x = 66 * 441 / 480 = 60, y = 73, +1 for the remainder
  EXPECT_EQ(out, 17u + 44100u * 48 / 48000 + (4 * 3 * 44100 + 500) / 1000);
}

TEST(BufferLevelTables, ValuesAndClampAboveNine) {
  const ULONG t1[] = {1, 1, 1, 1, 2, 3, 3, 4, 5, 10};
  const ULONG t2[] = {2, 3, 3, 4, 4, 4, 4, 4, 5, 7};
  for (ULONG level = 0; level < 10; ++level) {
    EXPECT_EQ(RequestMilliseconds(level), t1[level]);
    EXPECT_EQ(RequestsInFlight(level), t2[level]);
  }
  EXPECT_EQ(RequestMilliseconds(12), 10u);
  EXPECT_EQ(RequestsInFlight(0xFFFFFFFF), 7u);
}

struct RingCase {
  ULONG buffer, rate, level, lead, offset;
};

// Expected values worked through by hand from the rule: the first group has
// a buffer shorter than a request, the second longer (the last two leads
// fold back), the third exactly one request.
const RingCase kRingCases[] = {
    {32, 48000, 5, 17, 162},   {100, 44100, 5, 69, 166},  {87, 44100, 4, 87, 102},
    {64, 48000, 0, 35, 83},    {256, 48000, 5, 228, 179}, {512, 44100, 9, 145, 814},
    {1024, 192000, 2, 903, 374}, {200, 48000, 4, 116, 199}, {285, 48000, 5, 283, 152},
    {144, 48000, 5, 142, 293}, {48, 48000, 0, 46, 101},   {48, 48000, 1, 46, 112},
    {44, 44100, 1, 42, 104},   {96, 96000, 0, 94, 197},   {96, 48000, 4, 94, 208},
};

class AsioRingOffsetsTable : public testing::TestWithParam<RingCase> {};

TEST_P(AsioRingOffsetsTable, LeadAndOffset) {
  const RingCase& c = GetParam();
  ULONG lead = 0, offset = 0;
  ASSERT_TRUE(AsioRingOffsets(c.buffer, c.rate, c.level, &lead, &offset));
  EXPECT_EQ(lead, c.lead);
  EXPECT_EQ(offset, c.offset);
}

INSTANTIATE_TEST_SUITE_P(Branches, AsioRingOffsetsTable, testing::ValuesIn(kRingCases));

TEST(AsioRingOffsets, ZeroBufferOrRateFailsAndLeavesTheOutputs) {
  ULONG lead = 7, offset = 8;
  EXPECT_FALSE(AsioRingOffsets(0, 48000, 5, &lead, &offset));
  EXPECT_FALSE(AsioRingOffsets(256, 0, 5, &lead, &offset));
  // One frame per request would divide by zero further on.
  EXPECT_FALSE(AsioRingOffsets(256, 1500, 0, &lead, &offset));
  EXPECT_EQ(lead, 7u);
  EXPECT_EQ(offset, 8u);
}

TEST(TimerResolution, SetOnFirstHoldAndReleasedOnLast) {
  sim::Machine machine;
  TIMER_RESOLUTION_USERS users;
  InitializeTimerResolutionUsers(&users);
  for (int i = 0; i < 10; ++i) HoldTimerResolution(&users);
  EXPECT_EQ(machine.timerResolution().setCalls, 1);
  for (int i = 0; i < 10; ++i) ReleaseTimerResolution(&users);
  EXPECT_EQ(machine.timerResolution().releaseCalls, 1);
  // A stray release does not make the next hold a no-op.
  ReleaseTimerResolution(&users);
  HoldTimerResolution(&users);
  EXPECT_EQ(machine.timerResolution().setCalls, 2);
}

}  // namespace
