// The MIDI function behind the two bulk endpoints.
#include <gtest/gtest.h>

#include "unit_bench.h"

namespace sim::unit {
namespace {

using harness::UnitBench;

class UnitMidiTest : public ::testing::Test {
 protected:
  UnitMidiTest() { bench_.SetConfiguration(1); }

  EndpointStatus Send(std::vector<uint8_t> bytes) { return bench_.unit.BulkOut(kMidiOutEndpoint, bytes); }
  std::vector<uint8_t> Read(size_t room = kMidiMaxPacket) {
    std::vector<uint8_t> buffer(room);
    const Transfer t = bench_.unit.BulkIn(kMidiInEndpoint, buffer);
    buffer.resize(t.length);
    return buffer;
  }

  UnitBench bench_;
};

TEST_F(UnitMidiTest, EchoSendsBackWhatArrivedAndRecordsIt) {
  bench_.unit.SetMidiEcho();
  const std::vector<uint8_t> noteOnOff = {0x09, 0x90, 0x3C, 0x64, 0x08, 0x80, 0x3C, 0x00};
  EXPECT_EQ(Send(noteOnOff), EndpointStatus::Ok);
  EXPECT_TRUE(bench_.unit.BulkInReady(kMidiInEndpoint));
  EXPECT_EQ(Read(), noteOnOff);
  EXPECT_FALSE(bench_.unit.BulkInReady(kMidiInEndpoint));
  EXPECT_TRUE(Read().empty());  // Nak

  const auto received = bench_.unit.ReceivedMidi();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0].packet, (MidiPacket{0x09, 0x90, 0x3C, 0x64}));
  EXPECT_EQ(received[1].microframe, bench_.microframe);
}

TEST_F(UnitMidiTest, EchoHandsOutWholePacketsThatFitTheBuffer) {
  bench_.unit.SetMidiEcho();
  Send({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  EXPECT_EQ(Read(10).size(), 8u);
  EXPECT_EQ(Read(), (std::vector<uint8_t>{9, 10, 11, 12}));
}

TEST_F(UnitMidiTest, PartialPacketsAreCountedButWholeOnesKept) {
  Send({0x09, 0x90, 0x3C, 0x64, 0x08, 0x80});
  EXPECT_EQ(bench_.unit.ReceivedMidi().size(), 1u);
  EXPECT_EQ(bench_.unit.MalformedMidiWrites(), 1u);
  EXPECT_TRUE(Read().empty());  // quiet by default
}

TEST_F(UnitMidiTest, ScriptReleasesPacketsWhenTheirTimeComes) {
  bench_.unit.PlayMidiScript({{1000, {0x0B, 0xB0, 0x07, 0x7F}},  // 8 microframes in
                              {0, {0x09, 0x90, 0x40, 0x40}},
                              {1000, {0x0B, 0xB0, 0x0A, 0x40}}});
  EXPECT_EQ(Read(), (std::vector<uint8_t>{0x09, 0x90, 0x40, 0x40}));
  for (int i = 0; i < 7; ++i) {
    bench_.NextMicroframe();
    EXPECT_FALSE(bench_.unit.BulkInReady(kMidiInEndpoint)) << i;
  }
  bench_.NextMicroframe();
  EXPECT_EQ(Read(), (std::vector<uint8_t>{0x0B, 0xB0, 0x07, 0x7F, 0x0B, 0xB0, 0x0A, 0x40}));
}

}  // namespace
}  // namespace sim::unit
