// The default pipe of an attached unit: descriptors, configuration and
// interface selection (which open and close the pipes the schedule uses),
// vendor and class requests, pipe reset and abort. These run synchronously
// in the submitting thread under the schedule lock.

#include <algorithm>
#include <cstring>
#include <span>

#include <usbdlib.h>

#include "platform/usb/host_controller.h"

namespace sim::usb {
namespace {

// Handles carry a tag, the generation of the selection that made them and
// the slot, so a handle from an earlier selection never matches.
constexpr uint64_t kPipeHandleTag = 0x5B0Full << 48;
constexpr uint64_t kConfigurationHandleTag = 0x5B0Cull << 48;
constexpr uint64_t kInterfaceHandleTag = 0x5B01ull << 48;

PVOID EncodeHandle(uint64_t tag, uint32_t generation, size_t slot) {
  return reinterpret_cast<PVOID>(static_cast<uintptr_t>(tag | uint64_t{generation} << 8 | (slot + 1)));
}

USB_DEFAULT_PIPE_SETUP_PACKET Setup(UCHAR requestType, UCHAR request, USHORT value, USHORT index,
                                    USHORT length) {
  return {requestType, request, value, index, length};
}

USHORT Clamp16(ULONG value) { return static_cast<USHORT>(std::min<ULONG>(value, 0xFFFF)); }

}  // namespace

Pipe* HostController::FindPipe(AttachedUnit& device, USBD_PIPE_HANDLE handle) {
  const auto value = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
  if ((value & (0xFFFFull << 48)) != kPipeHandleTag) return nullptr;
  const size_t slot = (value & 0xFF) - 1;
  const auto generation = static_cast<uint32_t>(value >> 8);
  if (slot >= device.pipeCount_) return nullptr;
  Pipe& pipe = device.pipes_[slot];
  return pipe.open && pipe.generation == generation ? &pipe : nullptr;
}

USBD_STATUS HostController::RunControlLocked(AttachedUnit& device, PURB urb, DoneList* done) {
  TellUnitLocked(device, CurrentFrame() * 8);
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return SelectConfiguration(device, urb, done);
    case URB_FUNCTION_SELECT_INTERFACE:
      return SelectInterface(device, urb, done);
    case URB_FUNCTION_ABORT_PIPE:
      return AbortPipe(device, urb, done);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
      return ResetPipe(device, urb);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
      return GetDescriptor(device, urb);
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
      return VendorOrClass(device, urb);
    case URB_FUNCTION_CONTROL_TRANSFER:
      return ControlTransfer(device, urb);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
      if (urb->UrbHeader.Length < sizeof(_URB_GET_CURRENT_FRAME_NUMBER)) return USBD_STATUS_INVALID_PARAMETER;
      urb->UrbGetCurrentFrameNumber.FrameNumber = static_cast<ULONG>(CurrentFrame());
      return USBD_STATUS_SUCCESS;
    default:
      return USBD_STATUS_INVALID_URB_FUNCTION;
  }
}

// One request on the default pipe; `length` is the data stage's size in and
// the bytes moved out.
USBD_STATUS HostController::DeviceRequest(AttachedUnit& device, const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                          PVOID buffer, ULONG* length) {
  if (buffer == nullptr && *length != 0) return USBD_STATUS_INVALID_PARAMETER;
  const ULONG requested = *length;
  const auto outcome =
      device.unit_->Control(setup, {static_cast<uint8_t*>(buffer), static_cast<size_t>(requested)});
  *length = outcome.stalled ? 0 : static_cast<ULONG>(outcome.length);
  const USBD_STATUS status = outcome.stalled ? USBD_STATUS_STALL_PID : USBD_STATUS_SUCCESS;
  CaptureControl(device, setup, buffer, requested, *length, status);
  return status;
}

USBD_STATUS HostController::GetDescriptor(AttachedUnit& device, PURB urb) {
  if (urb->UrbHeader.Length < sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)) return USBD_STATUS_INVALID_PARAMETER;
  auto& request = urb->UrbControlDescriptorRequest;
  ULONG length = Clamp16(request.TransferBufferLength);
  const auto setup = Setup(0x80, USB_REQUEST_GET_DESCRIPTOR,
                           USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(request.DescriptorType, request.Index),
                           request.LanguageId, static_cast<USHORT>(length));
  const USBD_STATUS status = DeviceRequest(device, setup, request.TransferBuffer, &length);
  request.TransferBufferLength = length;
  return status;
}

USBD_STATUS HostController::VendorOrClass(AttachedUnit& device, PURB urb) {
  if (urb->UrbHeader.Length < sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)) return USBD_STATUS_INVALID_PARAMETER;
  auto& request = urb->UrbControlVendorClassRequest;
  const USHORT function = urb->UrbHeader.Function;
  UCHAR type = BMREQUEST_VENDOR;
  UCHAR recipient = BMREQUEST_TO_DEVICE;
  switch (function) {
    case URB_FUNCTION_CLASS_DEVICE: type = BMREQUEST_CLASS; break;
    case URB_FUNCTION_CLASS_INTERFACE: type = BMREQUEST_CLASS; recipient = BMREQUEST_TO_INTERFACE; break;
    case URB_FUNCTION_CLASS_ENDPOINT: type = BMREQUEST_CLASS; recipient = BMREQUEST_TO_ENDPOINT; break;
    case URB_FUNCTION_CLASS_OTHER: type = BMREQUEST_CLASS; recipient = BMREQUEST_TO_OTHER; break;
    case URB_FUNCTION_VENDOR_INTERFACE: recipient = BMREQUEST_TO_INTERFACE; break;
    case URB_FUNCTION_VENDOR_ENDPOINT: recipient = BMREQUEST_TO_ENDPOINT; break;
    case URB_FUNCTION_VENDOR_OTHER: recipient = BMREQUEST_TO_OTHER; break;
    default: break;
  }
  const bool in = USBD_TRANSFER_DIRECTION(request.TransferFlags) == USBD_TRANSFER_DIRECTION_IN;
  const auto requestType = static_cast<UCHAR>((in ? 0x80 : 0) | type << 5 | recipient |
                                              (request.RequestTypeReservedBits & 0x1F & ~0x03));
  ULONG length = Clamp16(request.TransferBufferLength);
  const auto setup = Setup(requestType, request.Request, request.Value, request.Index,
                           static_cast<USHORT>(length));
  const USBD_STATUS status = DeviceRequest(device, setup, request.TransferBuffer, &length);
  request.TransferBufferLength = length;
  return status;
}

USBD_STATUS HostController::ControlTransfer(AttachedUnit& device, PURB urb) {
  if (urb->UrbHeader.Length < sizeof(_URB_CONTROL_TRANSFER)) return USBD_STATUS_INVALID_PARAMETER;
  auto& request = urb->UrbControlTransfer;
  USB_DEFAULT_PIPE_SETUP_PACKET setup;
  std::memcpy(&setup, request.SetupPacket, sizeof setup);
  // Configuration and settings change only through the select requests,
  // which keep the pipes in step.
  const bool standard = ((setup.bmRequestType >> 5) & 3) == BMREQUEST_STANDARD;
  if (standard && (setup.bRequest == USB_REQUEST_SET_CONFIGURATION || setup.bRequest == USB_REQUEST_SET_INTERFACE))
    return USBD_STATUS_INVALID_PARAMETER;
  ULONG length = std::min<ULONG>(setup.wLength, request.TransferBufferLength);
  setup.wLength = static_cast<USHORT>(length);
  const USBD_STATUS status = DeviceRequest(device, setup, request.TransferBuffer, &length);
  request.TransferBufferLength = length;
  return status;
}

void HostController::ClosePipes(AttachedUnit& device, int interface, DoneList* done) {
  for (size_t i = 0; i < device.pipeCount_; ++i) {
    Pipe& pipe = device.pipes_[i];
    if (!pipe.open || (interface >= 0 && pipe.interface != interface)) continue;
    FlushQueue(device, pipe, USBD_STATUS_CANCELED, done);
    pipe.open = false;
    pipe.continues = false;
  }
}

// Opens the pipes of an alternate setting and describes them to the caller.
USBD_STATUS HostController::OpenInterface(AttachedUnit& device, PUSBD_INTERFACE_INFORMATION information,
                                          const USB_INTERFACE_DESCRIPTOR& descriptor) {
  information->Class = descriptor.bInterfaceClass;
  information->SubClass = descriptor.bInterfaceSubClass;
  information->Protocol = descriptor.bInterfaceProtocol;
  information->InterfaceHandle = EncodeHandle(kInterfaceHandleTag, device.configurationGeneration_,
                                              descriptor.bInterfaceNumber);
  information->NumberOfPipes = descriptor.bNumEndpoints;

  const auto* configuration =
      reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(device.configurationDescriptor_.data());
  PVOID base = device.configurationDescriptor_.data();
  PVOID at = reinterpret_cast<PUCHAR>(const_cast<USB_INTERFACE_DESCRIPTOR*>(&descriptor)) + descriptor.bLength;
  for (ULONG j = 0; j < descriptor.bNumEndpoints;) {
    auto* found = USBD_ParseDescriptors(base, configuration->wTotalLength, at, -1);
    if (found == nullptr || found->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE)
      return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    at = reinterpret_cast<PUCHAR>(found) + found->bLength;
    if (found->bDescriptorType != USB_ENDPOINT_DESCRIPTOR_TYPE) continue;
    const auto& endpoint = *reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(found);
    size_t slot = 0;
    while (slot < device.pipeCount_ && device.pipes_[slot].address != endpoint.bEndpointAddress) ++slot;
    if (slot == device.pipeCount_) return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
    Pipe& pipe = device.pipes_[slot];
    const USHORT size = endpoint.wMaxPacketSize;
    pipe.interface = descriptor.bInterfaceNumber;
    pipe.type = static_cast<USBD_PIPE_TYPE>(endpoint.bmAttributes & USB_ENDPOINT_TYPE_MASK);
    pipe.maxPacket = static_cast<uint16_t>((size & 0x7FF) * (1 + ((size >> 11) & 3)));
    pipe.interval = endpoint.bInterval;
    pipe.open = true;
    pipe.halted = false;
    pipe.continues = false;
    pipe.generation = ++device.generation_;

    USBD_PIPE_INFORMATION& info = information->Pipes[j++];
    info.MaximumPacketSize = pipe.maxPacket;
    info.EndpointAddress = pipe.address;
    info.Interval = pipe.interval;
    info.PipeType = pipe.type;
    info.PipeHandle = EncodeHandle(kPipeHandleTag, pipe.generation, slot);
  }
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS HostController::SelectConfiguration(AttachedUnit& device, PURB urb, DoneList* done) {
  constexpr size_t kInterfacesAt = offsetof(_URB_SELECT_CONFIGURATION, Interface);
  constexpr size_t kPipesAt = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
  if (urb->UrbHeader.Length < kInterfacesAt) return USBD_STATUS_INVALID_PARAMETER;
  auto& request = urb->UrbSelectConfiguration;
  if (request.ConfigurationDescriptor == nullptr) {
    ClosePipes(device, -1, done);
    device.configuration_ = 0;
    request.ConfigurationHandle = nullptr;
    ULONG none = 0;
    return DeviceRequest(device, Setup(0, USB_REQUEST_SET_CONFIGURATION, 0, 0, 0), nullptr, &none);
  }

  // Check every interface entry against the descriptors before the unit
  // hears of anything.
  auto* ours = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
      device.configurationDescriptor_.data());
  struct Choice {
    PUSBD_INTERFACE_INFORMATION information;
    PUSB_INTERFACE_DESCRIPTOR descriptor;
  };
  std::array<Choice, 32> choices{};
  const size_t interfaces = std::min<size_t>(ours->bNumInterfaces, choices.size());
  auto* at = reinterpret_cast<PUCHAR>(&request.Interface);
  auto* end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
  for (size_t i = 0; i < interfaces; ++i) {
    auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
    if (static_cast<size_t>(end - at) < kPipesAt || information->Length < kPipesAt ||
        information->Length > end - at)
      return USBD_STATUS_INVALID_PARAMETER;
    auto* descriptor = USBD_ParseConfigurationDescriptor(ours, information->InterfaceNumber,
                                                         information->AlternateSetting);
    if (descriptor == nullptr) return USBD_STATUS_INTERFACE_NOT_FOUND;
    if (information->Length < GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints))
      return USBD_STATUS_BUFFER_TOO_SMALL;
    choices[i] = {information, descriptor};
    at += information->Length;
  }

  ClosePipes(device, -1, done);
  device.configuration_ = 0;
  const UCHAR value = request.ConfigurationDescriptor->bConfigurationValue;
  ULONG none = 0;
  if (DeviceRequest(device, Setup(0, USB_REQUEST_SET_CONFIGURATION, value, 0, 0), nullptr, &none) !=
      USBD_STATUS_SUCCESS)
    return USBD_STATUS_SET_CONFIG_FAILED;
  device.configuration_ = value;
  device.configurationGeneration_ = ++device.generation_;
  for (size_t i = 0; i < interfaces; ++i) {
    const auto& [information, descriptor] = choices[i];
    if (descriptor->bAlternateSetting != 0) {
      const auto setup = Setup(BMREQUEST_TO_INTERFACE, USB_REQUEST_SET_INTERFACE,
                               descriptor->bAlternateSetting, descriptor->bInterfaceNumber, 0);
      const USBD_STATUS status = DeviceRequest(device, setup, nullptr, &none);
      if (status != USBD_STATUS_SUCCESS) return status;
    }
    const USBD_STATUS status = OpenInterface(device, information, *descriptor);
    if (status != USBD_STATUS_SUCCESS) return status;
  }
  request.ConfigurationHandle = EncodeHandle(kConfigurationHandleTag, device.configurationGeneration_, 0);
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS HostController::SelectInterface(AttachedUnit& device, PURB urb, DoneList* done) {
  constexpr size_t kInterfaceAt = offsetof(_URB_SELECT_INTERFACE, Interface);
  constexpr size_t kPipesAt = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
  if (urb->UrbHeader.Length < kInterfaceAt + kPipesAt) return USBD_STATUS_INVALID_PARAMETER;
  auto& request = urb->UrbSelectInterface;
  if (device.configuration_ == 0 ||
      request.ConfigurationHandle !=
          EncodeHandle(kConfigurationHandleTag, device.configurationGeneration_, 0))
    return USBD_STATUS_INVALID_PARAMETER;
  PUSBD_INTERFACE_INFORMATION information = &request.Interface;
  // The interface information may be longer than its pipes need, never shorter.
  if (information->Length < kPipesAt || information->Length > urb->UrbHeader.Length - kInterfaceAt)
    return USBD_STATUS_INVALID_PARAMETER;
  auto* ours = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
      device.configurationDescriptor_.data());
  auto* descriptor = USBD_ParseConfigurationDescriptor(ours, information->InterfaceNumber,
                                                       information->AlternateSetting);
  if (descriptor == nullptr) return USBD_STATUS_INTERFACE_NOT_FOUND;
  if (information->Length < GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints))
    return USBD_STATUS_BUFFER_TOO_SMALL;

  ClosePipes(device, descriptor->bInterfaceNumber, done);
  ULONG none = 0;
  const auto setup = Setup(BMREQUEST_TO_INTERFACE, USB_REQUEST_SET_INTERFACE,
                           descriptor->bAlternateSetting, descriptor->bInterfaceNumber, 0);
  const USBD_STATUS status = DeviceRequest(device, setup, nullptr, &none);
  if (status != USBD_STATUS_SUCCESS) return status;
  return OpenInterface(device, information, *descriptor);
}

USBD_STATUS HostController::AbortPipe(AttachedUnit& device, PURB urb, DoneList* done) {
  if (urb->UrbHeader.Length < sizeof(_URB_PIPE_REQUEST)) return USBD_STATUS_INVALID_PARAMETER;
  Pipe* pipe = FindPipe(device, urb->UrbPipeRequest.PipeHandle);
  if (pipe == nullptr) return USBD_STATUS_INVALID_PIPE_HANDLE;
  FlushQueue(device, *pipe, USBD_STATUS_CANCELED, done);
  pipe->continues = false;
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS HostController::ResetPipe(AttachedUnit& device, PURB urb) {
  if (urb->UrbHeader.Length < sizeof(_URB_PIPE_REQUEST)) return USBD_STATUS_INVALID_PARAMETER;
  Pipe* pipe = FindPipe(device, urb->UrbPipeRequest.PipeHandle);
  if (pipe == nullptr) return USBD_STATUS_INVALID_PIPE_HANDLE;
  if (urb->UrbHeader.Function != URB_FUNCTION_SYNC_RESET_PIPE) {
    ULONG none = 0;
    const auto setup = Setup(BMREQUEST_TO_ENDPOINT, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL,
                             pipe->address, 0);
    const USBD_STATUS status = DeviceRequest(device, setup, nullptr, &none);
    if (status != USBD_STATUS_SUCCESS) return status;
  }
  if (urb->UrbHeader.Function != URB_FUNCTION_SYNC_CLEAR_STALL) {
    pipe->halted = false;
    pipe->continues = false;
  }
  return USBD_STATUS_SUCCESS;
}

void HostController::CaptureControl(AttachedUnit& device, const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                    const void* data, ULONG requested, ULONG actual, USBD_STATUS status) {
  if (!capture_.active()) return;
  const bool in = (setup.bmRequestType & 0x80) != 0;
  const auto* bytes = static_cast<const uint8_t*>(data);
  CaptureRecord record;
  record.id = ++captureIds_;
  record.transfer = CaptureTransfer::Control;
  record.endpoint = in ? 0x80 : 0x00;
  record.device = device.address();
  record.bus = static_cast<uint16_t>(index_ + 1);
  record.time = machine_.Now();
  record.setup = reinterpret_cast<const uint8_t*>(&setup);
  record.status = kCaptureInProgress;
  record.length = requested;
  if (!in && bytes != nullptr) record.data = {bytes, requested};
  capture_.Write(record);

  record.completion = true;
  record.setup = nullptr;
  record.status = status == USBD_STATUS_SUCCESS ? 0 : kCaptureStall;
  record.length = actual;
  record.data = in && bytes != nullptr ? std::span<const uint8_t>{bytes, actual} : std::span<const uint8_t>{};
  capture_.Write(record);
}

}  // namespace sim::usb
