// MIDI pins: render hands bytes to the stream's Write and offers what it did
// not take again later; capture reads the stream until it is empty on each
// notification.
#include <gtest/gtest.h>

#include "platform/sim/ks_client.h"
#include "platform/sim/machine.h"
#include "tests/platform/portcls/test_miniports.h"

namespace {

constexpr ULONG kRenderPin = 0;
constexpr ULONG kCapturePin = 2;

class MidiPin : public ::testing::Test {
 protected:
  void Open(const tests::MidiConfig& config) {
    NTSTATUS status;
    port = tests::RegisterMidi(&device, u"Midi1-1", config, &log, &alive, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(sim::KsFilter::Open(machine, u"Midi1-1", &filter), STATUS_SUCCESS);
    log.calls.clear();
  }
  void TearDown() override {
    pins.clear();
    filter.reset();
    if (port) {
      EXPECT_EQ(tests::Unregister(&device, port), STATUS_SUCCESS);
      port->Release();
    }
    EXPECT_EQ(alive, 0) << log.Joined();
    EXPECT_EQ(sim::PortClassLiveObjects(machine), 0u);
  }
  sim::KsMidiPin* Create(ULONG pinId, sim::KsMidiPinOptions options = {}) {
    std::unique_ptr<sim::KsMidiPin> pin;
    EXPECT_EQ(sim::KsMidiPin::Create(*filter, pinId, midiFormat.data(),
                                     static_cast<ULONG>(midiFormat.size()), &pin, options),
              STATUS_SUCCESS);
    pins.push_back(std::move(pin));
    return pins.back().get();
  }
  static tests::TestMidiStream* Stream(const sim::KsMidiPin* pin) {
    return static_cast<tests::TestMidiStream*>(pin->stream());
  }

  sim::Machine machine;
  DEVICE_OBJECT device{};
  tests::CallLog log;
  std::atomic<int> alive{0};
  PPORT port = nullptr;
  std::unique_ptr<sim::KsFilter> filter;
  std::vector<std::unique_ptr<sim::KsMidiPin>> pins;
  const std::vector<uint8_t> midiFormat = sim::KsMidiFormat();
};

TEST_F(MidiPin, RenderWritesOnlyWhileRunning) {
  Open({});
  sim::KsMidiPin* pin = Create(kRenderPin);
  const std::vector<uint8_t> noteOn = {0x90, 0x3C, 0x64};
  EXPECT_EQ(pin->Write(noteOn), 3u);
  EXPECT_TRUE(Stream(pin)->written.empty());
  EXPECT_EQ(pin->queuedBytes(), 3u);
  log.calls.clear();
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(log.Joined(), "SetState 1, SetState 2, SetState 3");
  EXPECT_EQ(Stream(pin)->written, noteOn);
  EXPECT_EQ(pin->queuedBytes(), 0u);
}

TEST_F(MidiPin, RenderOffersTheUnconsumedRestAgainLater) {
  Open({.writeLimit = 2});
  sim::KsMidiPin* pin = Create(kRenderPin);
  pin->SetState(KSSTATE_RUN);
  const std::vector<uint8_t> bytes = {0x90, 0x3C, 0x64, 0x3C, 0x00};
  EXPECT_EQ(pin->Write(bytes), 5u);
  EXPECT_EQ(Stream(pin)->written, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 2));
  EXPECT_EQ(pin->queuedBytes(), 3u);
  machine.RunFor(5 * sim::kMillisecond);
  EXPECT_EQ(Stream(pin)->written, bytes);
  EXPECT_EQ(pin->queuedBytes(), 0u);
  EXPECT_GE(pin->counters().writeCalls, 3u);
}

TEST_F(MidiPin, CaptureReadsTheStreamUntilItIsEmpty) {
  Open({});
  sim::KsMidiPin* pin = Create(kCapturePin);
  EXPECT_TRUE(pin->capture());
  pin->SetState(KSSTATE_RUN);
  // More than one read chunk, so the port has to come back for the rest.
  std::vector<uint8_t> incoming(700);
  for (size_t i = 0; i < incoming.size(); ++i) incoming[i] = static_cast<uint8_t>(i % 128);
  Stream(pin)->Feed(incoming);
  Stream(pin)->Notify();
  EXPECT_EQ(pin->queuedBytes(), incoming.size());
  EXPECT_EQ(pin->Read(), incoming);
  EXPECT_EQ(pin->counters().bytesRead, incoming.size());
}

TEST_F(MidiPin, CaptureDrainsAStoppedStreamOnRead) {
  Open({});
  sim::KsMidiPin* pin = Create(kCapturePin);
  Stream(pin)->Feed({0xF8});
  EXPECT_EQ(pin->Read(), std::vector<uint8_t>{0xF8});
}

TEST_F(MidiPin, CaptureCountsAnOverrunWhenTheClientDoesNotRead) {
  Open({});
  sim::KsMidiPin* pin = Create(kCapturePin, {.queueBytes = 100});
  pin->SetState(KSSTATE_RUN);
  Stream(pin)->Feed(std::vector<uint8_t>(150, 0x7F));
  Stream(pin)->Notify();
  auto counters = pin->counters();
  EXPECT_EQ(counters.overruns, 1u);
  EXPECT_EQ(counters.droppedBytes, 50u);
  EXPECT_EQ(pin->Read().size(), 100u);
}

TEST_F(MidiPin, PinsAreNotLimitedInNumber) {
  Open({});
  sim::KsMidiPin* first = Create(kCapturePin);
  sim::KsMidiPin* second = Create(kCapturePin);
  first->SetState(KSSTATE_RUN);
  second->SetState(KSSTATE_RUN);
  Stream(second)->Feed({0x90, 0x40, 0x10});
  Stream(second)->Notify();
  EXPECT_TRUE(first->Read().empty());
  EXPECT_EQ(second->Read().size(), 3u);
}

}  // namespace
