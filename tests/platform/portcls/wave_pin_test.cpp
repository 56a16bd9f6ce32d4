// WaveCyclic pins as the audio engine drives them: creation, the KS state
// walk, render and capture through the cyclic buffer with underrun and
// overrun counting, pause and format changes.
#include <gtest/gtest.h>

#include <numeric>

#include "platform/portcls/adapter_registry.h"
#include "platform/sim/ks_client.h"
#include "platform/sim/machine.h"
#include "tests/platform/portcls/test_miniports.h"

namespace {

constexpr ULONG kRenderPin = 1;
constexpr ULONG kCapturePin = 2;
// 10 ms of 48 kHz stereo 16-bit.
constexpr ULONG kBufferBytes = 1920;

std::vector<uint8_t> Pattern(size_t bytes, uint8_t seed) {
  std::vector<uint8_t> data(bytes);
  for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(seed + i % 200 + 1);
  return data;
}

class WavePin : public ::testing::Test {
 protected:
  void SetUp() override {
    NTSTATUS status;
    port = tests::RegisterWave(&device, u"Wave1-1-2", {}, &log, &alive, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(sim::KsFilter::Open(machine, u"Wave1-1-2", &filter), STATUS_SUCCESS);
    log.calls.clear();
  }
  void TearDown() override {
    render.reset();
    capture.reset();
    filter.reset();
    tests::Unregister(&device, port);
    port->Release();
    EXPECT_EQ(alive, 0);
    EXPECT_EQ(sim::PortClassLiveObjects(machine), 0u);
  }
  NTSTATUS Create(ULONG pin, const std::vector<uint8_t>& format,
                  std::unique_ptr<sim::KsWavePin>* out, sim::KsWavePinOptions options = {}) {
    return sim::KsWavePin::Create(*filter, pin, format.data(), static_cast<ULONG>(format.size()),
                                  out, options);
  }
  static tests::TestWaveStream* Stream(const sim::KsWavePin& pin) {
    return static_cast<tests::TestWaveStream*>(pin.stream());
  }
  std::vector<uint8_t> BufferBytes(const sim::KsWavePin& pin, ULONG offset, ULONG bytes) {
    return std::vector<uint8_t>(pin.dmaBuffer() + offset, pin.dmaBuffer() + offset + bytes);
  }

  sim::Machine machine;
  DEVICE_OBJECT device{};
  tests::CallLog log;
  std::atomic<int> alive{0};
  PPORT port = nullptr;
  std::unique_ptr<sim::KsFilter> filter;
  std::unique_ptr<sim::KsWavePin> render;
  std::unique_ptr<sim::KsWavePin> capture;
  const std::vector<uint8_t> pcm16 = sim::KsWaveFormat(48000, 2, 16);
};

TEST_F(WavePin, CreationOpensTheStreamThenSetsTheNotificationFrequency) {
  ASSERT_EQ(Create(kRenderPin, pcm16, &render), STATUS_SUCCESS);
  ASSERT_GE(log.calls.size(), 2u);
  EXPECT_EQ(log.calls[0], "NewStream 1");
  EXPECT_EQ(log.calls[1], "SetNotificationFreq 10");
  EXPECT_FALSE(render->capture());
  EXPECT_EQ(render->bufferSize(), kBufferBytes);
  EXPECT_EQ(render->framingSize(), 1920u);
  EXPECT_EQ(render->dmaBuffer(), Stream(*render)->buffer());
  EXPECT_EQ(render->state(), KSSTATE_STOP);
}

struct RefusalCase {
  const char* name;
  ULONG pin;
  std::vector<uint8_t> format;
  NTSTATUS expected;
};

class WavePinRefusal : public WavePin, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(WavePinRefusal, LeavesThePinFree) {
  const RefusalCase& c = GetParam();
  EXPECT_EQ(Create(c.pin, c.format, &render), c.expected);
  EXPECT_EQ(render, nullptr);
  EXPECT_EQ(Create(kRenderPin, pcm16, &render), STATUS_SUCCESS);
}

std::vector<uint8_t> Truncated(std::vector<uint8_t> format) {
  format.resize(70);
  return format;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WavePinRefusal,
    ::testing::Values(
        RefusalCase{"BridgePin", 0, sim::KsWaveFormat(48000, 2, 16), STATUS_INVALID_DEVICE_REQUEST},
        RefusalCase{"NoSuchPin", 9, sim::KsWaveFormat(48000, 2, 16), STATUS_INVALID_PARAMETER},
        RefusalCase{"MusicFormat", kRenderPin, sim::KsMidiFormat(), STATUS_NO_MATCH},
        RefusalCase{"FormatLongerThanItsBuffer", kRenderPin,
                    Truncated(sim::KsWaveFormat(48000, 2, 16)), STATUS_INVALID_PARAMETER},
        RefusalCase{"MiniportRefusesMono", kRenderPin, sim::KsWaveFormat(48000, 1, 16),
                    STATUS_INVALID_PARAMETER}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WavePin, OneInstancePerHostPin) {
  ASSERT_EQ(Create(kRenderPin, pcm16, &render), STATUS_SUCCESS);
  std::unique_ptr<sim::KsWavePin> second;
  EXPECT_EQ(Create(kRenderPin, pcm16, &second), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Create(kCapturePin, pcm16, &capture), STATUS_SUCCESS);
  render.reset();
  EXPECT_EQ(Create(kRenderPin, pcm16, &second), STATUS_SUCCESS);
}

TEST_F(WavePin, StateChangesWalkThroughEveryState) {
  ASSERT_EQ(Create(kRenderPin, pcm16, &render), STATUS_SUCCESS);
  log.calls.clear();
  EXPECT_EQ(render->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(render->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(render->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(render->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(log.Joined(),
            "SetState 1, SetState 2, SetState 3, SetState 2, SetState 1, SetState 2, SetState 1, "
            "SetState 0");
  EXPECT_EQ(render->state(), KSSTATE_STOP);
}

TEST_F(WavePin, RenderCopiesQueuedBytesAheadOfThePlayPosition) {
  ASSERT_EQ(Create(kRenderPin, pcm16, &render), STATUS_SUCCESS);
  auto* stream = Stream(*render);
  auto first = Pattern(1000, 0);
  EXPECT_EQ(render->Write(first.data(), first.size()), first.size());
  ASSERT_EQ(render->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  // Running starts with the queue copied from the play position on, the rest
  // of the buffer silent.
  EXPECT_EQ(BufferBytes(*render, 0, 1000), first);
  EXPECT_EQ(BufferBytes(*render, 1000, 920), std::vector<uint8_t>(920, 0));

  stream->Advance(400);
  stream->Notify();
  EXPECT_EQ(render->counters().bytesPlayed, 400u);
  EXPECT_EQ(render->bufferedBytes(), 600u);

  // The next bytes go right after the unplayed ones and wrap at the end.
  auto second = Pattern(2000, 50);
  render->Write(second.data(), second.size());
  stream->Notify();
  EXPECT_EQ(BufferBytes(*render, 1000, 920), std::vector<uint8_t>(second.begin(), second.begin() + 920));
  EXPECT_EQ(BufferBytes(*render, 0, 400),
            std::vector<uint8_t>(second.begin() + 920, second.begin() + 1320));
  EXPECT_EQ(BufferBytes(*render, 400, 600), std::vector<uint8_t>(first.begin() + 400, first.end()));
  EXPECT_EQ(render->bufferedBytes(), size_t(kBufferBytes));
  EXPECT_EQ(render->queuedBytes(), 680u);
  EXPECT_EQ(render->counters().underruns, 0u);
}

TEST_F(WavePin, RenderCountsAnUnderrunWhenTheClientFallsBehind) {
  ASSERT_EQ(Create(kRenderPin, pcm16, &render), STATUS_SUCCESS);
  auto* stream = Stream(*render);
  auto data = Pattern(800, 0);
  render->Write(data.data(), data.size());
  render->SetState(KSSTATE_RUN);
  stream->Advance(800);
  stream->Notify();
  EXPECT_EQ(render->counters().underruns, 0u);

  stream->Advance(100);
  stream->Notify();
  stream->Advance(100);
  stream->Notify();
  auto counters = render->counters();
  EXPECT_EQ(counters.underruns, 1u);  // one episode, however long
  EXPECT_EQ(counters.silenceBytes, 200u);
  EXPECT_EQ(BufferBytes(*render, 0, 1000), std::vector<uint8_t>(1000, 0));

  // The client's next bytes play from where the position is now.
  auto late = Pattern(50, 7);
  render->Write(late.data(), late.size());
  stream->Notify();
  EXPECT_EQ(BufferBytes(*render, 1000, 50), late);
  stream->Advance(100);
  stream->Notify();
  EXPECT_EQ(render->counters().underruns, 2u);
  EXPECT_EQ(render->counters().bytesPlayed, 850u);
}

TEST_F(WavePin, PauseKeepsBytesThatHaveNotPlayed) {
  ASSERT_EQ(Create(kRenderPin, pcm16, &render), STATUS_SUCCESS);
  auto* stream = Stream(*render);
  auto data = Pattern(1000, 0);
  render->Write(data.data(), data.size());
  render->SetState(KSSTATE_RUN);
  stream->Advance(300);
  stream->Notify();
  render->SetState(KSSTATE_PAUSE);
  stream->Notify();  // a notification while paused moves nothing
  EXPECT_EQ(render->counters().bytesPlayed, 300u);
  // The stream restarts its position at 0 on run.
  render->SetState(KSSTATE_RUN);
  EXPECT_EQ(BufferBytes(*render, 0, 700), std::vector<uint8_t>(data.begin() + 300, data.end()));
}

TEST_F(WavePin, CaptureHandsOverTheBytesUpToThePosition) {
  ASSERT_EQ(Create(kCapturePin, pcm16, &capture), STATUS_SUCCESS);
  EXPECT_TRUE(capture->capture());
  auto* stream = Stream(*capture);
  capture->SetState(KSSTATE_RUN);
  auto first = Pattern(600, 0);
  stream->Produce(first);
  stream->Notify();
  std::vector<uint8_t> got(4000);
  EXPECT_EQ(capture->Read(got.data(), got.size()), 600u);
  EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 600), first);

  auto wrapping = Pattern(1500, 9);  // crosses the end of the buffer
  stream->Produce(wrapping);
  stream->Notify();
  EXPECT_EQ(capture->Read(got.data(), got.size()), 1500u);
  EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 1500), wrapping);
  EXPECT_EQ(capture->counters().bytesFromDevice, 2100u);
  EXPECT_EQ(capture->counters().overruns, 0u);
}

TEST_F(WavePin, CaptureCountsAnOverrunWhenTheClientDoesNotRead) {
  ASSERT_EQ(Create(kCapturePin, pcm16, &capture, {.queueBytes = 1000}), STATUS_SUCCESS);
  auto* stream = Stream(*capture);
  capture->SetState(KSSTATE_RUN);
  for (int i = 0; i < 3; ++i) {
    stream->Produce(Pattern(800, static_cast<uint8_t>(i)));
    stream->Notify();
  }
  auto counters = capture->counters();
  EXPECT_EQ(counters.overruns, 1u);
  EXPECT_EQ(counters.droppedBytes, 1400u);
  std::vector<uint8_t> got(1000);
  EXPECT_EQ(capture->Read(got.data(), got.size()), 1000u);
  // What was kept is the oldest bytes, in order.
  auto first = Pattern(800, 0);
  EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 800), first);

  stream->Produce(Pattern(500, 3));
  stream->Notify();
  stream->Produce(Pattern(800, 4));
  stream->Notify();
  EXPECT_EQ(capture->counters().overruns, 2u);
}

TEST_F(WavePin, FormatChangesOnlyWhileStopped) {
  ASSERT_EQ(Create(kRenderPin, pcm16, &render), STATUS_SUCCESS);
  auto pcm24 = sim::KsWaveFormat(48000, 2, 24);
  render->SetState(KSSTATE_PAUSE);
  log.calls.clear();
  EXPECT_EQ(render->SetFormat(pcm24.data(), static_cast<ULONG>(pcm24.size())),
            STATUS_INVALID_DEVICE_STATE);
  EXPECT_FALSE(log.Contains("SetFormat"));

  render->SetState(KSSTATE_STOP);
  EXPECT_EQ(render->SetFormat(pcm24.data(), static_cast<ULONG>(pcm24.size())), STATUS_SUCCESS);
  EXPECT_EQ(render->bufferSize(), 2880u);
  EXPECT_EQ(render->dmaBuffer(), Stream(*render)->buffer());
  EXPECT_EQ(render->framingSize(), 2880u);

  auto mono = sim::KsWaveFormat(48000, 1, 16);
  EXPECT_EQ(render->SetFormat(mono.data(), static_cast<ULONG>(mono.size())),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(render->bufferSize(), 2880u);
}

TEST_F(WavePin, ClosingReleasesTheStream) {
  ASSERT_EQ(Create(kRenderPin, pcm16, &render), STATUS_SUCCESS);
  render->SetState(KSSTATE_RUN);
  log.calls.clear();
  render.reset();
  EXPECT_EQ(log.Joined(), "SetState 2, SetState 1, SetState 0, ~stream");
}

}  // namespace
