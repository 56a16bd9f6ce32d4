// A machine with one host controller, the raw client driver loaded, and
// helpers that configure a unit the way a client driver does.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/pnp.h"
#include "platform/sim/usb_bus.h"
#include "sim/unit/descriptors.h"
#include "tests/platform/usb/raw_client.h"

struct UnitPipes {
  USBD_CONFIGURATION_HANDLE configuration = nullptr;
  USBD_PIPE_HANDLE isoOut = nullptr;
  USBD_PIPE_HANDLE isoIn = nullptr;
  USBD_PIPE_HANDLE midiOut = nullptr;
  USBD_PIPE_HANDLE midiIn = nullptr;
};

class BusTest : public testing::Test {
 public:
  static constexpr uint32_t kStartFrame = 0xFFFF'FF00;  // wraps during long runs

  void SetUp() override {
    ASSERT_EQ(sim::PnpManager::Of(machine).LoadDriver(u"RawUsb", RawClientEntry, nullptr), STATUS_SUCCESS);
    controller = &sim::usb::CreateController(machine, {u"\\DosDevices\\HCD7", kStartFrame});
  }

  sim::usb::Device& Attach(sim::unit::UnitConfig config = {}) {
    sim::usb::Device& device = controller->Attach(config, u"RawUsb");
    EXPECT_EQ(device.startStatus(), STATUS_SUCCESS);
    return device;
  }

  static std::vector<uint8_t> ReadDescriptor(PDEVICE_OBJECT pdo, UCHAR type, ULONG length,
                                             NTSTATUS* status = nullptr) {
    std::vector<uint8_t> bytes(length);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, bytes.data(),
                                 nullptr, length, nullptr);
    NTSTATUS result = SubmitUrbSync(pdo, &urb);
    if (status != nullptr) *status = result;
    bytes.resize(NT_SUCCESS(result) ? urb.UrbControlDescriptorRequest.TransferBufferLength : 0);
    return bytes;
  }

  // Selects the configuration with every interface at alternate 0.
  static NTSTATUS SelectConfiguration(PDEVICE_OBJECT pdo, std::vector<uint8_t>& configuration,
                                      UnitPipes* pipes, USBD_STATUS* urbStatus = nullptr) {
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(descriptor, &size);
    NTSTATUS status = SubmitUrbSync(pdo, urb);
    if (urbStatus != nullptr) *urbStatus = urb->UrbHeader.Status;
    if (NT_SUCCESS(status)) {
      pipes->configuration = urb->UrbSelectConfiguration.ConfigurationHandle;
      // The MIDI interface is the last entry.
      auto* at = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
      for (UCHAR i = 0; i < descriptor->bNumInterfaces; ++i) {
        auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
        if (information->InterfaceNumber == sim::unit::kMidiInterface) {
          pipes->midiOut = information->Pipes[0].PipeHandle;
          pipes->midiIn = information->Pipes[1].PipeHandle;
        }
        at += information->Length;
      }
    }
    ExFreePool(urb);
    return status;
  }

  // As the driver sizes it: 48 bytes per endpoint plus 208, the interface
  // information filling all but the first 32 bytes.
  static NTSTATUS SelectInterface(PDEVICE_OBJECT pdo, const std::vector<uint8_t>& configuration,
                                  USBD_CONFIGURATION_HANDLE handle, UCHAR interface, UCHAR alternate,
                                  std::vector<USBD_PIPE_INFORMATION>* pipes, USBD_STATUS* urbStatus = nullptr) {
    auto* descriptor = USBD_ParseConfigurationDescriptor(
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<uint8_t*>(configuration.data())), interface,
        alternate);
    const size_t endpoints = descriptor != nullptr ? descriptor->bNumEndpoints : 0;
    const auto size = static_cast<USHORT>(48 * endpoints + 208);
    std::vector<uint8_t> bytes(size);
    auto* urb = reinterpret_cast<PURB>(bytes.data());
    UsbBuildSelectInterfaceRequest(urb, size, handle, interface, alternate);
    for (size_t j = 0; j < endpoints; ++j)
      urb->UrbSelectInterface.Interface.Pipes[j].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    NTSTATUS status = SubmitUrbSync(pdo, urb);
    if (urbStatus != nullptr) *urbStatus = urb->UrbHeader.Status;
    if (pipes != nullptr && NT_SUCCESS(status))
      pipes->assign(urb->UrbSelectInterface.Interface.Pipes,
                    urb->UrbSelectInterface.Interface.Pipes + urb->UrbSelectInterface.Interface.NumberOfPipes);
    return status;
  }

  // Descriptors, configuration, and the audio interfaces at alternate 1.
  static UnitPipes Configure(PDEVICE_OBJECT pdo) {
    UnitPipes pipes;
    auto header = ReadDescriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, sizeof(USB_CONFIGURATION_DESCRIPTOR));
    if (header.size() != sizeof(USB_CONFIGURATION_DESCRIPTOR)) return pipes;
    USHORT total;
    std::memcpy(&total, header.data() + offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength), sizeof total);
    auto configuration = ReadDescriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, total);
    if (!NT_SUCCESS(SelectConfiguration(pdo, configuration, &pipes))) return pipes;
    std::vector<USBD_PIPE_INFORMATION> audio;
    if (NT_SUCCESS(SelectInterface(pdo, configuration, pipes.configuration, sim::unit::kAudioOutInterface, 1,
                                   &audio)))
      pipes.isoOut = audio.at(0).PipeHandle;
    if (NT_SUCCESS(SelectInterface(pdo, configuration, pipes.configuration, sim::unit::kAudioInInterface, 1,
                                   &audio)))
      pipes.isoIn = audio.at(0).PipeHandle;
    return pipes;
  }

  bool WaitFor(RawTransfer& transfer, uint64_t limit = 100 * sim::kMillisecond) {
    return machine.RunUntil([&] { return transfer.completed(); }, limit);
  }

  sim::Machine machine;
  sim::usb::Controller* controller = nullptr;
};
