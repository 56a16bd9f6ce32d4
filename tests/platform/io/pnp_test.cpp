// The PnP and power manager driving the test driver's function device on a
// tiny bus: start, removal with and without refusal, surprise removal, power
// transitions, shutdown, and unload with the leak check.

#include <gtest/gtest.h>

#include "platform/sim/io_manager.h"
#include "platform/sim/pnp.h"
#include "platform/sim/registry.h"
#include "tests/platform/io/test_driver.h"

namespace {

// The bus side: a physical device object that succeeds what a PDO owns.
NTSTATUS BusDispatch(PDEVICE_OBJECT, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MajorFunction == IRP_MJ_POWER || stack->MinorFunction == IRP_MN_START_DEVICE ||
      stack->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE || stack->MinorFunction == IRP_MN_REMOVE_DEVICE ||
      stack->MinorFunction == IRP_MN_CANCEL_REMOVE_DEVICE || stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL ||
      stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES)
    Irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS status = Irp->IoStatus.Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

class Pnp : public testing::Test {
 protected:
  void SetUp() override {
    PDRIVER_OBJECT bus = pnp().CreatePlatformDriver(u"TestBus");
    bus->MajorFunction[IRP_MJ_PNP] = BusDispatch;
    bus->MajorFunction[IRP_MJ_POWER] = BusDispatch;
    ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo), STATUS_SUCCESS);
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    ASSERT_EQ(pnp().LoadDriver(u"TestDrv", TestDriverEntry, &driver), STATUS_SUCCESS);
  }
  void TearDown() override { IoDeleteDevice(pdo); }
  sim::PnpManager& pnp() { return sim::PnpManager::Of(machine); }
  sim::PnpManager::NodeState State() { return pnp().FindNode(pdo)->state; }

  sim::Machine machine;
  PDEVICE_OBJECT pdo = nullptr;
  PDRIVER_OBJECT driver = nullptr;
};

TEST_F(Pnp, ArrivalAddsAndStartsTheDeviceAndRemovalUnloadsTheDriver) {
  EXPECT_EQ(pnp().DeviceArrived(pdo, u"TestDrv"), STATUS_SUCCESS);
  EXPECT_EQ(State(), sim::PnpManager::NodeState::Started);
  ASSERT_NE(pdo->AttachedDevice, nullptr);
  EXPECT_EQ(pdo->AttachedDevice->StackSize, 2);
  EXPECT_EQ(pnp().RemoveDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(State(), sim::PnpManager::NodeState::Removed);
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
  EXPECT_EQ(g_testDriver.unloads, 1);
  EXPECT_FALSE(pnp().IsLoaded(u"TestDrv"));
}

TEST_F(Pnp, LoadingADriverCreatesItsServiceKeyOnAFreshMachine) {
  EXPECT_TRUE(machine.service<sim::Registry>().KeyExists(
      "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TestDrv"));
}

TEST_F(Pnp, ARefusedQueryRemoveKeepsTheDevice) {
  ASSERT_EQ(pnp().DeviceArrived(pdo, u"TestDrv"), STATUS_SUCCESS);
  g_testDriver.refuseQueryRemove = TRUE;
  EXPECT_EQ(pnp().RemoveDevice(pdo), STATUS_DEVICE_BUSY);
  EXPECT_EQ(State(), sim::PnpManager::NodeState::Started);
  EXPECT_EQ(g_testDriver.unloads, 0);
  g_testDriver.refuseQueryRemove = FALSE;
  EXPECT_EQ(pnp().RemoveDevice(pdo), STATUS_SUCCESS);
}

TEST_F(Pnp, SurpriseRemovalIsFollowedByRemove) {
  ASSERT_EQ(pnp().DeviceArrived(pdo, u"TestDrv"), STATUS_SUCCESS);
  pnp().SurpriseRemoveDevice(pdo);
  EXPECT_EQ(g_testDriver.surpriseRemovals, 1);
  EXPECT_EQ(State(), sim::PnpManager::NodeState::Removed);
  EXPECT_EQ(g_testDriver.unloads, 1);
}

TEST_F(Pnp, SystemSleepAndWakeSendSystemThenDevicePower) {
  ASSERT_EQ(pnp().DeviceArrived(pdo, u"TestDrv"), STATUS_SUCCESS);
  EXPECT_EQ(pnp().SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
  EXPECT_EQ(g_testDriver.lastSystemPower, PowerSystemSleeping3);
  EXPECT_EQ(g_testDriver.lastDevicePower, PowerDeviceD3);
  EXPECT_EQ(pnp().FindNode(pdo)->devicePower, PowerDeviceD3);
  LONG irps = g_testDriver.powerIrps;
  EXPECT_EQ(irps, 3);  // query, set system, set device
  EXPECT_EQ(pnp().SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(g_testDriver.lastSystemPower, PowerSystemWorking);
  EXPECT_EQ(g_testDriver.lastDevicePower, PowerDeviceD0);
  EXPECT_EQ(g_testDriver.powerIrps, irps + 2);  // no query on the way up
  pnp().RemoveDevice(pdo);
}

TEST_F(Pnp, ShutdownReachesRegisteredDevices) {
  PDEVICE_OBJECT control;
  ASSERT_EQ(TestCreateControlDevice(driver, 3, &control), STATUS_SUCCESS);
  IoRegisterShutdownNotification(control);
  pnp().SendShutdown();
  EXPECT_EQ(g_testDriver.shutdowns, 1);
  IoUnregisterShutdownNotification(control);
  pnp().SendShutdown();
  EXPECT_EQ(g_testDriver.shutdowns, 1);
  TestDeleteControlDevice(control, 3);
}

TEST_F(Pnp, TheDriverStaysUntilItsLastDeviceObjectIsFreed) {
  ASSERT_EQ(pnp().DeviceArrived(pdo, u"TestDrv"), STATUS_SUCCESS);
  PDEVICE_OBJECT control;
  ASSERT_EQ(TestCreateControlDevice(driver, 2, &control), STATUS_SUCCESS);
  HANDLE handle;
  ASSERT_EQ(sim::IoManager::Of(machine).OpenFile(u"\\\\.\\TestCtl2", GENERIC_READ, nullptr, &handle), STATUS_SUCCESS);
  EXPECT_EQ(pnp().RemoveDevice(pdo), STATUS_SUCCESS);
  TestDeleteControlDevice(control, 2);
  EXPECT_EQ(g_testDriver.unloads, 0);  // the open handle holds the control device
  machine.objects().Close(handle, UserMode);
  EXPECT_EQ(g_testDriver.closes, 1);
  EXPECT_EQ(g_testDriver.unloads, 1);
}

void UnloadLeavingATimer() {
  sim::Machine machine;
  PDRIVER_OBJECT bus = sim::PnpManager::Of(machine).CreatePlatformDriver(u"TestBus");
  bus->MajorFunction[IRP_MJ_PNP] = BusDispatch;
  PDEVICE_OBJECT pdo;
  IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo);
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  PDRIVER_OBJECT driver;
  sim::PnpManager::Of(machine).LoadDriver(u"TestDrv", TestDriverEntry, &driver);
  sim::PnpManager::Of(machine).DeviceArrived(pdo, u"TestDrv");
  g_testDriver.leaveTimerAtUnload = TRUE;
  sim::PnpManager::Of(machine).RemoveDevice(pdo);
}

TEST(PnpVerifier, UnloadWithATimerStillSetIsCaught) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(UnloadLeavingATimer(), "TIMER_LEFT_SET.*after the driver unloaded");
}

}  // namespace
