// The USBD library over the unit's own configuration descriptor: finding
// settings, walking class-specific descriptors, and sizing the
// select-configuration request.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include <usbdlib.h>
#include <wdm.h>

#include "platform/sim/machine.h"
#include "platform/sim/pool.h"
#include "sim/unit/descriptors.h"

namespace {

using namespace sim::unit;

class UsbdLibTest : public ::testing::Test {
 protected:
  PUSB_CONFIGURATION_DESCRIPTOR config() {
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes_.data());
  }
  PUCHAR end() { return bytes_.data() + bytes_.size(); }

  sim::Machine machine_;
  std::vector<uint8_t> bytes_ = BuildConfigurationDescriptor({});
};

TEST_F(UsbdLibTest, FindsEverySettingOfTheUnitAndNoOther) {
  struct Case {
    LONG interface, alternate;
    bool present;
    UCHAR endpoints;
  };
  const Case cases[] = {
      {0, 0, true, 0}, {1, 0, true, 0}, {1, 1, true, 1},  {2, 0, true, 0},
      {2, 1, true, 1}, {3, 0, true, 2}, {3, 1, true, 2},  {1, 2, false, 0},
      {4, 0, false, 0}, {0, 1, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.interface << "/" << c.alternate);
    auto* found = USBD_ParseConfigurationDescriptorEx(config(), config(), c.interface,
                                                      c.alternate, -1, -1, -1);
    ASSERT_EQ(found != nullptr, c.present);
    if (!found) continue;
    EXPECT_EQ(found->bInterfaceNumber, c.interface);
    EXPECT_EQ(found->bAlternateSetting, c.alternate);
    EXPECT_EQ(found->bNumEndpoints, c.endpoints);
  }
}

TEST_F(UsbdLibTest, ClassCriteriaAndStartPositionNarrowTheSearch) {
  // Audio streaming (class 1, subclass 2): interface 1 comes first.
  auto* first = USBD_ParseConfigurationDescriptorEx(config(), config(), -1, -1, 1, 2, -1);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->bInterfaceNumber, 1);
  EXPECT_EQ(first->bAlternateSetting, 0);

  // Searching on from just after it finds its alternate setting 1.
  auto* next = USBD_ParseConfigurationDescriptorEx(
      config(), reinterpret_cast<PUCHAR>(first) + first->bLength, -1, -1, 1, 2, -1);
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->bInterfaceNumber, 1);
  EXPECT_EQ(next->bAlternateSetting, 1);

  EXPECT_EQ(USBD_ParseConfigurationDescriptor(config(), 2, 1),
            USBD_ParseConfigurationDescriptorEx(config(), config(), 2, 1, -1, -1, -1));
}

// What the driver reads out of an audio setting: the format type, the vendor
// rate mask and the endpoint, all class-specific descriptors reached by type.
TEST_F(UsbdLibTest, WalksTheClassSpecificDescriptorsOfAnAudioSetting) {
  auto* setting = USBD_ParseConfigurationDescriptor(config(), kAudioInInterface, 1);
  ASSERT_NE(setting, nullptr);
  const ULONG total = config()->wTotalLength;

  std::vector<PUCHAR> classSpecific;
  for (PUCHAR at = reinterpret_cast<PUCHAR>(setting) + setting->bLength;;) {
    auto* found = USBD_ParseDescriptors(config(), total, at, kCsInterface);
    if (found == nullptr) break;
    auto* next = USBD_ParseConfigurationDescriptorEx(config(), at, -1, -1, -1, -1, -1);
    if (next != nullptr && reinterpret_cast<PUCHAR>(next) < reinterpret_cast<PUCHAR>(found)) break;
    classSpecific.push_back(reinterpret_cast<PUCHAR>(found));
    at = reinterpret_cast<PUCHAR>(found) + found->bLength;
  }
  ASSERT_EQ(classSpecific.size(), 3u);  // general, format type, vendor rates
  const PUCHAR format = classSpecific[1];
  EXPECT_EQ(format[0], 11);
  EXPECT_EQ(format[2], kFormatTypeSubtype);
  EXPECT_EQ(format[4], kInChannels);
  EXPECT_EQ(format[8] | format[9] << 8 | format[10] << 16, 48000);
  const PUCHAR rates = classSpecific[2];
  EXPECT_EQ(rates[0], 6);
  EXPECT_EQ(rates[2], kVendorRateSubtype);
  EXPECT_EQ(rates[3], 4);
  EXPECT_EQ(rates[4] | rates[5] << 8, kAllRatesMask);

  auto* endpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(
      USBD_ParseDescriptors(config(), total, setting, USB_ENDPOINT_DESCRIPTOR_TYPE));
  ASSERT_NE(endpoint, nullptr);
  EXPECT_EQ(endpoint->bEndpointAddress, kIsoInEndpoint);
  EXPECT_EQ(endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK, USB_ENDPOINT_TYPE_ISOCHRONOUS);
  const USHORT maxPacket = endpoint->wMaxPacketSize;  // packed: no reference to it
  EXPECT_EQ(maxPacket, 7 * 40);
}

TEST_F(UsbdLibTest, NeverReadsPastTheSetOrLoopsOnAZeroLength) {
  // The set ends in the middle of the last endpoint descriptor.
  const ULONG cut = static_cast<ULONG>(bytes_.size() - 3);
  auto* last = reinterpret_cast<PUCHAR>(
      USBD_ParseConfigurationDescriptor(config(), kMidiInterface, 1));
  ASSERT_NE(last, nullptr);
  std::vector<PUSB_COMMON_DESCRIPTOR> endpoints;
  for (PUCHAR at = last;;) {
    auto* found = USBD_ParseDescriptors(config(), cut, at, USB_ENDPOINT_DESCRIPTOR_TYPE);
    if (found == nullptr) break;
    endpoints.push_back(found);
    at = reinterpret_cast<PUCHAR>(found) + found->bLength;
  }
  EXPECT_EQ(endpoints.size(), 1u);  // the cut one is not returned

  // A descriptor of length 0 ends the walk instead of repeating forever.
  bytes_[config()->bLength] = 0;
  EXPECT_EQ(USBD_ParseDescriptors(config(), config()->wTotalLength, config(),
                                  USB_ENDPOINT_DESCRIPTOR_TYPE),
            nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config(), config(), -1, -1, -1, -1, -1), nullptr);
}

TEST_F(UsbdLibTest, ConfigurationRequestHasRoomForEveryListedPipe) {
  USBD_INTERFACE_LIST_ENTRY list[] = {
      {USBD_ParseConfigurationDescriptor(config(), 0, 0), nullptr},
      {USBD_ParseConfigurationDescriptor(config(), 1, 1), nullptr},
      {USBD_ParseConfigurationDescriptor(config(), 2, 1), nullptr},
      {USBD_ParseConfigurationDescriptor(config(), 3, 1), nullptr},
      {nullptr, nullptr},
  };
  PURB urb = USBD_CreateConfigurationRequestEx(config(), list);
  ASSERT_NE(urb, nullptr);
  // 40 bytes of header and handles, then 24 + 24 × pipes per interface.
  const size_t expected = 40 + (24) + (24 + 24) + (24 + 24) + (24 + 48);
  EXPECT_EQ(urb->UrbHeader.Length, expected);
  EXPECT_EQ(machine_.pool().SizeOf(urb), expected);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config());

  auto* const urbEnd = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
  PUCHAR expectedAt = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    auto* information = list[i].Interface;
    ASSERT_EQ(reinterpret_cast<PUCHAR>(information), expectedAt);
    EXPECT_EQ(information->InterfaceNumber, list[i].InterfaceDescriptor->bInterfaceNumber);
    EXPECT_EQ(information->AlternateSetting, list[i].InterfaceDescriptor->bAlternateSetting);
    EXPECT_EQ(information->NumberOfPipes, list[i].InterfaceDescriptor->bNumEndpoints);
    EXPECT_EQ(information->Length, GET_USBD_INTERFACE_SIZE(information->NumberOfPipes));
    for (ULONG pipe = 0; pipe < information->NumberOfPipes; ++pipe)
      EXPECT_EQ(information->Pipes[pipe].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    expectedAt += information->Length;
    EXPECT_LE(expectedAt, urbEnd);
  }
  EXPECT_EQ(expectedAt, urbEnd);
  ExFreePool(urb);
}

TEST_F(UsbdLibTest, ClassicConfigurationRequestTakesEveryInterfaceAtSettingZero) {
  USHORT size = 0;
  PURB urb = USBD_CreateConfigurationRequest(config(), &size);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(size, urb->UrbHeader.Length);
  EXPECT_EQ(size, 40 + 24 + 24 + 24 + (24 + 48));

  auto* information = &urb->UrbSelectConfiguration.Interface;
  for (UCHAR interface = 0; interface < kInterfaceCount; ++interface) {
    EXPECT_EQ(information->InterfaceNumber, interface);
    EXPECT_EQ(information->AlternateSetting, 0);
    information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(
        reinterpret_cast<PUCHAR>(information) + information->Length);
  }
  ExFreePool(urb);  // the machine's leak check also proves the work list was freed
}

TEST_F(UsbdLibTest, OutOfPoolGivesNoRequest) {
  for (uint64_t failing : {1u, 2u}) {
    SCOPED_TRACE(failing);
    machine_.pool().FailNthAllocation(failing);
    USHORT size = 1;
    EXPECT_EQ(USBD_CreateConfigurationRequest(config(), &size), nullptr);
    EXPECT_EQ(size, 0);
    machine_.pool().StopFailing();
  }
}

}  // namespace
