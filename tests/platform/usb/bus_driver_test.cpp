// The hub driver's side of a unit as a client driver meets it: port status,
// controller name, the USBDI bus interface, the driver key, descriptors,
// configuration and interface selection, and requests it must refuse.
#include "platform/sim/io_manager.h"
#include "tests/platform/usb/bus_fixture.h"

namespace {

using namespace sim::unit;

TEST_F(BusTest, PortStatusAndBusInterfaceDescribeTheAttachedUnit) {
  PDEVICE_OBJECT pdo = Attach().pdo();
  ULONG port = 0;
  EXPECT_EQ(SendInternal(pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(port, ULONG{USBD_PORT_CONNECTED | USBD_PORT_ENABLED});

  USB_BUS_INTERFACE_USBDI_V1 bus{};
  ASSERT_EQ(QueryUsbdi(pdo, &bus), STATUS_SUCCESS);
  EXPECT_EQ(bus.Size, sizeof(USB_BUS_INTERFACE_USBDI_V1));
  EXPECT_EQ(bus.Version, USB_BUSIF_USBDI_VERSION_1);
  EXPECT_TRUE(bus.IsDeviceHighSpeed(bus.BusContext));
  ULONG frame = 0;
  ASSERT_EQ(bus.QueryBusTime(bus.BusContext, &frame), STATUS_SUCCESS);
  EXPECT_EQ(frame, controller->FrameNumber());
  machine.RunFor(300 * sim::kMillisecond);  // past the 32-bit wrap
  bus.QueryBusTime(bus.BusContext, &frame);
  EXPECT_EQ(frame, controller->FrameNumber());
  EXPECT_LT(frame, kStartFrame);
}

TEST_F(BusTest, AFullSpeedUnitIsNotHighSpeed) {
  UnitConfig config;
  config.fullSpeed = true;
  USB_BUS_INTERFACE_USBDI_V1 bus{};
  ASSERT_EQ(QueryUsbdi(Attach(config).pdo(), &bus), STATUS_SUCCESS);
  EXPECT_FALSE(bus.IsDeviceHighSpeed(bus.BusContext));
}

TEST_F(BusTest, ControllerNameIsLengthThenNameAndNeverOverrunsTheBuffer) {
  PDEVICE_OBJECT pdo = Attach().pdo();
  const std::u16string name = u"\\DosDevices\\HCD7";
  struct Case {
    ULONG size;
    NTSTATUS status;
    size_t characters;
  };
  for (const Case& c : {Case{2046, STATUS_SUCCESS, name.size()}, Case{4 + 10, STATUS_BUFFER_OVERFLOW, 5},
                        Case{3, STATUS_BUFFER_TOO_SMALL, 0}}) {
    SCOPED_TRACE(c.size);
    std::vector<uint8_t> work(c.size + 16, 0xEE);
    NTSTATUS status = SendInternal(pdo, IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, work.data(),
                                   reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(c.size)));
    EXPECT_EQ(status, c.status);
    for (size_t i = c.size; i < work.size(); ++i) ASSERT_EQ(work[i], 0xEE) << "written past the buffer at " << i;
    if (c.characters == 0) continue;
    auto* reply = reinterpret_cast<PUSB_HUB_NAME>(work.data());
    EXPECT_EQ(reply->ActualLength, c.characters * sizeof(WCHAR));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(reply->HubName), c.characters),
              name.substr(0, c.characters));
  }
}

TEST_F(BusTest, EachUnitHasADriverKeyWithItsInfPath) {
  UnitConfig second;
  second.serialNumber = u"TV0002";
  std::vector<PDEVICE_OBJECT> pdos{Attach().pdo(), Attach(second).pdo()};
  const std::u16string classKey =
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}\\";
  for (size_t i = 0; i < pdos.size(); ++i) {
    EXPECT_EQ(sim::InfoOf(pdos[i]).driverKeyPath, classKey + u"000" + char16_t(u'0' + i));
    HANDLE key;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdos[i], PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_SUCCESS);
    std::u16string valueName = u"InfPath";
    UNICODE_STRING name{USHORT(valueName.size() * 2), USHORT(valueName.size() * 2), valueName.data()};
    alignas(8) uint8_t buffer[256];
    ULONG length = 0;
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &length),
              STATUS_SUCCESS);
    auto* value = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(value->Data)), u"oem12.inf");
    ZwClose(key);
  }
}

TEST_F(BusTest, DescriptorsConfigurationAndSettingsReachTheUnit) {
  sim::usb::Device& device = Attach();
  PDEVICE_OBJECT pdo = device.pdo();
  auto descriptor = ReadDescriptor(pdo, USB_DEVICE_DESCRIPTOR_TYPE, 18);
  ASSERT_EQ(descriptor.size(), 18u);
  EXPECT_EQ(descriptor[8] | descriptor[9] << 8, kVendorId);

  UnitPipes pipes = Configure(pdo);
  ASSERT_NE(pipes.configuration, nullptr);
  EXPECT_EQ(device.unit().configuration(), 1);
  EXPECT_EQ(device.unit().alternateSetting(kAudioOutInterface), 1);
  EXPECT_EQ(device.unit().alternateSetting(kAudioInInterface), 1);
  EXPECT_NE(pipes.isoOut, nullptr);
  EXPECT_NE(pipes.isoIn, nullptr);

  // A handle lives only as long as the setting that gave it.
  auto configuration = device.unit().configurationDescriptor();
  std::vector<USBD_PIPE_INFORMATION> midi;
  ASSERT_EQ(SelectInterface(pdo, configuration, pipes.configuration, kMidiInterface, 1, &midi), STATUS_SUCCESS);
  ASSERT_EQ(midi.size(), 2u);
  EXPECT_EQ(midi[0].EndpointAddress, kMidiOutEndpoint);
  EXPECT_EQ(midi[0].PipeType, UsbdPipeTypeBulk);
  EXPECT_EQ(midi[0].MaximumPacketSize, kMidiMaxPacket);
  RawTransfer stale(pdo, sizeof(URB), 4);
  stale.PrepareBulk(pipes.midiOut, 4, 0);
  EXPECT_EQ(stale.Submit(), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(stale.urb()->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

  // A null descriptor deconfigures.
  URB deconfigure{};
  UsbBuildSelectConfigurationRequest(&deconfigure, sizeof(_URB_SELECT_CONFIGURATION), nullptr);
  EXPECT_EQ(SubmitUrbSync(pdo, &deconfigure), STATUS_SUCCESS);
  EXPECT_EQ(device.unit().configuration(), 0);
}

TEST_F(BusTest, ARefusedConfigurationFailsTheSelection) {
  // Refusing from the start, as the driver's first selection sees it.
  sim::usb::Device& device =
      controller->Attach({}, u"RawUsb", [](TarvikUnit& unit) { unit.RefuseConfiguration(true); });
  auto configuration = device.unit().configurationDescriptor();
  UnitPipes pipes;
  USBD_STATUS status = 0;
  EXPECT_FALSE(NT_SUCCESS(SelectConfiguration(device.pdo(), configuration, &pipes, &status)));
  EXPECT_EQ(status, USBD_STATUS_SET_CONFIG_FAILED);
  EXPECT_EQ(device.unit().configuration(), 0);
}

TEST_F(BusTest, MalformedRequestsAreRefusedBeforeTheyReachTheSchedule) {
  PDEVICE_OBJECT pdo = Attach().pdo();
  UnitPipes pipes = Configure(pdo);

  struct Case {
    const char* what;
    bool in;
    void (*spoil)(_URB_ISOCH_TRANSFER&, USHORT& length);
    USBD_STATUS status;
  };
  const Case cases[] = {
      {"descriptors past the request's end", true,
       [](_URB_ISOCH_TRANSFER&, USHORT& length) { length = offsetof(_URB_ISOCH_TRANSFER, IsoPacket) + 4 * 12; },
       USBD_STATUS_INVALID_PARAMETER},
      {"an offset past the buffer", true,
       [](_URB_ISOCH_TRANSFER& t, USHORT&) { t.IsoPacket[3].Offset = 100'000; }, USBD_STATUS_INVALID_PARAMETER},
      {"packets not a whole frame of microframes", true,
       [](_URB_ISOCH_TRANSFER& t, USHORT&) { t.NumberOfPackets = 7; }, USBD_STATUS_INVALID_PARAMETER},
      {"an OUT packet over the maximum size", false,
       [](_URB_ISOCH_TRANSFER& t, USHORT&) { t.IsoPacket[1].Offset = 0; }, USBD_STATUS_INVALID_PARAMETER},
      {"a start frame already past", true,
       [](_URB_ISOCH_TRANSFER& t, USHORT&) {
         t.TransferFlags &= ~USBD_START_ISO_TRANSFER_ASAP;
         t.StartFrame = kStartFrame - 1;
       },
       USBD_STATUS_BAD_START_FRAME},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ULONG packetBytes = c.in ? kIsoInMaxPacket : kIsoOutMaxPacket;
    RawTransfer iso(pdo, GET_ISO_URB_SIZE(8), 8 * packetBytes);
    iso.PrepareIso(c.in ? pipes.isoIn : pipes.isoOut, 8, packetBytes, c.in);
    c.spoil(iso.urb()->UrbIsochronousTransfer, iso.urb()->UrbHeader.Length);
    EXPECT_EQ(iso.Submit(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(iso.urb()->UrbHeader.Status, c.status);
  }

  URB descriptor{};
  uint8_t bytes[18];
  UsbBuildGetDescriptorRequest(&descriptor, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) - 8, USB_DEVICE_DESCRIPTOR_TYPE,
                               0, 0, bytes, nullptr, sizeof bytes, nullptr);
  EXPECT_EQ(SubmitUrbSync(pdo, &descriptor), STATUS_INVALID_PARAMETER);

  // Interface information too short for the setting's pipes.
  std::vector<uint8_t> select(sizeof(URB));
  auto* urb = reinterpret_cast<PURB>(select.data());
  UsbBuildSelectInterfaceRequest(urb, 80, pipes.configuration, kMidiInterface, 0);
  EXPECT_EQ(SubmitUrbSync(pdo, urb), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_BUFFER_TOO_SMALL);
}

TEST_F(BusTest, AnExplicitStartFrameIsKept) {
  PDEVICE_OBJECT pdo = Attach().pdo();
  UnitPipes pipes = Configure(pdo);
  RawTransfer iso(pdo, GET_ISO_URB_SIZE(8), 8 * kIsoInMaxPacket);
  iso.PrepareIso(pipes.isoIn, 8, kIsoInMaxPacket, true);
  const ULONG wanted = controller->FrameNumber() + 10;
  iso.urb()->UrbIsochronousTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
  iso.urb()->UrbIsochronousTransfer.StartFrame = wanted;
  ASSERT_EQ(iso.Submit(), STATUS_PENDING);
  ASSERT_TRUE(WaitFor(iso));
  EXPECT_EQ(iso.status(), STATUS_SUCCESS);
  EXPECT_EQ(iso.urb()->UrbIsochronousTransfer.StartFrame, wanted);
  EXPECT_EQ(controller->FrameNumber(), wanted + 1);  // completed as its frame ended
}

TEST_F(BusTest, AVendorRequestReachesTheUnit) {
  sim::usb::Device& device = Attach();
  Configure(device.pdo());
  URB urb{};
  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, 0x02,
                        0x1234, 0, nullptr, nullptr, 0, nullptr);
  EXPECT_EQ(SubmitUrbSync(device.pdo(), &urb), STATUS_SUCCESS);
  auto requests = device.unit().VendorRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].request, 0x02);
  EXPECT_EQ(requests[0].value, 0x1234);
}

TEST_F(BusTest, EachControllerCountsItsOwnFrames) {
  auto& second = sim::usb::CreateController(machine, {u"\\DosDevices\\HCD8", 12});
  auto& drawn = sim::usb::CreateController(machine);
  EXPECT_EQ(second.FrameNumber(), 12u);
  EXPECT_EQ(drawn.name(), u"\\DosDevices\\HCD2");
  USB_BUS_INTERFACE_USBDI_V1 here{}, there{};
  ASSERT_EQ(QueryUsbdi(Attach().pdo(), &here), STATUS_SUCCESS);
  ASSERT_EQ(QueryUsbdi(second.Attach({}, u"RawUsb").pdo(), &there), STATUS_SUCCESS);
  machine.RunFor(7 * sim::kMillisecond);
  ULONG a = 0, b = 0;
  here.QueryBusTime(here.BusContext, &a);
  there.QueryBusTime(there.BusContext, &b);
  EXPECT_EQ(a, kStartFrame + 7);
  EXPECT_EQ(b, 19u);
  EXPECT_EQ(sim::usb::Controllers(machine).size(), 3u);
}

}  // namespace

namespace {

// The rig may create its controllers before it loads any driver; teardown
// must then remove the units all the same.
TEST(BusTeardown, UnitsAreRemovedWhicheverServiceCameFirst) {
  for (bool controllerFirst : {true, false}) {
    SCOPED_TRACE(controllerFirst);
    {
      sim::Machine machine;
      sim::usb::Controller* controller = nullptr;
      if (controllerFirst) controller = &sim::usb::CreateController(machine);
      ASSERT_EQ(sim::PnpManager::Of(machine).LoadDriver(u"RawUsb", RawClientEntry, nullptr), STATUS_SUCCESS);
      if (!controllerFirst) controller = &sim::usb::CreateController(machine);
      sim::usb::Device& device = controller->Attach({}, u"RawUsb");
      ASSERT_EQ(device.startStatus(), STATUS_SUCCESS);
      BusTest::Configure(device.pdo());
    }
    EXPECT_EQ(g_rawClient.removals, 1);
  }
}

}  // namespace
