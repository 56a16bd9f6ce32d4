// What a client reads from an open filter, how intersection picks between
// the miniport's answer and the port's own, and filter properties.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/portcls/adapter_registry.h"
#include "platform/sim/ks_client.h"
#include "platform/sim/machine.h"
#include "tests/platform/portcls/test_miniports.h"

namespace {

class Filter : public ::testing::Test {
 protected:
  void Open(const tests::WaveConfig& config) {
    NTSTATUS status;
    port = tests::RegisterWave(&device, u"Wave1-1-2", config, &log, &alive, &status, &miniport);
    ASSERT_EQ(status, STATUS_SUCCESS);
    midiPort = tests::RegisterMidi(&device, u"Midi1-1", {}, &log, &alive, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(sim::KsFilter::Open(machine, u"Wave1-1-2", &wave), STATUS_SUCCESS);
    ASSERT_EQ(sim::KsFilter::Open(machine, u"Midi1-1", &midi), STATUS_SUCCESS);
  }
  void TearDown() override {
    wave.reset();
    midi.reset();
    if (port) port->Release();
    if (midiPort) midiPort->Release();
    sim::portcls::ReleaseDeviceSubdevices(machine, &device);
    EXPECT_EQ(alive, 0);
  }

  sim::Machine machine;
  DEVICE_OBJECT device{};
  tests::CallLog log;
  std::atomic<int> alive{0};
  PPORT port = nullptr;
  PPORT midiPort = nullptr;
  tests::TestWaveMiniport* miniport = nullptr;
  std::unique_ptr<sim::KsFilter> wave;
  std::unique_ptr<sim::KsFilter> midi;
};

TEST_F(Filter, ReportsPinsNodesAndConnections) {
  Open({});
  auto pins = wave->pins();
  ASSERT_EQ(pins.size(), 4u);
  EXPECT_EQ(pins[0].communication, KSPIN_COMMUNICATION_NONE);
  EXPECT_EQ(*pins[0].category, KSNODETYPE_LINE_CONNECTOR);
  EXPECT_EQ(pins[0].dataRanges[0].range().SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG);
  EXPECT_EQ(pins[1].dataFlow, KSPIN_DATAFLOW_IN);
  EXPECT_EQ(pins[1].communication, KSPIN_COMMUNICATION_SINK);
  EXPECT_EQ(pins[1].maxGlobalInstances, 1u);
  EXPECT_EQ(*pins[1].category, KSCATEGORY_AUDIO);
  EXPECT_FALSE(pins[1].name.has_value());
  ASSERT_NE(pins[2].dataRanges[0].audio(), nullptr);
  EXPECT_EQ(pins[2].dataRanges[0].audio()->MaximumSampleFrequency, 48000u);
  EXPECT_EQ(pins[2].dataFlow, KSPIN_DATAFLOW_OUT);

  auto nodes = wave->nodes();
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0].type, KSNODETYPE_DAC);
  EXPECT_EQ(nodes[1].type, KSNODETYPE_ADC);
  auto connections = wave->connections();
  ASSERT_EQ(connections.size(), 4u);
  EXPECT_EQ(connections[3].FromNode, 1u);
  EXPECT_EQ(connections[3].ToNode, PCFILTER_NODE);
  EXPECT_EQ(connections[3].ToNodePin, 2u);

  auto midiPins = midi->pins();
  ASSERT_EQ(midiPins.size(), 4u);
  ASSERT_NE(midiPins[0].dataRanges[0].music(), nullptr);
  EXPECT_EQ(midiPins[0].dataRanges[0].music()->Technology, KSMUSIC_TECHNOLOGY_PORT);
  EXPECT_EQ(midiPins[0].maxFilterInstances, 0xFFFFFFFFu);
  EXPECT_TRUE(midi->nodes().empty());
}

struct IntersectCase {
  const char* name;
  bool ownIntersection;
  ULONG pin;
  KSDATARANGE_AUDIO client;
  NTSTATUS expected;
  ULONG size;
  WORD formatTag;
  WORD bits;
};

class Intersect : public Filter, public ::testing::WithParamInterface<IntersectCase> {};

TEST_P(Intersect, PicksTheMiniportsOrThePortsAnswer) {
  const IntersectCase& c = GetParam();
  Open({.ownIntersection = c.ownIntersection});
  std::vector<uint8_t> format;
  EXPECT_EQ(wave->Intersect(c.pin, &c.client, &format), c.expected);
  if (c.expected != STATUS_SUCCESS) return;
  ASSERT_EQ(format.size(), c.size);
  auto* data = reinterpret_cast<const KSDATAFORMAT*>(format.data());
  EXPECT_EQ(data->FormatSize, c.size);
  EXPECT_EQ(data->MajorFormat, KSDATAFORMAT_TYPE_AUDIO);
  auto& wave = reinterpret_cast<const KSDATAFORMAT_WAVEFORMATEX*>(format.data())->WaveFormatEx;
  EXPECT_EQ(wave.wFormatTag, c.formatTag);
  EXPECT_EQ(wave.nChannels, 2);
  EXPECT_EQ(wave.nSamplesPerSec, 48000u);
  EXPECT_EQ(wave.wBitsPerSample, c.bits);
  EXPECT_EQ(wave.nBlockAlign, 2 * c.bits / 8);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Intersect,
    ::testing::Values(
        IntersectCase{"Miniport", true, 1, sim::KsAudioRange(2, 16, 32, 44100, 48000),
                      STATUS_SUCCESS, 104, WAVE_FORMAT_EXTENSIBLE, 32},
        IntersectCase{"MiniportNoMatch", true, 1, sim::KsAudioRange(2, 16, 32, 44100, 44100),
                      STATUS_NO_MATCH},
        IntersectCase{"Port", false, 2, sim::KsAudioRange(8, 16, 24, 8000, 96000),
                      STATUS_SUCCESS, 82, WAVE_FORMAT_PCM, 24},
        IntersectCase{"PortNoCommonRate", false, 1, sim::KsAudioRange(2, 16, 24, 96000, 96000),
                      STATUS_NO_MATCH},
        IntersectCase{"BridgePin", true, 0, sim::KsAudioRange(2, 16, 24, 48000, 48000),
                      STATUS_NO_MATCH},
        IntersectCase{"NoSuchPin", true, 7, sim::KsAudioRange(2, 16, 24, 48000, 48000),
                      STATUS_INVALID_PARAMETER}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Filter, IntersectionAsksForTheSizeFirst) {
  Open({.ownIntersection = false});
  KSDATARANGE_AUDIO client = sim::KsAudioRange(2, 16, 16, 48000, 48000);
  ULONG size = 0;
  EXPECT_EQ(wave->IntersectRaw(1, &client, 0, nullptr, &size), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, KSDATAFORMAT_WAVEFORMATEX_SIZE);
  uint8_t small[40];
  EXPECT_EQ(wave->IntersectRaw(1, &client, sizeof(small), small, &size), STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(log.Contains("DataRangeIntersection 1"));
}

TEST_F(Filter, MusicRangeIntersectsIntoAPlainFormat) {
  Open({});
  KSDATARANGE client = {};
  client.FormatSize = sizeof(client);
  client.MajorFormat = KSDATAFORMAT_TYPE_MUSIC;  // sub-format and specifier are wildcards
  std::vector<uint8_t> format;
  ASSERT_EQ(midi->Intersect(2, &client, &format), STATUS_SUCCESS);
  ASSERT_EQ(format.size(), sizeof(KSDATAFORMAT));
  auto* data = reinterpret_cast<const KSDATAFORMAT*>(format.data());
  EXPECT_EQ(data->SubFormat, KSDATAFORMAT_SUBTYPE_MIDI);
  EXPECT_EQ(data->Specifier, KSDATAFORMAT_SPECIFIER_NONE);
}

TEST_F(Filter, PinPropertyReachesTheMiniportsHandler) {
  Open({});
  auto format = sim::KsWaveFormatExtensible(48000, 2, 32, 24);
  ULONG size = static_cast<ULONG>(format.size());
  EXPECT_EQ(wave->PinProperty(1, KSPROPERTY_PIN_PROPOSEDATAFORMAT, KSPROPERTY_TYPE_SET,
                              format.data(), &size),
            STATUS_SUCCESS);
  EXPECT_EQ(miniport->lastPropertyPin, 1u);
  EXPECT_EQ(miniport->lastMajorTarget, static_cast<PUNKNOWN>(
                                           static_cast<IMiniportWaveCyclic*>(miniport)));

  auto other = sim::KsWaveFormatExtensible(44100, 2, 32, 24);
  size = static_cast<ULONG>(other.size());
  EXPECT_EQ(wave->PinProperty(2, KSPROPERTY_PIN_PROPOSEDATAFORMAT, KSPROPERTY_TYPE_SET,
                              other.data(), &size),
            STATUS_NO_MATCH);
  size = 0;
  EXPECT_EQ(wave->PinProperty(1, KSPROPERTY_PIN_PROPOSEDATAFORMAT, KSPROPERTY_TYPE_SET, nullptr,
                              &size),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 104u);
  ULONG access = 0;
  size = sizeof(access);
  EXPECT_EQ(wave->PinProperty(1, KSPROPERTY_PIN_PROPOSEDATAFORMAT, KSPROPERTY_TYPE_BASICSUPPORT,
                              &access, &size),
            STATUS_SUCCESS);
  EXPECT_EQ(access, ULONG(KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT));

  size = 4;
  EXPECT_EQ(wave->PinProperty(1, KSPROPERTY_PIN_NAME, KSPROPERTY_TYPE_GET, &access, &size),
            STATUS_NOT_FOUND);
  size = 4;
  EXPECT_EQ(midi->PinProperty(0, KSPROPERTY_PIN_PROPOSEDATAFORMAT, KSPROPERTY_TYPE_SET, &access,
                              &size),
            STATUS_NOT_FOUND);
}

}  // namespace
