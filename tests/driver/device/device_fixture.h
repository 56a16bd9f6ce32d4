// The rig with Movakern loaded, and helpers to attach units and reach a
// unit's context.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
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
#include "sim/rig/rig.h"

namespace devicetest {


class DeviceTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(rig.Start(&error)) << error;
    driver = rig.driver();
  }
  // The rig removes the units, and checks that the driver unloaded and left
  // no pool behind.
  void TearDown() override {
    std::string error;
    EXPECT_TRUE(rig.Stop(&error)) << error;
  }

  sim::usb::Device& Attach(bool fullSpeed = false, bool refuseConfiguration = false) {
    sim::rig::UnitSetup setup;
    setup.fullSpeed = fullSpeed;
    setup.refuseConfiguration = refuseConfiguration;
    return rig.Attach(setup);
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

  sim::rig::Rig rig{sim::rig::RigOptions{}};
  sim::Machine& machine = rig.machine();
  PDRIVER_OBJECT driver = nullptr;
};

}  // namespace devicetest
