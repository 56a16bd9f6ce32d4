// A machine with one host controller and Movakern loaded through the PnP
// manager, with helpers to attach units and reach a unit's context.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "driver/core/device_context.h"
#include "driver/core/device_extension.h"
#include "driver/core/driver_globals.h"
#include "platform/sim/io_manager.h"
#include "platform/sim/machine.h"
#include "platform/sim/pnp.h"
#include "platform/sim/pool.h"
#include "platform/sim/usb_bus.h"
#include "platform/sim/verifier.h"

namespace devicetest {

inline constexpr char16_t kService[] = u"Movakern";

class DeviceTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sim::PnpManager::Of(machine).LoadDriver(kService, DriverEntry, &driver), STATUS_SUCCESS);
    controller = &sim::usb::CreateController(machine);
  }

  // Units go before the machine does, as they leave a real system.
  void TearDown() override {
    if (!controller) return;
    for (sim::usb::Device* unit : controller->devices())
      if (unit->connected()) unit->Unplug();
  }

  sim::usb::Device& Attach(bool fullSpeed = false,
                           const std::function<void(sim::unit::TarvikUnit&)>& prepare = {}) {
    sim::unit::UnitConfig config;
    config.fullSpeed = fullSpeed;
    return controller->Attach(config, kService, prepare);
  }

  static PDEVICE_OBJECT FunctionalDevice(sim::usb::Device& unit) { return unit.pdo()->AttachedDevice; }
  static CDeviceContext* ContextOf(sim::usb::Device& unit) {
    return FunctionalExtensionOf(FunctionalDevice(unit))->Context;
  }

  // Namespace paths compare without case.
  bool InNamespace(const std::u16string& path) {
    auto upper = [](std::u16string text) {
      for (auto& c : text) c = (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
      return text;
    };
    const std::u16string wanted = upper(path);
    const std::u16string canonical = upper(sim::IoManager::Canonical(path));
    for (const auto& name : sim::IoManager::Of(machine).ListNamespace())
      if (upper(name) == wanted || upper(name) == canonical) return true;
    return false;
  }
  static std::u16string ControlDeviceName(int number) {
    return u"\\Device\\Movakern00" + std::u16string(1, char16_t(u'0' + number));
  }
  static std::u16string ControlLinkName(int number) {
    return u"\\DosDevices\\Movakern00" + std::u16string(1, char16_t(u'0' + number));
  }

  size_t LiveContexts() {
    auto tags = machine.pool().liveByTag();
    auto found = tags.find(sim::FormatTag(kDeviceContextTag));
    return found == tags.end() ? 0 : found->second.blocks;
  }

  sim::Machine machine;
  PDRIVER_OBJECT driver = nullptr;
  sim::usb::Controller* controller = nullptr;
};

}  // namespace devicetest
