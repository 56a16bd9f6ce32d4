// Removal: open handles keep the context, query remove while busy.

#include <windows.h>

#include "platform/sim/dispatcher.h"
#include "tests/driver/device/device_fixture.h"

namespace devicetest {
namespace {

using RemovalTest = DeviceTest;

const char16_t kControlPath[] = u"\\\\.\\Movakern001";

HANDLE OpenControl() {
  return CreateFileW(reinterpret_cast<LPCWSTR>(kControlPath), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

TEST_F(RemovalTest, OpenHandleKeepsTheContextUntilItsClose) {
  sim::usb::Device& unit = Attach();
  ASSERT_NE(ContextOf(unit), nullptr);
  // Keeps the driver loaded past the last close, which runs on a client
  // thread.
  Attach();
  HANDLE first = INVALID_HANDLE_VALUE;
  sim::SimulatedThread open(machine, [&] { first = OpenControl(); });
  open.Join();
  ASSERT_NE(first, INVALID_HANDLE_VALUE);

  unit.Unplug();
  EXPECT_EQ(LiveContexts(), 2u);
  EXPECT_TRUE(InNamespace(ControlDeviceName(1)));

  HANDLE second = INVALID_HANDLE_VALUE;
  DWORD error = 0;
  BOOL closed = FALSE;
  sim::SimulatedThread late(machine, [&] {
    second = OpenControl();
    error = GetLastError();
    closed = CloseHandle(first);
  });
  late.Join();
  EXPECT_EQ(second, INVALID_HANDLE_VALUE) << "new opens are refused after removal";
  EXPECT_EQ(error, DWORD(ERROR_ACCESS_DENIED));  // STATUS_DELETE_PENDING
  EXPECT_TRUE(closed);
  EXPECT_EQ(LiveContexts(), 1u);
  EXPECT_FALSE(InNamespace(ControlDeviceName(1)));
  EXPECT_FALSE(InNamespace(ControlLinkName(1)));
}

TEST_F(RemovalTest, RemovalWithoutHandlesFreesTheContext) {
  sim::usb::Device& unit = Attach();
  ASSERT_NE(ContextOf(unit), nullptr);
  ASSERT_EQ(sim::PnpManager::Of(machine).RemoveDevice(unit.pdo()), STATUS_SUCCESS);
  EXPECT_EQ(LiveContexts(), 0u);
  EXPECT_FALSE(InNamespace(ControlDeviceName(1)));
  EXPECT_FALSE(InNamespace(ControlLinkName(1)));
}

struct BusyCase {
  const char* what;
  LONG* (*field)(CDeviceContext*);
};

class QueryRemoveTest : public DeviceTest, public testing::WithParamInterface<BusyCase> {};

TEST_P(QueryRemoveTest, IsRefusedWhileBusyAndGrantedOnceIdle) {
  sim::usb::Device& unit = Attach();
  CDeviceContext* context = ContextOf(unit);
  ASSERT_NE(context, nullptr);
  LONG* busy = GetParam().field(context);

  InterlockedExchange(busy, 1);
  EXPECT_EQ(sim::PnpManager::Of(machine).RemoveDevice(unit.pdo()), STATUS_DEVICE_BUSY);
  EXPECT_EQ(ContextOf(unit), context);
  EXPECT_EQ(context->State(), DeviceWorking);

  InterlockedExchange(busy, 0);
  EXPECT_EQ(sim::PnpManager::Of(machine).RemoveDevice(unit.pdo()), STATUS_SUCCESS);
  EXPECT_EQ(LiveContexts(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Activity, QueryRemoveTest,
    testing::Values(
        BusyCase{"MidiOutputStream", [](CDeviceContext* c) { return &c->UsbDevice.MidiOut.OpenStreams; }},
        BusyCase{"MidiInputStream", [](CDeviceContext* c) { return &c->UsbDevice.MidiIn.OpenStreams; }},
        BusyCase{"EngineRunning", [](CDeviceContext* c) { return &c->Engine.RunMode; }}),
    [](const testing::TestParamInfo<BusyCase>& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace devicetest
