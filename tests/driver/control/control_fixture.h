// A rig with a high-speed unit (control device 1, with its link) and a
// full-speed one (control device 2, no link), and the two ways to reach a
// control device: user mode through its link, and kernel requests sent to
// the device object, which also show the information field of a failure.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <wdm.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/control_codes.h"
#include "common/settings_record.h"
#include "driver/core/device_context.h"
#include "driver/core/device_extension.h"
#include "platform/sim/io_manager.h"
#include "platform/sim/registry.h"
#include "sim/rig/rig.h"

namespace controltest {

inline constexpr char kCommonKey[] =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Movakern\\Parameters\\Common";

struct UserReply {
  BOOL ok;
  DWORD error;  // GetLastError when !ok
  DWORD returned;
};

// One request from user mode with `buffer` as both input and output.
inline UserReply CallDevice(HANDLE device, ULONG code, void* buffer, DWORD length) {
  UserReply reply{};
  reply.ok = DeviceIoControl(device, code, buffer, length, buffer, length, &reply.returned, nullptr);
  reply.error = reply.ok ? 0 : GetLastError();
  return reply;
}

inline HANDLE OpenControlDevice(int number) {
  const std::u16string path = u"\\\\.\\Movakern00" + std::u16string(1, char16_t(u'0' + number));
  return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

struct KernelReply {
  NTSTATUS status;
  ULONG_PTR information;
};

// A device control sent straight to the device object, as a kernel caller
// does; `beforeCall` runs between building the request and sending it.
template <typename BeforeCall>
KernelReply SendKernelRequest(PDEVICE_OBJECT device, ULONG code, void* buffer, ULONG length,
                              BeforeCall beforeCall) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(code, device, buffer, length, buffer, length, FALSE,
                                           &event, &iosb);
  if (irp == nullptr) return {STATUS_INSUFFICIENT_RESOURCES, 0};
  beforeCall();
  NTSTATUS status = IoCallDriver(device, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  return {status, iosb.Information};
}

inline KernelReply SendKernelRequest(PDEVICE_OBJECT device, ULONG code, void* buffer, ULONG length) {
  return SendKernelRequest(device, code, buffer, length, [] {});
}

inline SETTINGS_RECORD RecordOf(const std::vector<uint8_t>& wire) {
  SETTINGS_RECORD record;
  std::memcpy(&record, wire.data(), sizeof(record));
  return record;
}

inline ULONG UlongAt(const std::vector<uint8_t>& bytes, size_t offset) {
  ULONG value;
  std::memcpy(&value, bytes.data() + offset, sizeof(value));
  return value;
}

class ControlDeviceTest : public testing::Test {
 protected:
  static constexpr int kHighSpeed = 1;
  static constexpr int kFullSpeed = 2;

  // The units to attach; control device n belongs to the n-th.
  virtual std::vector<const char*> UnitSetups() const { return {"hs:bcd=0x1234", "fs"}; }

  void SetUp() override {
    sim::rig::RigOptions options;
    for (const char* text : UnitSetups()) {
      std::string error;
      auto setup = sim::rig::ParseUnitSetup(text, &error);
      ASSERT_TRUE(setup) << error;
      options.units.push_back(*setup);
    }
    rig = std::make_unique<sim::rig::Rig>(options);
    std::string error;
    ASSERT_TRUE(rig->Start(&error)) << error;
  }

  void TearDown() override {
    std::string error;
    EXPECT_TRUE(rig->Stop(&error)) << error;
  }

  PDEVICE_OBJECT ControlDevice(int number) {
    const std::u16string name = u"\\Device\\Movakern00" + std::u16string(1, char16_t(u'0' + number));
    PDEVICE_OBJECT device = nullptr;
    std::u16string remainder;
    EXPECT_EQ(sim::IoManager::Of(rig->machine()).Resolve(name, &device, &remainder), STATUS_SUCCESS);
    return device;
  }

  CDeviceContext* Context(int number) {
    PDEVICE_OBJECT device = ControlDevice(number);
    return device != nullptr ? ExtensionOf(device)->Context : nullptr;
  }

  CDriverState& DriverSettings() { return *Context(kHighSpeed)->UsbDevice.Settings; }

  void SetActiveStreams(LONG count) {
    CDriverState& state = DriverSettings();
    KIRQL irql;
    KeAcquireSpinLock(&state.SettingsLock, &irql);
    state.ActiveStreamCount = count;
    KeReleaseSpinLock(&state.SettingsLock, irql);
  }

  sim::Registry& Registry() { return rig->machine().service<sim::Registry>(); }

  // The settings request's record (settings and result word), from user mode.
  std::vector<uint8_t> GetSettings() {
    std::vector<uint8_t> wire(sizeof(SETTINGS_RECORD) + 4);
    rig->RunClient([&] {
      HANDLE device = OpenControlDevice(kHighSpeed);
      ASSERT_NE(device, INVALID_HANDLE_VALUE);
      UserReply reply = CallDevice(device, IOCTL_DEV_GET_SETTINGS, wire.data(), DWORD(wire.size()));
      EXPECT_TRUE(reply.ok) << reply.error;
      CloseHandle(device);
    });
    return wire;
  }

  // Writes `record`; returns the result word.
  ULONG SetSettings(const SETTINGS_RECORD& record) {
    std::vector<uint8_t> wire(sizeof(SETTINGS_RECORD) + 4, 0xEE);
    std::memcpy(wire.data(), &record, sizeof(record));
    rig->RunClient([&] {
      HANDLE device = OpenControlDevice(kHighSpeed);
      ASSERT_NE(device, INVALID_HANDLE_VALUE);
      UserReply reply = CallDevice(device, IOCTL_DEV_SET_SETTINGS, wire.data(), DWORD(wire.size()));
      EXPECT_TRUE(reply.ok) << reply.error;
      EXPECT_EQ(reply.returned, wire.size());
      CloseHandle(device);
    });
    return UlongAt(wire, sizeof(SETTINGS_RECORD));
  }

  std::unique_ptr<sim::rig::Rig> rig;
};

}  // namespace controltest
