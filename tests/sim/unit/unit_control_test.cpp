// The unit's default control pipe: descriptors, configuration, settings,
// endpoint halt and the vendor request.
#include <gtest/gtest.h>

#include <usbspec.h>

#include "unit_bench.h"

namespace sim::unit {
namespace {

using harness::MakeSetup;
using harness::UnitBench;

// The rate mask the vendor descriptor of `interface`'s setting 1 announces,
// or -1 when it has none.
int RateMask(const std::vector<uint8_t>& config, uint8_t interface) {
  int currentInterface = -1, currentAlternate = -1;
  for (size_t at = 0; at + 2 <= config.size() && config[at] != 0; at += config[at]) {
    const uint8_t* d = &config[at];
    if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
      currentInterface = d[2];
      currentAlternate = d[3];
    } else if (d[0] == 6 && d[1] == kCsInterface && d[2] == kVendorRateSubtype && d[3] == 4 &&
               currentInterface == interface && currentAlternate == 1) {
      return d[4] | d[5] << 8;
    }
  }
  return -1;
}

TEST(UnitControl, DeviceDescriptorNamesAFictionalUnitWithItsFirmware) {
  UnitBench bench({.descriptors = {.bcdDevice = 0x1234}});
  const auto device = bench.GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18);
  ASSERT_EQ(device.size(), 18u);
  USB_DEVICE_DESCRIPTOR descriptor;
  std::memcpy(&descriptor, device.data(), sizeof descriptor);
  EXPECT_EQ(uint16_t{descriptor.bcdUSB}, 0x0200);
  EXPECT_EQ(uint16_t{descriptor.idVendor}, kVendorId);
  EXPECT_EQ(uint16_t{descriptor.idProduct}, kProductId);
  EXPECT_EQ(uint16_t{descriptor.bcdDevice}, 0x1234);
  EXPECT_EQ(descriptor.bNumConfigurations, 1);

  const auto standard = UnitBench().GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 18);
  EXPECT_EQ(standard[12] | standard[13] << 8, 0x0100);
}

TEST(UnitControl, ConfigurationIsReadInTwoStepsLikeTheDriverDoes) {
  UnitBench bench;
  const auto head = bench.GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9);
  ASSERT_EQ(head.size(), 9u);
  const uint16_t total = head[2] | head[3] << 8;
  EXPECT_EQ(head[4], kInterfaceCount);
  const auto whole = bench.GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, total);
  EXPECT_EQ(whole.size(), total);
  EXPECT_EQ(whole, bench.unit.configurationDescriptor());
  // Asking for more than there is returns what there is.
  EXPECT_EQ(bench.GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 4096).size(), total);
}

TEST(UnitControl, RateDescriptorFollowsTheConfiguredMask) {
  struct Case {
    DescriptorOptions options;
    int outMask, inMask;
  };
  const Case cases[] = {
      {{}, kAllRatesMask, kAllRatesMask},
      {{.outRateMask = 0x0006, .inRateMask = 0x0004}, 0x0006, 0x0004},
      {{.vendorRateDescriptor = false}, -1, -1},
  };
  for (const auto& c : cases) {
    const auto config = BuildConfigurationDescriptor(c.options);
    EXPECT_EQ(RateMask(config, kAudioOutInterface), c.outMask);
    EXPECT_EQ(RateMask(config, kAudioInInterface), c.inMask);
  }
}

TEST(UnitControl, StringsAnswerInUtf16) {
  UnitBench bench({.serialNumber = u"SN42"});
  EXPECT_EQ(bench.GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, 0, 255),
            (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
  EXPECT_EQ(bench.GetDescriptor(USB_STRING_DESCRIPTOR_TYPE, kSerialStringIndex, 255),
            (std::vector<uint8_t>{10, 3, 'S', 0, 'N', 0, '4', 0, '2', 0}));
}

TEST(UnitControl, RequestsTheUnitDoesNotTakeAreStalled) {
  struct Case {
    const char* what;
    USB_DEFAULT_PIPE_SETUP_PACKET setup;
  };
  const Case cases[] = {
      {"configuration 2", MakeSetup(0x00, USB_REQUEST_SET_CONFIGURATION, 2, 0)},
      {"alternate 2 of audio out", MakeSetup(0x01, USB_REQUEST_SET_INTERFACE, 2, 1)},
      {"alternate 1 of audio control", MakeSetup(0x01, USB_REQUEST_SET_INTERFACE, 1, 0)},
      {"interface 4", MakeSetup(0x01, USB_REQUEST_SET_INTERFACE, 0, 4)},
      {"second configuration descriptor", MakeSetup(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0201, 0, 9)},
      {"string 7", MakeSetup(0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0307, 0, 255)},
      {"class request", MakeSetup(0x21, 0x01, 0x0100, 0x0001, 0)},
      {"vendor request 0x03", MakeSetup(0x40, 0x03, 0, 0)},
      {"vendor 0x02 with data", MakeSetup(0x40, 0x02, 0, 0, 2)},
      {"vendor 0x02 device to host", MakeSetup(0xC0, 0x02, 0, 0, 0)},
      {"halt an inactive endpoint", MakeSetup(0x02, USB_REQUEST_SET_FEATURE, 0, kIsoInEndpoint)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    UnitBench bench;
    ASSERT_FALSE(bench.SetConfiguration(1).stalled);
    uint8_t data[255] = {};
    EXPECT_TRUE(bench.unit.Control(c.setup, data).stalled);
  }
}

TEST(UnitControl, RefusedConfigurationLeavesTheUnitUnconfigured) {
  UnitBench bench;
  bench.unit.RefuseConfiguration(true);
  EXPECT_TRUE(bench.SetConfiguration(1).stalled);
  EXPECT_EQ(bench.unit.configuration(), 0);
  EXPECT_TRUE(bench.SetInterface(kAudioInInterface, 1).stalled);
  bench.unit.RefuseConfiguration(false);
  EXPECT_FALSE(bench.SetConfiguration(1).stalled);
  EXPECT_EQ(bench.unit.configuration(), 1);
}

TEST(UnitControl, EndpointsExistOnlyInTheSelectedSettings) {
  UnitBench bench;
  uint8_t buffer[512];
  EXPECT_EQ(bench.unit.IsoIn(kIsoInEndpoint, buffer).status, EndpointStatus::NotActive);
  EXPECT_EQ(bench.unit.BulkIn(kMidiInEndpoint, buffer).status, EndpointStatus::NotActive);

  bench.SetConfiguration(1);
  EXPECT_EQ(bench.unit.IsoIn(kIsoInEndpoint, buffer).status, EndpointStatus::NotActive);
  EXPECT_EQ(bench.unit.BulkIn(kMidiInEndpoint, buffer).status, EndpointStatus::Nak);

  bench.SetInterface(kAudioInInterface, 1);
  EXPECT_EQ(bench.unit.alternateSetting(kAudioInInterface), 1);
  EXPECT_EQ(bench.unit.IsoIn(kIsoInEndpoint, buffer).status, EndpointStatus::Ok);
  // The IN endpoint is not an OUT endpoint, nor the other way round.
  EXPECT_EQ(bench.unit.IsoOut(kIsoInEndpoint, {}), EndpointStatus::NotActive);

  bench.SetInterface(kAudioInInterface, 0);
  EXPECT_EQ(bench.unit.IsoIn(kIsoInEndpoint, buffer).status, EndpointStatus::NotActive);
}

TEST(UnitControl, HaltLastsUntilClearFeatureOrReselection) {
  UnitBench bench;
  bench.StartStreaming();
  uint8_t buffer[512];
  uint8_t status[2];
  auto endpointStatus = [&](uint8_t endpoint) {
    bench.unit.Control(MakeSetup(0x82, USB_REQUEST_GET_STATUS, 0, endpoint, 2), status);
    return status[0];
  };

  bench.unit.Stall(kMidiInEndpoint);
  EXPECT_EQ(bench.unit.BulkIn(kMidiInEndpoint, buffer).status, EndpointStatus::Stalled);
  EXPECT_EQ(endpointStatus(kMidiInEndpoint), 1);
  EXPECT_FALSE(bench.unit.Control(MakeSetup(0x02, USB_REQUEST_CLEAR_FEATURE, 0, kMidiInEndpoint), {}).stalled);
  EXPECT_EQ(endpointStatus(kMidiInEndpoint), 0);
  EXPECT_EQ(bench.unit.BulkIn(kMidiInEndpoint, buffer).status, EndpointStatus::Nak);

  bench.unit.Control(MakeSetup(0x02, USB_REQUEST_SET_FEATURE, 0, kIsoInEndpoint), {});
  EXPECT_TRUE(bench.unit.IsHalted(kIsoInEndpoint));
  EXPECT_EQ(bench.unit.IsoIn(kIsoInEndpoint, buffer).status, EndpointStatus::Stalled);
  bench.SetInterface(kAudioInInterface, 1);
  EXPECT_FALSE(bench.unit.IsHalted(kIsoInEndpoint));
}

TEST(UnitControl, TransferFailuresAreCountedDown) {
  UnitBench bench;
  bench.unit.FailNextTransfers(kMidiOutEndpoint, 2);
  EXPECT_TRUE(bench.unit.TakeTransferFailure(kMidiOutEndpoint));
  EXPECT_FALSE(bench.unit.TakeTransferFailure(kMidiInEndpoint));
  EXPECT_TRUE(bench.unit.TakeTransferFailure(kMidiOutEndpoint));
  EXPECT_FALSE(bench.unit.TakeTransferFailure(kMidiOutEndpoint));
}

TEST(UnitControl, VendorRequestTwoIsRecordedWithItsMicroframe) {
  UnitBench bench;
  bench.SetConfiguration(1);
  EXPECT_FALSE(bench.unit.Control(MakeSetup(0x40, 0x02, 0x0001, 0), {}).stalled);
  bench.NextMicroframe();
  EXPECT_FALSE(bench.unit.Control(MakeSetup(0x40, 0x02, 0xBEEF, 0), {}).stalled);
  const auto requests = bench.unit.VendorRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].value, 0x0001);
  EXPECT_EQ(requests[1].value, 0xBEEF);
  EXPECT_EQ(requests[1].microframe, requests[0].microframe + 1);
}

}  // namespace
}  // namespace sim::unit
