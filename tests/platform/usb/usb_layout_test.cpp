// The request sizes a client driver computes must describe structures that
// fit, on a 64-bit build, exactly as the bus driver reads them.
#include <gtest/gtest.h>

#include <usb.h>
#include <usbbusif.h>
#include <usbdlib.h>
#include <usbioctl.h>

namespace {

TEST(UsbLayout, FixedRequestsHaveTheSizesClientsAllocate) {
  EXPECT_EQ(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), 136u);
  EXPECT_EQ(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 136u);
  EXPECT_EQ(sizeof(struct _URB_PIPE_REQUEST), 40u);
  EXPECT_EQ(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), 128u);
  EXPECT_EQ(sizeof(USB_BUS_INTERFACE_USBDI_V1), 72u);
}

TEST(UsbLayout, IsochronousRequestHoldsOnePacketDescriptorPerPacket) {
  for (ULONG packets : {8u, 24u, 80u}) {
    const size_t size = 152 + 12 * packets;
    EXPECT_EQ(GET_ISO_URB_SIZE(packets), size);
    EXPECT_LE(offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) + packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR),
              size);
  }
}

// A select-interface request of 48 × endpoints + 208 bytes whose interface
// information is declared as the rest of the URB; the client copies back
// 24 × (endpoints + 1) + 16 bytes of it, which must cover every pipe.
TEST(UsbLayout, InterfaceSelectionSizesCoverEveryPipe) {
  for (size_t endpoints : {0u, 1u, 2u, 7u}) {
    SCOPED_TRACE(endpoints);
    const size_t urbLength = 48 * endpoints + 208;
    const size_t informationLength = urbLength - 32;
    const size_t copiedBack = 24 * (endpoints + 1) + 16;
    EXPECT_EQ(offsetof(struct _URB_SELECT_INTERFACE, Interface), 32u);
    EXPECT_GE(informationLength, GET_USBD_INTERFACE_SIZE(endpoints));
    EXPECT_GE(urbLength, GET_SELECT_INTERFACE_REQUEST_SIZE(endpoints > 0 ? endpoints : 1));
    EXPECT_LE(copiedBack, informationLength);
    EXPECT_GE(copiedBack, offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
                              endpoints * sizeof(USBD_PIPE_INFORMATION));
  }
}

TEST(UsbLayout, PipeInformationStartsWithTheEndpointFacts) {
  EXPECT_EQ(offsetof(USBD_PIPE_INFORMATION, MaximumPacketSize), 0u);
  EXPECT_EQ(offsetof(USBD_PIPE_INFORMATION, EndpointAddress), 2u);
  EXPECT_EQ(offsetof(USBD_PIPE_INFORMATION, Interval), 3u);
  EXPECT_EQ(offsetof(USBD_PIPE_INFORMATION, PipeType), 4u);
  EXPECT_EQ(offsetof(USBD_PIPE_INFORMATION, PipeHandle), 8u);
}

TEST(UsbLayout, BuildersFillTheFieldsTheBusDriverReads) {
  URB urb{};
  UCHAR buffer[18];
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                               USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, sizeof buffer,
                               nullptr);
  EXPECT_EQ(urb.UrbHeader.Function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
  EXPECT_EQ(urb.UrbHeader.Length, 136);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.DescriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBuffer, buffer);
  EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 18u);

  URB vendor{};
  UsbBuildVendorRequest(&vendor, URB_FUNCTION_VENDOR_DEVICE,
                        sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), 0, 0, 0x02, 0x1234, 0,
                        nullptr, nullptr, 0, nullptr);
  EXPECT_EQ(vendor.UrbHeader.Function, URB_FUNCTION_VENDOR_DEVICE);
  EXPECT_EQ(vendor.UrbControlVendorClassRequest.Request, 0x02);
  EXPECT_EQ(vendor.UrbControlVendorClassRequest.Value, 0x1234);

  alignas(8) UCHAR select[48 * 2 + 208] = {};
  auto* selectUrb = reinterpret_cast<PURB>(select);
  UsbBuildSelectInterfaceRequest(selectUrb, sizeof select, reinterpret_cast<PVOID>(0x10), 3, 1);
  EXPECT_EQ(selectUrb->UrbSelectInterface.Interface.Length, sizeof select - 32);
  EXPECT_EQ(selectUrb->UrbSelectInterface.Interface.InterfaceNumber, 3);
  EXPECT_EQ(selectUrb->UrbSelectInterface.Interface.AlternateSetting, 1);
}

TEST(UsbStatus, ClassesFollowTheTopBits) {
  struct Case {
    USBD_STATUS status;
    bool success, pending, error, halted;
  };
  const Case cases[] = {
      {USBD_STATUS_SUCCESS, true, false, false, false},
      {USBD_STATUS_PENDING, true, true, false, false},
      {USBD_STATUS_INVALID_PIPE_HANDLE, false, false, true, false},
      {USBD_STATUS_STALL_PID, false, false, true, true},
      {USBD_STATUS_CANCELED, false, false, true, true},
      {USBD_STATUS_DEVICE_GONE, false, false, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    EXPECT_EQ(USBD_SUCCESS(c.status), c.success);
    EXPECT_EQ(USBD_PENDING(c.status), c.pending);
    EXPECT_EQ(USBD_ERROR(c.status), c.error);
    EXPECT_EQ(USBD_HALTED(c.status), c.halted);
  }
}

}  // namespace
