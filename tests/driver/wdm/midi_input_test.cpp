// The MIDI input streams' rings behind the port: packets handed over by the
// MIDI IN pipe go whole into every running stream's ring or not at all, the
// ring wraps, and a miniport whose adapter cannot tell its unit fails Init
// without keeping anything.
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "driver/usb/usb_device.h"
#include "driver/wdm/midi_codec.h"
#include "driver/wdm/midi_input_side.h"
#include "driver/wdm/midi_miniport.h"
#include "driver/wdm/midi_streams.h"
#include "platform/sim/ks_client.h"
#include "platform/sim/machine.h"
#include "platform/sim/pool.h"
#include "driver/wdm/midi_subdevice.h"

namespace {

ULONG Note(ULONG n) { return MidiPacket(0x09, 0x90, UCHAR(n % 128), UCHAR(n / 128 % 128)); }
constexpr ULONG kClock = MidiPacket(0x0F, 0xF8);

class MidiInputRingTest : public testing::Test {
 protected:
  void SetUp() override {
    usb_->MidiIn.Setup(usb_.get(), &usb_->MidiInPipe, nullptr);
    side_.Setup(&usb_->MidiIn);
    miniport_ = new (NonPagedPoolNx, kMidiMiniportPoolTag) CMidiMiniport(nullptr);
    ASSERT_NE(miniport_, nullptr);
    miniport_->NonDelegatingAddRef();
  }
  void TearDown() override {
    for (CMidiInStream* stream : streams_) stream->NonDelegatingRelease();
    miniport_->NonDelegatingRelease();
  }

  CMidiInStream* RunningStream() {
    auto* stream = new (NonPagedPoolNx, kMidiStreamPoolTag) CMidiInStream(nullptr, miniport_);
    stream->NonDelegatingAddRef();
    streams_.push_back(stream);
    EXPECT_EQ(stream->Open(&side_), STATUS_SUCCESS);
    EXPECT_EQ(stream->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    return stream;
  }
  // As the pipe's completion does, with its lock held.
  void Deliver(const std::vector<ULONG>& packets) {
    usb_->MidiIn.LockPipe();
    side_.OnPacketsReceived(packets.data(), ULONG(packets.size()));
    usb_->MidiIn.UnlockPipe();
  }
  std::vector<UCHAR> ReadAll(CMidiInStream* stream) {
    std::vector<UCHAR> bytes;
    UCHAR chunk[1000];
    ULONG got = 0;
    do {
      EXPECT_EQ(stream->Read(chunk, sizeof(chunk), &got), STATUS_SUCCESS);
      bytes.insert(bytes.end(), chunk, chunk + got);
    } while (got);
    return bytes;
  }
  static std::vector<UCHAR> NoteBytes(ULONG first, ULONG count) {
    std::vector<UCHAR> bytes;
    for (ULONG n = first; n < first + count; ++n) {
      bytes.insert(bytes.end(), {0x90, UCHAR(n % 128), UCHAR(n / 128 % 128)});
    }
    return bytes;
  }

  sim::Machine machine_;
  std::unique_ptr<CUsbDevice> usb_ = std::make_unique<CUsbDevice>();
  CMidiInputSide side_;
  CMidiMiniport* miniport_ = nullptr;
  std::vector<CMidiInStream*> streams_;
};

TEST_F(MidiInputRingTest, PacketThatDoesNotFitWholeIsDroppedWithoutTouchingUnreadBytes) {
  CMidiInStream* full = RunningStream();
  CMidiInStream* reader = RunningStream();
  // Three bytes short of full, then two: room for two bytes, not a note.
  constexpr ULONG kNotes = (kMidiInRingBytes - 1) / 3 - 1;
  std::vector<ULONG> notes;
  for (ULONG n = 0; n < kNotes; ++n) notes.push_back(Note(n));
  Deliver(notes);
  Deliver({kClock});
  ASSERT_EQ(ReadAll(reader).size(), kNotes * 3 + 1);

  Deliver({Note(7000)});
  EXPECT_EQ(full->DroppedPackets(), 1u);
  EXPECT_EQ(ReadAll(reader), NoteBytes(7000, 1)) << "other streams still get it";
  Deliver({kClock});  // one byte still fits
  EXPECT_EQ(full->DroppedPackets(), 1u);

  std::vector<UCHAR> expected = NoteBytes(0, kNotes);
  expected.insert(expected.end(), {0xF8, 0xF8});
  EXPECT_EQ(ReadAll(full), expected);
  EXPECT_EQ(reader->DroppedPackets(), 0u);
}

TEST_F(MidiInputRingTest, ReadingFollowsTheRingAroundItsEnd) {
  CMidiInStream* stream = RunningStream();
  std::vector<UCHAR> received;
  ULONG next = 0;
  for (ULONG round = 0; round < 5; ++round) {
    std::vector<ULONG> packets;
    for (ULONG n = 0; n < 2000; ++n) packets.push_back(Note(next++));
    Deliver(packets);
    std::vector<UCHAR> got = ReadAll(stream);
    received.insert(received.end(), got.begin(), got.end());
  }
  EXPECT_EQ(received, NoteBytes(0, next));
  EXPECT_EQ(stream->DroppedPackets(), 0u);
}

TEST_F(MidiInputRingTest, StreamWithoutMemoryFailsAndUndoesItsCounts) {
  CMidiSubdeviceSlot slot;
  slot.RenderSide = &usb_->MidiOut;
  slot.CaptureSide = &side_;
  miniport_->SetSlot(&slot);
  struct Case {
    BOOLEAN capture;
    uint64_t failedAllocation;  // 1: the stream, 2: the input client
    NTSTATUS status;
  } cases[] = {
      {TRUE, 1, STATUS_INSUFFICIENT_RESOURCES},
      {TRUE, 2, STATUS_UNSUCCESSFUL},
      {FALSE, 1, STATUS_INSUFFICIENT_RESOURCES},
  };
  for (const Case& c : cases) {
    machine_.pool().FailNthAllocation(c.failedAllocation);
    PMINIPORTMIDISTREAM stream = reinterpret_cast<PMINIPORTMIDISTREAM>(1);
    PSERVICEGROUP group = reinterpret_cast<PSERVICEGROUP>(1);
    EXPECT_EQ(miniport_->NewStream(&stream, nullptr, NonPagedPoolNx, c.capture ? 2 : 0, c.capture,
                                   nullptr, &group),
              c.status)
        << "capture " << int(c.capture) << ", allocation " << c.failedAllocation;
    machine_.pool().StopFailing();
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(group, nullptr);
    EXPECT_EQ(usb_->MidiIn.OpenStreams, 0);
    EXPECT_EQ(usb_->MidiOut.OpenStreams, 0);
    EXPECT_EQ(usb_->TimerResolutionUsers.Count, 0);
    EXPECT_EQ(machine_.timerResolution().activeRequests, 0);
  }
  miniport_->SetSlot(nullptr);
}

TEST(MidiMiniportInit, AdapterWithoutItsContextFailsAndKeepsNothing) {
  sim::Machine machine;
  PPORT port = nullptr;
  ASSERT_EQ(PcNewPort(&port, CLSID_PortMidi), STATUS_SUCCESS);
  PPORTMIDI midiPort = nullptr;
  ASSERT_EQ(port->QueryInterface(IID_IPortMidi, reinterpret_cast<PVOID*>(&midiPort)),
            STATUS_SUCCESS);
  auto* miniport = new (NonPagedPoolNx, kMidiMiniportPoolTag) CMidiMiniport(nullptr);
  miniport->NonDelegatingAddRef();

  PSERVICEGROUP group = reinterpret_cast<PSERVICEGROUP>(1);
  // The port stands in for an adapter: it answers, but not IAdapterContext.
  EXPECT_EQ(miniport->Init(port, nullptr, midiPort, &group), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(group, nullptr);

  miniport->NonDelegatingRelease();
  midiPort->Release();
  port->Release();
  EXPECT_EQ(sim::PortClassLiveObjects(machine), 0u) << testing::PrintToString(
      sim::PortClassLiveObjectList(machine));
}

}  // namespace
