// The USB device layer against the simulated unit: configuration, the
// announced rates, the MIDI alternate setting, pipe records, single
// requests; and the streaming descriptor parse over hand-built shapes the
// unit cannot produce.
#include <cstring>
#include <memory>
#include <vector>

#include "driver/engine/asio_group.h"
#include "tests/driver/usb/usb_fixture.h"

// The driver-wide group DriverEntry would publish.
CAsioGroup g_testAsioGroup;
CAsioGroup* DriverAsioGroup() { return &g_testAsioGroup; }

namespace {

using sim::unit::UnitConfig;

// Entries 1..9 of a rate table as a mask in rate-bit order.
unsigned RateBits(const UCHAR* table) {
  unsigned bits = 0;
  for (unsigned n = 0; n < kStreamRates; ++n)
    if (table[n + 1]) bits |= 1u << n;
  return bits;
}

TEST_F(UsbDeviceTest, AHighSpeedUnitSupportsExactlyTheRatesItsOutputInterfaceAnnounces) {
  UnitConfig config;
  config.descriptors.outRateMask = 0x0006;
  config.descriptors.bcdDevice = 0x0123;
  CUsbDevice& usb = Attach(config);

  EXPECT_TRUE(g_usbHost.configured);
  EXPECT_EQ(Unit().configuration(), 1);
  EXPECT_EQ(usb.HighSpeed, 1u);
  ASSERT_NE(usb.DeviceDescriptor, nullptr);
  EXPECT_EQ(usb.DeviceDescriptor->bcdDevice, 0x0123);
  EXPECT_EQ(usb.BusRate, 48000u);
  EXPECT_EQ(usb.EngineRate, 48000u);
  EXPECT_EQ(usb.RequestedRate, 48000u);

  const STREAM_LAYOUT& layout = usb.StreamLayout;
  EXPECT_EQ(layout.HasOutput, 1);
  EXPECT_EQ(layout.HasInput, 1);
  EXPECT_EQ(RateBits(layout.OutputRateFlags), 0x0006u);  // 44100 and 48000
  EXPECT_EQ(RateBits(layout.RateAltSettings), 0x0006u);
  EXPECT_EQ(RateBits(layout.InputRateFlags), 0x01FFu);
  EXPECT_EQ(layout.RateAltSettings[0], 0);
  for (unsigned n = 0; n < kStreamRates; ++n) {
    SCOPED_TRACE(kStreamRateHz[n]);
    EXPECT_EQ(layout.OutputPacketSizes[n], (0x0006 >> n) & 1 ? sim::unit::kIsoOutMaxPacket : 0);
    EXPECT_EQ(layout.InputPacketSizes[n], sim::unit::kIsoInMaxPacket);
  }
  // The audio interfaces stay without bandwidth until streaming starts.
  EXPECT_EQ(Unit().alternateSetting(sim::unit::kAudioOutInterface), 0);
  EXPECT_EQ(Unit().alternateSetting(sim::unit::kAudioInInterface), 0);
}

TEST_F(UsbDeviceTest, AUnitWithoutTheVendorRateDescriptorSupportsNoRate) {
  UnitConfig config;
  config.descriptors.vendorRateDescriptor = false;
  CUsbDevice& usb = Attach(config);
  EXPECT_EQ(RateBits(usb.StreamLayout.OutputRateFlags), 0u);
  EXPECT_EQ(RateBits(usb.StreamLayout.InputRateFlags), 0u);
  EXPECT_EQ(RateBits(usb.StreamLayout.RateAltSettings), 0u);
  EXPECT_TRUE(g_usbHost.pipesBound);
}

TEST_F(UsbDeviceTest, AFullSpeedUnitIsConfiguredWithoutInterfacesOrPipeRecords) {
  UnitConfig config;
  config.fullSpeed = true;
  g_testAsioGroup = {};
  CUsbDevice& usb = Attach(config);

  EXPECT_TRUE(g_usbHost.configured);
  EXPECT_TRUE(g_usbHost.interfacesSelected);
  EXPECT_EQ(Unit().configuration(), 1);
  EXPECT_EQ(usb.HighSpeed, 0u);
  EXPECT_EQ(usb.EngineRate, 44100u);
  for (const INTERFACE_TABLE_ENTRY& entry : usb.InterfaceTable) EXPECT_EQ(entry.Information, nullptr);
  for (const CPipeRecord* record : {static_cast<CPipeRecord*>(&usb.MidiOutPipe),
                                    static_cast<CPipeRecord*>(&usb.MidiInPipe), &usb.AudioOutPipe, &usb.AudioInPipe}) {
    EXPECT_EQ(record->PipeHandle, nullptr);
    EXPECT_EQ(record->Owner, nullptr);
  }
  // Nothing to reset and no MIDI pipes to restart.
  usb.SettingsChangeListener->OnSettingsChanged();
  EXPECT_EQ(g_testAsioGroup.EventFlags, 0u);
  g_usbHost.settings.Active.MidiInLite = 1;
  EXPECT_TRUE(usb.ReapplyMidiSetting());
  EXPECT_EQ(Unit().alternateSetting(sim::unit::kMidiInterface), 0);
}

TEST_F(UsbDeviceTest, AUnitThatRefusesItsConfigurationIsReleasedCompletely) {
  Attach({}, [](sim::unit::TarvikUnit& unit) { unit.RefuseConfiguration(true); });
  CUsbDevice& usb = *g_usbHost.device;
  EXPECT_FALSE(g_usbHost.configured);
  EXPECT_EQ(Unit().configuration(), 0);
  EXPECT_EQ(usb.DeviceDescriptor, nullptr);
  EXPECT_EQ(usb.ConfigurationDescriptor, nullptr);
  EXPECT_EQ(usb.SelectedConfiguration, nullptr);
  EXPECT_EQ(usb.ConfigurationHandle, nullptr);
  // The removal's leak check proves the descriptors and URBs went back.
}

TEST_F(UsbDeviceTest, PipeRecordsCarryTheSelectedPipesAndFollowTheRateSetting) {
  CUsbDevice& usb = Attach();
  ASSERT_TRUE(g_usbHost.pipesBound);

  struct Expected {
    const CPipeRecord* record;
    UCHAR address;
    USHORT maxPacket;
    USBD_PIPE_TYPE type;
  };
  for (const Expected& e : {Expected{&usb.MidiOutPipe, sim::unit::kMidiOutEndpoint, 512, UsbdPipeTypeBulk},
                            Expected{&usb.MidiInPipe, sim::unit::kMidiInEndpoint, 512, UsbdPipeTypeBulk}}) {
    SCOPED_TRACE(e.address);
    EXPECT_NE(e.record->PipeHandle, nullptr);
    EXPECT_EQ(e.record->EndpointAddress, e.address);
    EXPECT_EQ(e.record->MaximumPacketSize, e.maxPacket);
    EXPECT_EQ(e.record->PipeType, e.type);
    EXPECT_EQ(e.record->InterfaceNumber, kMidiInterface);
    EXPECT_EQ(e.record->Owner, &usb);
  }
  EXPECT_NE(usb.MidiOutPipe.PipeHandle, usb.MidiInPipe.PipeHandle);
  // Alternate setting 0 of the audio interfaces has no pipe yet.
  EXPECT_EQ(usb.AudioOutPipe.PipeHandle, nullptr);
  EXPECT_EQ(usb.AudioInPipe.PipeHandle, nullptr);
  EXPECT_EQ(usb.AudioOutPipe.InterfaceNumber, kAudioOutInterface);

  struct Stream {
    CPipeRecord* record;
    UCHAR interfaceNumber;
    UCHAR address;
    USHORT maxPacket;
  };
  for (const Stream& s : {Stream{&usb.AudioOutPipe, kAudioOutInterface, sim::unit::kIsoOutEndpoint,
                                 sim::unit::kIsoOutMaxPacket},
                          Stream{&usb.AudioInPipe, kAudioInInterface, sim::unit::kIsoInEndpoint,
                                 sim::unit::kIsoInMaxPacket}}) {
    SCOPED_TRACE(s.address);
    ASSERT_TRUE(usb.SelectRateAlternateSetting(s.record));
    EXPECT_TRUE(s.record->RateSettingSelected);
    EXPECT_EQ(Unit().alternateSetting(s.interfaceNumber), 1);
    usb.RefreshPipe(s.record);
    EXPECT_NE(s.record->PipeHandle, nullptr);
    EXPECT_EQ(s.record->EndpointAddress, s.address);
    EXPECT_EQ(s.record->MaximumPacketSize, s.maxPacket);
    EXPECT_EQ(s.record->PipeType, UsbdPipeTypeIsochronous);

    usb.DeselectAlternateSetting(s.record);
    EXPECT_FALSE(s.record->RateSettingSelected);
    EXPECT_EQ(Unit().alternateSetting(s.interfaceNumber), 0);
    usb.RefreshPipe(s.record);
    EXPECT_EQ(s.record->PipeHandle, nullptr);
  }
}

TEST_F(UsbDeviceTest, SingleRequestsReachTheBusAndTheUnit) {
  CUsbDevice& usb = Attach();
  EXPECT_TRUE(usb.IsPortConnected());

  EXPECT_EQ(usb.SendVendorValue(0x1234), STATUS_SUCCESS);
  const auto requests = Unit().VendorRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].request, 0x02);
  EXPECT_EQ(requests[0].value, 0x1234);
  EXPECT_EQ(requests[0].index, 0);

  std::vector<uint8_t> work(kControllerNameBufferBytes, 0);
  EXPECT_EQ(usb.GetControllerName(work.data()), STATUS_SUCCESS);
  const std::u16string name = kControllerName;
  ULONG length;
  std::memcpy(&length, work.data(), sizeof length);
  ASSERT_EQ(length, name.size() * sizeof(char16_t));
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(work.data() + 4), name.size()), name);

  EXPECT_TRUE(usb.ResetPipe(&usb.MidiOutPipe));
  CPipeRecord stale;
  stale.Owner = &usb;
  EXPECT_FALSE(usb.ResetPipe(&stale));
}

TEST_F(UsbDeviceTest, ASettingsChangeAsksTheAsioDriverToReset) {
  CUsbDevice& usb = Attach();
  g_testAsioGroup = {};
  KeInitializeSpinLock(&g_testAsioGroup.Lock);
  KeInitializeSpinLock(&g_testAsioGroup.PairLock);
  usb.SettingsChangeListener->OnSettingsChanged();
  EXPECT_EQ(g_testAsioGroup.EventFlags & kAsioEventReset, kAsioEventReset);
}

TEST_F(UsbDeviceTest, ReapplyingAChangedMidiSettingReselectsTheInterfaceAndRestartsThePipes) {
  CUsbDevice& usb = Attach();
  ASSERT_TRUE(g_usbHost.pipesInstalled);
  const USBD_PIPE_HANDLE before = usb.MidiInPipe.PipeHandle;
  EXPECT_TRUE(usb.ReapplyMidiSetting());  // nothing changed
  EXPECT_EQ(usb.MidiInPipe.PipeHandle, before);

  g_usbHost.settings.Active.MidiInLite = 1;
  EXPECT_TRUE(usb.ReapplyMidiSetting());
  EXPECT_EQ(usb.MidiAltSetting, 1u);
  EXPECT_EQ(Unit().alternateSetting(sim::unit::kMidiInterface), 1);
  EXPECT_NE(usb.MidiInPipe.PipeHandle, before);
  EXPECT_TRUE(usb.MidiIn.InFlight());
  usb.MidiOut.LockPipe();
  EXPECT_EQ(usb.MidiOut.PipeState, MidiPipeRunning);
  usb.MidiOut.UnlockPipe();
  EXPECT_TRUE(usb.PipeWorker.IsRunning());
}

// ---- The MIDI alternate setting the settings ask for ----------------------

struct MidiChoice {
  ULONG lite;
  ULONG overrideEnable;
  ULONG overrideValue;
  ULONG expected;
};

class MidiAltSettingTest : public UsbDeviceTest, public testing::WithParamInterface<MidiChoice> {};

TEST_P(MidiAltSettingTest, IsSelectedOnTheMidiInterfaceAtStart) {
  const MidiChoice& c = GetParam();
  g_usbHost.settings.Active.MidiInLite = c.lite;
  g_usbHost.settings.Active.MidiInOverride = {c.overrideEnable, c.overrideValue};
  CUsbDevice& usb = Attach();
  EXPECT_EQ(usb.MidiAltSetting, c.expected);
  EXPECT_EQ(Unit().alternateSetting(sim::unit::kMidiInterface), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Settings, MidiAltSettingTest,
                         testing::Values(MidiChoice{0, 0, 0}, MidiChoice{1, 0, 0, 1},
                                         MidiChoice{7, 0, 0, 1},      // any non-zero value is 1
                                         MidiChoice{0, 0, 1, 0},      // a disabled override is ignored
                                         MidiChoice{0, 1, 1, 1},      // the override wins...
                                         MidiChoice{1, 1, 0, 0},      // ...both ways
                                         MidiChoice{1, 1, 9, 1}));

// ---- Streaming descriptor shapes ----------------------------------------------

struct AltShape {
  bool format = true;
  bool endpoint = true;
  bool vendorRate = true;
  uint8_t vendorKind = 4;
  uint16_t mask = 0x0006;
  uint16_t maxPacket = 28;
};

class DescriptorWriter {
 public:
  DescriptorWriter() { bytes_ = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 4, 1, 0, 0x80, 50}; }
  void Interface(uint8_t number, uint8_t alternate, uint8_t endpoints) {
    Put({9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, 1, 2, 0, 0});
  }
  void Streaming(uint8_t number, uint8_t alternate, const AltShape& shape, uint8_t address) {
    Interface(number, alternate, shape.endpoint ? 1 : 0);
    Put({7, 0x24, 0x01, 0, 1, 3, 0});
    if (shape.format) Put({11, 0x24, 0x02, 1, 4, 4, 32, 1, 0x80, 0xBB, 0x00});
    if (shape.vendorRate) Put({6, 0x24, 0xF1, shape.vendorKind, Lo(shape.mask), Hi(shape.mask)});
    if (shape.endpoint) Put({7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, 0x05, Lo(shape.maxPacket), Hi(shape.maxPacket), 1});
  }
  std::vector<uint8_t> Finish() {
    bytes_[2] = Lo(static_cast<uint16_t>(bytes_.size()));
    bytes_[3] = Hi(static_cast<uint16_t>(bytes_.size()));
    return bytes_;
  }

 private:
  static uint8_t Lo(uint16_t v) { return static_cast<uint8_t>(v); }
  static uint8_t Hi(uint16_t v) { return static_cast<uint8_t>(v >> 8); }
  void Put(std::initializer_list<uint8_t> bytes) { bytes_.insert(bytes_.end(), bytes); }
  std::vector<uint8_t> bytes_;
};

struct ShapeCase {
  const char* name;
  std::vector<AltShape> output;  // alternate settings 1, 2, ... of interface 1
  unsigned parsedOutput;
  unsigned outputRates;
};

TEST(StreamingDescriptorParse, StopsAtTheFirstIncompleteSettingAndReadsOnlyTheFirstOnesRates) {
  sim::Machine machine;
  const AltShape ok;
  const std::vector<ShapeCase> cases = {
      {"mask 0x0006: 44100 and 48000", {ok}, 1, 0x0006},
      {"second setting without format", {ok, {.format = false}, ok}, 1, 0x0006},
      {"second setting with zero mask", {ok, {.mask = 0}, ok}, 1, 0x0006},
      {"first setting without endpoint", {{.endpoint = false}}, 0, 0},
      {"first setting without format", {{.format = false}}, 0, 0},
      {"first setting with zero mask", {{.mask = 0}}, 0, 0},
      {"no vendor rate descriptor", {{.vendorRate = false}}, 0, 0},
      {"another vendor descriptor kind", {{.vendorKind = 3}}, 0, 0},
      {"bits beyond the nine rates", {{.mask = 0xFE01}}, 1, 0x0001},
      {"ten settings, nine parsed", std::vector<AltShape>(10, ok), 9, 0x0006},
      {"three settings", {ok, {.mask = 0x0004}, {.mask = 0x0002}}, 3, 0x0006},
  };
  for (const ShapeCase& c : cases) {
    SCOPED_TRACE(c.name);
    DescriptorWriter writer;
    writer.Interface(1, 0, 0);
    for (size_t k = 0; k < c.output.size(); ++k)
      writer.Streaming(1, static_cast<uint8_t>(k + 1), c.output[k], 0x01);
    writer.Interface(2, 0, 0);
    writer.Streaming(2, 1, {.mask = 0x01FF, .maxPacket = 280}, 0x82);
    std::vector<uint8_t> bytes = writer.Finish();

    auto usb = std::make_unique<CUsbDevice>();
    usb->ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    usb->ConfigurationDescriptorLength = static_cast<ULONG>(bytes.size());
    usb->ParseStreamingInterfaces();
    usb->ConfigurationDescriptor = nullptr;

    EXPECT_EQ(usb->ParsedAltSettings[0], c.parsedOutput);
    EXPECT_EQ(RateBits(usb->StreamLayout.OutputRateFlags), c.outputRates);
    EXPECT_EQ(RateBits(usb->StreamLayout.RateAltSettings), c.outputRates);
    EXPECT_EQ(usb->ParsedAltSettings[1], 1);
    EXPECT_EQ(RateBits(usb->StreamLayout.InputRateFlags), 0x01FFu);
    for (unsigned n = 0; n < kStreamRates; ++n)
      EXPECT_EQ(usb->StreamLayout.OutputPacketSizes[n], (c.outputRates >> n) & 1 ? 28 : 0) << n;
  }
}

TEST(StreamingDescriptorParse, ADescriptorCutShortIsNotReadPastItsEnd) {
  sim::Machine machine;
  DescriptorWriter writer;
  writer.Interface(1, 0, 0);
  writer.Streaming(1, 1, {}, 0x01);
  std::vector<uint8_t> bytes = writer.Finish();
  // Each cut leaves the last descriptor (the endpoint) incomplete or gone.
  for (size_t cut = 1; cut <= 7; ++cut) {
    SCOPED_TRACE(cut);
    std::vector<uint8_t> shortened(bytes.begin(), bytes.end() - static_cast<long>(cut));
    auto usb = std::make_unique<CUsbDevice>();
    usb->ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(shortened.data());
    usb->ConfigurationDescriptorLength = static_cast<ULONG>(shortened.size());
    const ALT_SETTING_RECORD record = usb->ParseStreamingAltSetting(1, 1);
    usb->ConfigurationDescriptor = nullptr;
    EXPECT_EQ(record.Valid, 0u);
    EXPECT_EQ(record.FormatType, 1);
    EXPECT_EQ(record.NrChannels, 4);
  }
}

}  // namespace
