#include "driver/wdm/midi_codec.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/driver/wdm/midi_test_support.h"

namespace {

using tests::HexBytes;
using tests::HexText;

std::string PacketHex(ULONG packet) {
  sim::unit::MidiPacket bytes;
  for (ULONG i = 0; i < 4; ++i) bytes[i] = MidiPacketByte(packet, i);
  return tests::PacketText(bytes);
}

class CollectingSink : public IMidiPacketSink {
 public:
  VOID PutPacket(ULONG packet) override { packets.push_back(PacketHex(packet)); }
  std::vector<std::string> packets;
};

struct EncodeCase {
  const char* name;
  const char* bytes;
  std::vector<std::string> packets;
  UCHAR runningStatusAfter;
};

class EncodeTest : public testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTest, EmitsThePacketsOfTheByteStream) {
  const EncodeCase& c = GetParam();
  std::vector<UCHAR> bytes = HexBytes(c.bytes);
  MIDI_ENCODER_STATE state = {};
  CollectingSink sink;
  ULONG consumed = EncodeMidiBytes(&state, 0, bytes.data(), ULONG(bytes.size()), 10240, &sink);
  EXPECT_EQ(consumed, bytes.size());
  EXPECT_EQ(sink.packets, c.packets);
  EXPECT_EQ(state.RunningStatus, c.runningStatusAfter);
}

INSTANTIATE_TEST_SUITE_P(
    ByteStreams, EncodeTest,
    testing::Values(
        EncodeCase{"RunningStatusNoteOn", "90 3C 64 3C 00", {"09 90 3C 64", "09 90 3C 00"}, 0x90},
        EncodeCase{"SysExInThreesThenClosingPair",
                   "F0 7E 7F 09 01 F7",
                   {"04 F0 7E 7F", "07 09 01 F7"},
                   0},
        EncodeCase{"SysExClosedAfterOneByte", "F0 7E 7F 09 F7", {"04 F0 7E 7F", "06 09 F7 00"}, 0},
        EncodeCase{"SysExClosedOnABoundary", "F0 7E 7F F7", {"04 F0 7E 7F", "05 F7 00 00"}, 0},
        EncodeCase{"EmptySysEx", "F0 F7", {"06 F0 F7 00"}, 0},
        EncodeCase{"StatusByteClosesSysExWithAddedEnd",
                   "F0 01 90",
                   {"07 F0 01 F7"},
                   0x90},
        EncodeCase{"SysExOpenedAgainClosesTheFirst", "F0 F0 01", {"06 F0 F7 00"}, 0xF0},
        EncodeCase{"ClockInsideSysExKeepsItOpen",
                   "F0 01 F8 02 F7",
                   {"0F F8 00 00", "04 F0 01 02", "05 F7 00 00"},
                   0},
        EncodeCase{"ClockBetweenNoteBytes", "90 3C F8 64", {"0F F8 00 00", "09 90 3C 64"}, 0x90},
        EncodeCase{"ProgramChangeKeepsRunningStatus", "C5 01 02", {"0C C5 01 00", "0C C5 02 00"},
                   0xC5},
        EncodeCase{"ChannelPressure", "D0 40", {"0D D0 40 00"}, 0xD0},
        EncodeCase{"PitchBend", "E3 00 40", {"0E E3 00 40"}, 0xE3},
        EncodeCase{"ControlChange", "B1 07 7F", {"0B B1 07 7F"}, 0xB1},
        EncodeCase{"SongPositionEndsRunningStatus", "F2 10 20 30", {"03 F2 10 20"}, 0},
        EncodeCase{"TimeCodeQuarterFrame", "F1 25", {"02 F1 25 00"}, 0},
        EncodeCase{"SongSelect", "F3 05 06", {"02 F3 05 00"}, 0},
        EncodeCase{"TuneRequest", "F6", {"05 F6 00 00"}, 0},
        EncodeCase{"UndefinedCommonClearsRunningStatus", "90 F4 3C 64", {}, 0},
        EncodeCase{"DataWithoutStatusDropped", "3C 64 90 3C 64", {"09 90 3C 64"}, 0x90},
        EncodeCase{"NewStatusDropsHalfAMessage", "90 3C 80 3C 00", {"08 80 3C 00"}, 0x80},
        EncodeCase{"ActiveSensingAlone", "FE", {"0F FE 00 00"}, 0}),
    [](const testing::TestParamInfo<EncodeCase>& info) { return std::string(info.param.name); });

TEST(EncodeState, MessageSplitAcrossWritesContinues) {
  MIDI_ENCODER_STATE state = {};
  CollectingSink sink;
  const UCHAR first[] = {0xF0, 0x7E, 0x7F, 0x09};
  const UCHAR second[] = {0x01, 0xF7, 0x90, 0x3C};
  const UCHAR third[] = {0x64};
  EncodeMidiBytes(&state, 0, first, sizeof(first), 100, &sink);
  EncodeMidiBytes(&state, 0, second, sizeof(second), 100, &sink);
  EncodeMidiBytes(&state, 0, third, sizeof(third), 100, &sink);
  EXPECT_EQ(sink.packets, (std::vector<std::string>{"04 F0 7E 7F", "07 09 01 F7", "09 90 3C 64"}));
}

TEST(EncodeState, CableNumberGoesInTheHighNibble) {
  MIDI_ENCODER_STATE state = {};
  CollectingSink sink;
  const UCHAR bytes[] = {0x90, 0x3C, 0x64};
  EncodeMidiBytes(&state, 2, bytes, sizeof(bytes), 100, &sink);
  EXPECT_EQ(sink.packets, (std::vector<std::string>{"29 90 3C 64"}));
}

TEST(EncodeCapacity, StopsWhileFourPlacesAreLeftAndResumesLater) {
  const UCHAR clocks[] = {0xF8, 0xF8, 0xF8, 0xF8};
  struct {
    ULONG freePlaces;
    ULONG consumed;
  } cases[] = {{0, 0}, {4, 0}, {5, 1}, {6, 2}, {100, 4}};
  for (const auto& c : cases) {
    MIDI_ENCODER_STATE state = {};
    CollectingSink sink;
    EXPECT_EQ(EncodeMidiBytes(&state, 0, clocks, sizeof(clocks), c.freePlaces, &sink), c.consumed)
        << c.freePlaces << " free places";
    EXPECT_EQ(sink.packets.size(), c.consumed);
  }
  // A byte that emits two packets still fits within the reserve.
  MIDI_ENCODER_STATE state = {};
  CollectingSink sink;
  const UCHAR sysex[] = {0xF0, 0xF6};
  EXPECT_EQ(EncodeMidiBytes(&state, 0, sysex, sizeof(sysex), 5, &sink), 2u);
  EXPECT_EQ(sink.packets, (std::vector<std::string>{"06 F0 F7 00", "05 F6 00 00"}));
}

struct DecodeCase {
  const char* name;
  const char* packet;
  const char* bytes;  // what the packet puts, "" for nothing
};

class DecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, PutsTheBytesItsCodeIndexAllows) {
  const DecodeCase& c = GetParam();
  std::vector<UCHAR> p = HexBytes(c.packet);
  ASSERT_EQ(p.size(), 4u);
  UCHAR out[kMidiPacketMaxBytes] = {};
  ULONG count = DecodeMidiPacket(MidiPacket(p[0], p[1], p[2], p[3]), 0, out);
  EXPECT_EQ(HexText(std::vector<UCHAR>(out, out + count)), c.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Packets, DecodeTest,
    testing::Values(DecodeCase{"NoteOn", "09 90 3C 64", "90 3C 64"},
                    DecodeCase{"NibbleMismatch", "09 80 3C 64", ""},
                    DecodeCase{"NoteOnDataByteWithStatusBit", "09 90 BC 64", ""},
                    DecodeCase{"OtherCableDropped", "19 90 3C 64", ""},
                    DecodeCase{"ReservedCin0", "00 90 3C 64", ""},
                    DecodeCase{"ReservedCin1", "01 90 3C 64", ""},
                    DecodeCase{"TwoByteCommon", "02 F1 25 00", "F1 25"},
                    DecodeCase{"TwoByteCommonWrongStatus", "02 F2 25 00", ""},
                    DecodeCase{"SongPosition", "03 F2 10 20", "F2 10 20"},
                    DecodeCase{"SongPositionBadData", "03 F2 10 A0", ""},
                    DecodeCase{"SysExBody", "04 F0 7E 7F", "F0 7E 7F"},
                    DecodeCase{"SysExEndOne", "05 F7 00 00", "F7"},
                    DecodeCase{"SysExEndTwo", "06 09 F7 00", "09 F7"},
                    DecodeCase{"SysExEndThree", "07 09 01 F7", "09 01 F7"},
                    DecodeCase{"ProgramChange", "0C C5 01 00", "C5 01"},
                    DecodeCase{"ChannelPressureBadData", "0D D0 80 00", ""},
                    DecodeCase{"PitchBend", "0E E3 00 40", "E3 00 40"},
                    DecodeCase{"ControlChangeBadValue", "0B B1 07 FF", ""},
                    DecodeCase{"ClockSingleByte", "0F F8 00 00", "F8"},
                    DecodeCase{"TuneRequestSingleByte", "0F F6 00 00", "F6"},
                    DecodeCase{"SingleByteDataRefused", "0F 40 00 00", ""}),
    [](const testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

TEST(DecodeCable, AcceptsTheRequestedCableOnly) {
  UCHAR out[kMidiPacketMaxBytes] = {};
  EXPECT_EQ(DecodeMidiPacket(MidiPacket(0x19, 0x90, 0x3C, 0x64), 1, out), 3u);
  EXPECT_EQ(DecodeMidiPacket(MidiPacket(0x09, 0x90, 0x3C, 0x64), 1, out), 0u);
}

}  // namespace
