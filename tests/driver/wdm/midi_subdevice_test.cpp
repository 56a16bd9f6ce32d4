// The MIDI subdevice end to end on a rig with one high-speed unit: what
// Windows sees of the filter, bytes written by an application reaching the
// unit as event packets, the unit's packets coming back to the running
// input streams, stream limits, a full output queue, MIDI IN recovery and
// the shared 1 ms timer resolution.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <ksmedia.h>

#include "platform/sim/ks_client.h"
#include "sim/rig/rig.h"
#include "sim/unit/descriptors.h"
#include "tests/driver/wdm/midi_test_support.h"

namespace {

using sim::KsFilter;
using sim::KsMidiPin;
using tests::HexBytes;
using tests::HexText;
using tests::PacketText;

constexpr ULONG kRenderPin = 0;
constexpr ULONG kCapturePin = 2;
constexpr uint64_t kMillisecond = 10'000;

class MidiSubdeviceTest : public testing::Test {
 protected:
  void SetUp() override {
    sim::rig::RigOptions options;
    options.units.push_back(sim::rig::UnitSetup{});
    rig_ = std::make_unique<sim::rig::Rig>(options);
    std::string error;
    ASSERT_TRUE(rig_->Start(&error)) << error;
    ASSERT_EQ(KsFilter::Open(rig_->machine(), u"Midi1-1", &filter_), STATUS_SUCCESS);
  }
  void TearDown() override {
    pins_.clear();
    filter_.reset();
    std::string error;
    EXPECT_TRUE(rig_->Stop(&error)) << error;
  }

  sim::unit::TarvikUnit& unit() { return rig_->units()[0]->unit(); }

  NTSTATUS Open(ULONG pinId, KsMidiPin** pin, size_t queueBytes = 4096) {
    std::vector<uint8_t> format = sim::KsMidiFormat();
    std::unique_ptr<KsMidiPin> created;
    NTSTATUS status = KsMidiPin::Create(*filter_, pinId, format.data(), ULONG(format.size()),
                                        &created, sim::KsMidiPinOptions{queueBytes});
    *pin = created.get();
    if (created) pins_.push_back(std::move(created));
    return status;
  }
  KsMidiPin* Running(ULONG pinId, size_t queueBytes = 4096) {
    KsMidiPin* pin = nullptr;
    EXPECT_EQ(Open(pinId, &pin, queueBytes), STATUS_SUCCESS);
    if (pin) {
      EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }
    return pin;
  }
  void Close(KsMidiPin* pin) {
    std::erase_if(pins_, [pin](const std::unique_ptr<KsMidiPin>& p) { return p.get() == pin; });
  }

  std::vector<std::string> ReceivedSince(size_t first) {
    std::vector<std::string> packets;
    auto received = unit().ReceivedMidi();
    for (size_t i = first; i < received.size(); ++i) packets.push_back(PacketText(received[i].packet));
    return packets;
  }
  std::string ReadAll(KsMidiPin* pin) { return HexText(pin->Read()); }

  std::unique_ptr<sim::rig::Rig> rig_;
  std::unique_ptr<KsFilter> filter_;
  std::vector<std::unique_ptr<KsMidiPin>> pins_;
};

TEST_F(MidiSubdeviceTest, FilterOffersOneRenderAndOneCapturePinWithTheirBridges) {
  ASSERT_EQ(filter_->pinCount(), 4u);
  struct Expected {
    KSPIN_DATAFLOW flow;
    KSPIN_COMMUNICATION communication;
    const GUID* subFormat;
    ULONG maxInstances;
  } expected[] = {
      {KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, &KSDATAFORMAT_SUBTYPE_MIDI, 0xFFFFFFFF},
      {KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, &KSDATAFORMAT_SUBTYPE_MIDI_BUS, 0},
      {KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK, &KSDATAFORMAT_SUBTYPE_MIDI, 0xFFFFFFFF},
      {KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, &KSDATAFORMAT_SUBTYPE_MIDI_BUS, 0},
  };
  for (ULONG id = 0; id < 4; ++id) {
    sim::KsPinInfo pin = filter_->pin(id);
    EXPECT_EQ(pin.dataFlow, expected[id].flow) << "pin " << id;
    EXPECT_EQ(pin.communication, expected[id].communication) << "pin " << id;
    EXPECT_EQ(pin.maxGlobalInstances, expected[id].maxInstances) << "pin " << id;
    ASSERT_TRUE(pin.category) << "pin " << id;
    EXPECT_TRUE(IsEqualGUID(*pin.category, KSCATEGORY_AUDIO)) << "pin " << id;
    EXPECT_FALSE(pin.name) << "pin " << id;
    ASSERT_EQ(pin.dataRanges.size(), 1u) << "pin " << id;
    const KSDATARANGE& range = pin.dataRanges[0].range();
    EXPECT_TRUE(IsEqualGUID(range.MajorFormat, KSDATAFORMAT_TYPE_MUSIC)) << "pin " << id;
    EXPECT_TRUE(IsEqualGUID(range.SubFormat, *expected[id].subFormat)) << "pin " << id;
  }
  const sim::KsPinInfo render = filter_->pin(kRenderPin);
  const KSDATARANGE_MUSIC* music = render.dataRanges[0].music();
  ASSERT_NE(music, nullptr);
  EXPECT_TRUE(IsEqualGUID(music->Technology, KSMUSIC_TECHNOLOGY_PORT));
  EXPECT_EQ(music->ChannelMask, 0xFFFFu);

  std::vector<PCCONNECTION_DESCRIPTOR> connections = filter_->connections();
  ASSERT_EQ(connections.size(), 2u);
  EXPECT_EQ(connections[0].FromNodePin, 0u);
  EXPECT_EQ(connections[0].ToNodePin, 1u);
  EXPECT_EQ(connections[1].FromNodePin, 3u);
  EXPECT_EQ(connections[1].ToNodePin, 2u);
  EXPECT_TRUE(filter_->nodes().empty());
}

TEST_F(MidiSubdeviceTest, WrittenBytesReachTheUnitAsEventPackets) {
  struct Case {
    const char* bytes;
    std::vector<std::string> packets;
  } cases[] = {
      {"90 3C 64 3C 00", {"09 90 3C 64", "09 90 3C 00"}},
      {"F0 7E 7F 09 01 F7", {"04 F0 7E 7F", "07 09 01 F7"}},
      {"F0 01 90 3C 64", {"07 F0 01 F7", "09 90 3C 64"}},
      {"C2 05 F8 06", {"0C C2 05 00", "0F F8 00 00", "0C C2 06 00"}},
  };
  KsMidiPin* out = Running(kRenderPin);
  for (const Case& c : cases) {
    size_t before = unit().ReceivedMidi().size();
    ASSERT_EQ(out->Write(HexBytes(c.bytes)), HexBytes(c.bytes).size());
    rig_->RunFor(5 * kMillisecond);
    EXPECT_EQ(ReceivedSince(before), c.packets) << c.bytes;
  }
  EXPECT_EQ(unit().MalformedMidiWrites(), 0u);
}

TEST_F(MidiSubdeviceTest, EchoReachesEveryRunningInputStream) {
  unit().SetMidiEcho();
  KsMidiPin* first = Running(kCapturePin);
  KsMidiPin* second = Running(kCapturePin);
  KsMidiPin* out = Running(kRenderPin);
  out->Write(HexBytes("90 3C 64 3C 00 F0 7E 7F 09 01 F7"));
  rig_->RunFor(5 * kMillisecond);
  EXPECT_EQ(ReadAll(first), "90 3C 64 90 3C 00 F0 7E 7F 09 01 F7");
  EXPECT_EQ(ReadAll(second), "90 3C 64 90 3C 00 F0 7E 7F 09 01 F7");
}

TEST_F(MidiSubdeviceTest, UnitPacketsBecomeBytesOnlyFromCableZeroAndWhenWellFormed) {
  KsMidiPin* in = Running(kCapturePin);
  using Packet = sim::unit::MidiPacket;
  unit().PlayMidiScript({
      {0, Packet{0x09, 0x90, 0x3C, 0x64}},
      {0, Packet{0x19, 0x90, 0x3C, 0x64}},  // cable 1
      {0, Packet{0x09, 0x80, 0x3C, 0x64}},  // code index and status disagree
      {0, Packet{0x01, 0x90, 0x3C, 0x64}},  // reserved code index
      {1000, Packet{0x0F, 0xF8, 0x00, 0x00}},
      {1000, Packet{0x03, 0xF2, 0x10, 0x20}},
  });
  rig_->RunFor(5 * kMillisecond);
  EXPECT_EQ(ReadAll(in), "90 3C 64 F8 F2 10 20");
}

TEST_F(MidiSubdeviceTest, StoppedInputStreamReceivesNothingButKeepsWhatItHolds) {
  unit().SetMidiEcho();
  KsMidiPin* kept = Running(kCapturePin);
  KsMidiPin* other = Running(kCapturePin);
  KsMidiPin* out = Running(kRenderPin);
  out->Write(HexBytes("90 3C 64"));
  rig_->RunFor(5 * kMillisecond);
  ASSERT_EQ(kept->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  out->Write(HexBytes("80 3C 00"));
  rig_->RunFor(5 * kMillisecond);
  EXPECT_EQ(ReadAll(kept), "90 3C 64");
  EXPECT_EQ(ReadAll(other), "90 3C 64 80 3C 00");

  // Running again, it receives again.
  ASSERT_EQ(kept->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  out->Write(HexBytes("B0 07 7F"));
  rig_->RunFor(5 * kMillisecond);
  EXPECT_EQ(ReadAll(kept), "B0 07 7F");
}

TEST_F(MidiSubdeviceTest, AFifthStreamInEitherDirectionIsRefused) {
  for (ULONG pinId : {kRenderPin, kCapturePin}) {
    std::vector<KsMidiPin*> open;
    for (int i = 0; i < 4; ++i) {
      KsMidiPin* pin = nullptr;
      ASSERT_EQ(Open(pinId, &pin), STATUS_SUCCESS) << "pin " << pinId << " stream " << i;
      open.push_back(pin);
    }
    KsMidiPin* fifth = nullptr;
    EXPECT_EQ(Open(pinId, &fifth), STATUS_UNSUCCESSFUL) << "pin " << pinId;
    // A closed stream makes room again.
    Close(open.back());
    EXPECT_EQ(Open(pinId, &fifth), STATUS_SUCCESS) << "pin " << pinId;
  }
}

TEST_F(MidiSubdeviceTest, FullOutputQueueTakesPartOfAWriteAndTheRestLater) {
  // More notes than the driver's queue holds packets, in one write.
  constexpr size_t kNotes = 12000;
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < kNotes; ++i) {
    bytes.insert(bytes.end(), {0x90, uint8_t(i % 128), uint8_t(i / 128 % 128)});
  }
  KsMidiPin* out = Running(kRenderPin, bytes.size());
  size_t before = unit().ReceivedMidi().size();
  ASSERT_EQ(out->Write(bytes), bytes.size());
  sim::KsMidiPinCounters taken = out->counters();
  EXPECT_GT(taken.bytesWritten, 0u);
  EXPECT_LT(taken.bytesWritten, bytes.size());
  EXPECT_GT(out->queuedBytes(), 0u);

  rig_->RunFor(200 * kMillisecond);
  EXPECT_EQ(out->queuedBytes(), 0u);
  auto received = unit().ReceivedMidi();
  ASSERT_EQ(received.size() - before, kNotes);
  for (size_t i = 0; i < kNotes; ++i) {
    const sim::unit::MidiPacket expected = {0x09, 0x90, uint8_t(i % 128), uint8_t(i / 128 % 128)};
    ASSERT_EQ(received[before + i].packet, expected) << "note " << i;
  }
}

TEST_F(MidiSubdeviceTest, MidiInErrorHaltsTheReaderUntilRecoveryReadsAgain) {
  unit().SetMidiEcho();
  KsMidiPin* in = Running(kCapturePin);
  KsMidiPin* out = Running(kRenderPin);
  unit().Stall(sim::unit::kMidiInEndpoint);
  out->Write(HexBytes("90 3C 64"));
  // Well inside the hundred ticks the pipe waits before its recovery.
  rig_->RunFor(10 * kMillisecond);
  EXPECT_EQ(ReadAll(in), "");
  rig_->RunFor(200 * kMillisecond);
  EXPECT_EQ(ReadAll(in), "90 3C 64");
  out->Write(HexBytes("80 3C 00"));
  rig_->RunFor(5 * kMillisecond);
  EXPECT_EQ(ReadAll(in), "80 3C 00");
}

TEST_F(MidiSubdeviceTest, OneTimerResolutionRequestServesEveryOpenStream) {
  const auto initial = rig_->machine().timerResolution();
  KsMidiPin* out = Running(kRenderPin);
  KsMidiPin* in = Running(kCapturePin);
  KsMidiPin* in2 = Running(kCapturePin);
  auto held = rig_->machine().timerResolution();
  EXPECT_EQ(held.setCalls - initial.setCalls, 1);
  EXPECT_EQ(held.current, 10'000u);
  Close(out);
  Close(in);
  EXPECT_EQ(rig_->machine().timerResolution().releaseCalls, initial.releaseCalls);
  Close(in2);
  auto released = rig_->machine().timerResolution();
  EXPECT_EQ(released.releaseCalls - initial.releaseCalls, 1);
  EXPECT_EQ(released.activeRequests, initial.activeRequests);
}

}  // namespace
