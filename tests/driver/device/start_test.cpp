// Device start: inert units, full-speed units, control device numbering.

#include <windows.h>

#include "platform/sim/dispatcher.h"
#include "platform/sim/ks_client.h"
#include "tests/driver/device/device_fixture.h"

namespace devicetest {
namespace {

using StartTest = DeviceTest;

// What user mode gets when it opens a control device by its Win32 name.
DWORD OpenErrorFor(sim::Machine& machine, int number) {
  DWORD error = 0;
  sim::SimulatedThread client(machine, [&] {
    std::u16string path = u"\\\\.\\Movakern00" + std::u16string(1, char16_t(u'0' + number));
    HANDLE file = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      error = GetLastError();
    } else {
      CloseHandle(file);
    }
  });
  client.Join();
  return error;
}

TEST_F(StartTest, RefusedConfigurationLeavesAWorkingInertDevice) {
  sim::usb::Device& unit = Attach(false, true);

  EXPECT_EQ(unit.startStatus(), STATUS_SUCCESS);
  EXPECT_EQ(ContextOf(unit), nullptr);
  EXPECT_FALSE(InNamespace(ControlDeviceName(1)));
  EXPECT_EQ(LiveContexts(), 0u);
  // The framework's own requests are not failed by the driver.
  EXPECT_EQ(sim::PnpManager::Of(machine).SetDevicePower(unit.pdo(), PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(sim::PnpManager::Of(machine).SetDevicePower(unit.pdo(), PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(sim::PnpManager::Of(machine).RemoveDevice(unit.pdo()), STATUS_SUCCESS);
}

TEST_F(StartTest, FullSpeedUnitHasAControlDeviceWithoutLinkAndNoSubdevices) {
  sim::usb::Device& unit = Attach(true);

  ASSERT_EQ(unit.startStatus(), STATUS_SUCCESS);
  CDeviceContext* context = ContextOf(unit);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->UsbDevice.HighSpeed, 0u);
  EXPECT_TRUE(InNamespace(ControlDeviceName(1)));
  EXPECT_FALSE(InNamespace(ControlLinkName(1)));
  EXPECT_EQ(OpenErrorFor(machine, 1), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(sim::KsListSubdevices(machine).empty());
  EXPECT_FALSE(context->UsbDevice.PipeWorker.IsRunning());
  EXPECT_FALSE(context->Engine.Worker.IsRunning());
}

TEST_F(StartTest, HighSpeedUnitRunsItsWorkersAndTick) {
  sim::usb::Device& unit = Attach();

  ASSERT_EQ(unit.startStatus(), STATUS_SUCCESS);
  CDeviceContext* context = ContextOf(unit);
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->UsbDevice.HighSpeed, 1u);
  EXPECT_EQ(context->State(), DeviceWorking);
  EXPECT_TRUE(InNamespace(ControlLinkName(1)));
  EXPECT_EQ(OpenErrorFor(machine, 1), 0u);
  EXPECT_TRUE(context->UsbDevice.PipeWorker.IsRunning());
  EXPECT_TRUE(context->Engine.Worker.IsRunning());
  EXPECT_NE(context->TickTimer.Enabled, 0);
  // The tick keeps coming.
  ULONGLONG before = context->LastTickTime;
  machine.RunFor(5 * sim::kMillisecond);
  EXPECT_GT(context->LastTickTime, before);
}

TEST_F(StartTest, ControlDevicesAreNumberedInStartOrderAndFreedNumbersReused) {
  sim::usb::Device* units[5];
  for (auto*& unit : units) unit = &Attach();

  for (int i = 0; i < 4; ++i) {
    ASSERT_NE(ContextOf(*units[i]), nullptr) << i;
    EXPECT_EQ(ContextOf(*units[i])->ControlIndex, ULONG(i));
    EXPECT_TRUE(InNamespace(ControlDeviceName(i + 1))) << i;
    EXPECT_TRUE(InNamespace(ControlLinkName(i + 1))) << i;
  }
  EXPECT_EQ(units[4]->startStatus(), STATUS_SUCCESS);
  EXPECT_EQ(ContextOf(*units[4]), nullptr) << "a fifth unit gets no control device";
  EXPECT_FALSE(InNamespace(ControlDeviceName(5)));

  ASSERT_EQ(sim::PnpManager::Of(machine).RemoveDevice(units[1]->pdo()), STATUS_SUCCESS);
  EXPECT_FALSE(InNamespace(ControlDeviceName(2)));
  EXPECT_FALSE(InNamespace(ControlLinkName(2)));

  sim::usb::Device& next = Attach();
  ASSERT_NE(ContextOf(next), nullptr);
  EXPECT_EQ(ContextOf(next)->ControlIndex, 1u);
}

TEST_F(StartTest, NameHeldByADeviceBeingDeletedIsSkipped) {
  // Another driver's device object that is deleted but still referenced
  // keeps its name.
  PDRIVER_OBJECT holder = sim::PnpManager::Of(machine).CreatePlatformDriver(u"Holder");
  std::u16string name = ControlDeviceName(1);
  UNICODE_STRING deviceName{USHORT(name.size() * 2), USHORT(name.size() * 2), name.data()};
  PDEVICE_OBJECT stale = nullptr;
  ASSERT_EQ(IoCreateDevice(holder, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &stale), STATUS_SUCCESS);
  ObReferenceObject(stale);
  IoDeleteDevice(stale);
  ASSERT_TRUE(InNamespace(name));

  sim::usb::Device& unit = Attach();
  ASSERT_NE(ContextOf(unit), nullptr);
  EXPECT_EQ(ContextOf(unit)->ControlIndex, 1u);
  EXPECT_TRUE(InNamespace(ControlLinkName(2)));

  ObDereferenceObject(stale);
}

TEST_F(StartTest, SecondDriverEntryKeepsTheDriverWideState) {
  Attach();
  CDriverState* settings = DriverSettings();
  CAsioGroup* group = DriverAsioGroup();
  AsioMemberRecord* members = DriverAsioMembers();
  ASSERT_NE(settings, nullptr);
  ASSERT_NE(group, nullptr);
  ASSERT_NE(members, nullptr);
  EXPECT_EQ(group->SampleRate, 44100u);
  settings->Pending.BufSize2 = 7;
  group->SampleRate = 96000;
  LONG cycleState = 0;
  members[3].CycleState = &cycleState;
  std::u16string path = sim::FromUnicodeString(DriverRegistryPath());

  UNICODE_STRING again{USHORT(path.size() * 2), USHORT(path.size() * 2), path.data()};
  EXPECT_EQ(DriverEntry(driver, &again), STATUS_SUCCESS);

  EXPECT_EQ(DriverSettings(), settings);
  EXPECT_EQ(DriverAsioGroup(), group);
  EXPECT_EQ(DriverAsioMembers(), members);
  EXPECT_EQ(settings->Pending.BufSize2, 7u);
  EXPECT_EQ(group->SampleRate, 96000u);
  EXPECT_EQ(members[3].CycleState, &cycleState);
  EXPECT_EQ(sim::FromUnicodeString(DriverRegistryPath()), path);
  EXPECT_EQ(machine.pool().liveByTag()[sim::FormatTag('pRvM')].blocks, 1u) << "one path copy";
  members[3].CycleState = nullptr;
}

// Each allocation the start makes fails once in turn: the unit then starts
// inert or fails its start, and nothing is left behind when it goes (the
// machine checks for leaks as it ends). One of them is the context's.
TEST(StartFaultTest, EveryAllocationFailureDuringStartIsContained) {
  bool sawInertStart = false;
  for (uint64_t n = 1;; ++n) {
    SCOPED_TRACE(testing::Message() << "failing allocation " << n);
    sim::Machine machine;
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(sim::PnpManager::Of(machine).LoadDriver(sim::rig::kServiceName, DriverEntry, &driver), STATUS_SUCCESS);
    sim::usb::Controller& controller = sim::usb::CreateController(machine);
    sim::usb::Device& unit = controller.Attach({}, sim::rig::kServiceName, [&](sim::unit::TarvikUnit&) {
      machine.pool().FailNthAllocation(n);
    });
    bool hit = machine.pool().failedCount() != 0;
    machine.pool().StopFailing();
    if (unit.pdo() && unit.pdo()->AttachedDevice && unit.startStatus() == STATUS_SUCCESS &&
        FunctionalExtensionOf(unit.pdo()->AttachedDevice)->Context == nullptr) {
      sawInertStart = true;
    }
    unit.Unplug();
    if (!hit) break;
  }
  EXPECT_TRUE(sawInertStart);
}

}  // namespace
}  // namespace devicetest
