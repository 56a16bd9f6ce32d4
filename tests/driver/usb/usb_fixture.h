// A machine with one host controller and the hosting driver loaded; a test
// attaches one unit, and teardown removes it so the driver unloads through
// the verifier's leak check.
#pragma once

#include <gtest/gtest.h>

#include "driver/core/settings_store.h"
#include "platform/sim/machine.h"
#include "platform/sim/pnp.h"
#include "platform/sim/usb_bus.h"
#include "sim/unit/descriptors.h"
#include "tests/driver/usb/usb_host_driver.h"

inline constexpr char16_t kHostService[] = u"UsbHost";
inline constexpr char16_t kControllerName[] = u"\\DosDevices\\HCD7";

class UsbDeviceTest : public testing::Test {
 protected:
  void SetUp() override {
    g_usbHost = UsbHostState{};
    ConstructSettings(g_usbHost.settings);
    ASSERT_EQ(sim::PnpManager::Of(machine).LoadDriver(kHostService, UsbHostDriverEntry, nullptr), STATUS_SUCCESS);
    controller = &sim::usb::CreateController(machine, {kControllerName, 0x100});
  }

  void TearDown() override {
    if (unit != nullptr && unit->pdo() != nullptr) {
      EXPECT_EQ(sim::PnpManager::Of(machine).RemoveDevice(unit->pdo()), STATUS_SUCCESS);
      EXPECT_EQ(g_usbHost.removals, 1);
    }
  }

  CUsbDevice& Attach(sim::unit::UnitConfig config = {},
                     const std::function<void(sim::unit::TarvikUnit&)>& prepare = {}) {
    unit = &controller->Attach(config, kHostService, prepare);
    EXPECT_EQ(unit->startStatus(), STATUS_SUCCESS);
    EXPECT_NE(g_usbHost.device, nullptr);
    return *g_usbHost.device;
  }

  sim::unit::TarvikUnit& Unit() { return unit->unit(); }

  sim::Machine machine;
  sim::usb::Controller* controller = nullptr;
  sim::usb::Device* unit = nullptr;
};
