// An adapter driver on a small bus, driven by the PnP and power manager:
// start with the resource list, subdevices opened through the driver's
// dispatch, capabilities and power requests reaching the adapter's power
// object, and removal releasing subdevices and then that object.
#include <gtest/gtest.h>

#include "platform/sim/io_manager.h"
#include "platform/sim/ks_client.h"
#include "platform/sim/pnp.h"
#include "tests/platform/portcls/test_miniports.h"

namespace {

struct DriverState {
  tests::CallLog log;
  std::atomic<int> alive{0};
  bool adapterDestroyed = false;
  bool refuseQuery = false;
  ULONG maxObjects = 11;
  int starts = 0;
  ULONG resourceEntries = ~0u;
  int creates = 0;
  int closes = 0;
} *g = nullptr;

class TestAdapter : public IAdapterPowerManagement, public CUnknown {
 public:
  explicit TestAdapter(PUNKNOWN outer) : CUnknown(outer) {}
  ~TestAdapter() override { g->adapterDestroyed = true; }
  DECLARE_STD_UNKNOWN();
  IMP_IAdapterPowerManagement;
};

STDMETHODIMP_(NTSTATUS) TestAdapter::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IAdapterPowerManagement)) {
    *object = static_cast<IAdapterPowerManagement*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  *object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

std::string D(DEVICE_POWER_STATE state) { return "D" + std::to_string(int(state) - 1); }

STDMETHODIMP_(void) TestAdapter::PowerChangeState(POWER_STATE NewState) {
  g->log.Add("PowerChangeState " + D(NewState.DeviceState));
}

STDMETHODIMP_(NTSTATUS) TestAdapter::QueryPowerChangeState(POWER_STATE NewStateQuery) {
  g->log.Add("QueryPowerChangeState " + D(NewStateQuery.DeviceState));
  return g->refuseQuery ? STATUS_DEVICE_BUSY : STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) TestAdapter::QueryDeviceCapabilities(PDEVICE_CAPABILITIES caps) {
  g->log.Add("QueryDeviceCapabilities");
  caps->SurpriseRemovalOK = 1;
  return STATUS_SUCCESS;
}

NTSTATUS StartDevice(PDEVICE_OBJECT device, PIRP, PRESOURCELIST resources) {
  ++g->starts;
  g->resourceEntries = resources->NumberOfEntries();
  auto* adapter = new (NonPagedPoolNx, tests::kTestTag) TestAdapter(nullptr);
  adapter->AddRef();
  NTSTATUS status = PcRegisterAdapterPowerManagement(
      static_cast<PUNKNOWN>(static_cast<IAdapterPowerManagement*>(adapter)), device);
  adapter->Release();
  if (!NT_SUCCESS(status)) return status;
  if (PPORT wave = tests::RegisterWave(device, u"WaveOut1-1-1", {}, &g->log, &g->alive, &status))
    wave->Release();
  if (!NT_SUCCESS(status)) return status;
  if (PPORT midi = tests::RegisterMidi(device, u"Midi1-1", {}, &g->log, &g->alive, &status))
    midi->Release();
  return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  return PcAddAdapterDevice(driver, pdo, StartDevice, g->maxObjects, 544);
}

// The driver sees creates and closes first, as a port-class driver that
// hooks its dispatch table does.
NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
  g->creates += major == IRP_MJ_CREATE;
  g->closes += major == IRP_MJ_CLOSE;
  return PcDispatchIrp(device, irp);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  NTSTATUS status = PcInitializeAdapterDriver(driver, registryPath, AddDevice);
  driver->MajorFunction[IRP_MJ_CREATE] = Dispatch;
  driver->MajorFunction[IRP_MJ_CLOSE] = Dispatch;
  return status;
}

NTSTATUS BusDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_POWER || stack->MinorFunction == IRP_MN_START_DEVICE ||
      stack->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE ||
      stack->MinorFunction == IRP_MN_REMOVE_DEVICE ||
      stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES)
    irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

class Adapter : public ::testing::Test {
 protected:
  void SetUp() override {
    g = &state;
    PDRIVER_OBJECT bus = pnp().CreatePlatformDriver(u"TestBus");
    bus->MajorFunction[IRP_MJ_PNP] = BusDispatch;
    bus->MajorFunction[IRP_MJ_POWER] = BusDispatch;
    ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo),
              STATUS_SUCCESS);
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    ASSERT_EQ(pnp().LoadDriver(u"TestPc", DriverEntry, nullptr), STATUS_SUCCESS);
  }
  void TearDown() override {
    IoDeleteDevice(pdo);
    g = nullptr;
  }
  void Start() {
    ASSERT_EQ(pnp().DeviceArrived(pdo, u"TestPc"), STATUS_SUCCESS);
    fdo = pdo->AttachedDevice;
    ASSERT_NE(fdo, nullptr);
  }
  void ExpectAllReleased() {
    EXPECT_TRUE(state.adapterDestroyed);
    EXPECT_TRUE(sim::KsListSubdevices(machine).empty());
    EXPECT_EQ(state.alive, 0) << state.log.Joined();
    EXPECT_EQ(sim::PortClassLiveObjects(machine), 0u);
  }
  sim::PnpManager& pnp() { return sim::PnpManager::Of(machine); }

  DriverState state;
  sim::Machine machine;
  PDEVICE_OBJECT pdo = nullptr;
  PDEVICE_OBJECT fdo = nullptr;
};

TEST_F(Adapter, StartRegistersSubdevicesAndRemovalReleasesThemAndTheAdapter) {
  Start();
  EXPECT_EQ(state.starts, 1);
  EXPECT_EQ(state.resourceEntries, 0u);
  EXPECT_EQ(fdo->Size, sizeof(DEVICE_OBJECT) + 544);
  EXPECT_EQ(pdo->AttachedDevice, fdo);
  auto list = sim::KsListSubdevices(machine);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].device, fdo);
  EXPECT_TRUE(state.log.Contains("QueryDeviceCapabilities"));
  EXPECT_TRUE(pnp().FindNode(pdo)->capabilities.SurpriseRemovalOK);

  ASSERT_EQ(pnp().RemoveDevice(pdo), STATUS_SUCCESS);
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
  ExpectAllReleased();
}

TEST_F(Adapter, FiltersOpenAndCloseThroughTheDriversDispatch) {
  Start();
  {
    std::unique_ptr<sim::KsFilter> filter;
    ASSERT_EQ(sim::KsFilter::Open(machine, u"WaveOut1-1-1", &filter), STATUS_SUCCESS);
    EXPECT_EQ(state.creates, 1);
    auto format = sim::KsWaveFormat(48000, 2, 16);
    std::unique_ptr<sim::KsWavePin> pin;
    ASSERT_EQ(sim::KsWavePin::Create(*filter, 1, format.data(), ULONG(format.size()), &pin),
              STATUS_SUCCESS);
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    filter.reset();
    EXPECT_EQ(state.closes, 0);  // the pin keeps the filter open
  }
  EXPECT_EQ(state.closes, 1);

  HANDLE file = nullptr;
  std::u16string path = sim::InfoOf(fdo).name + u"\\NoSuchSubdevice";
  EXPECT_EQ(sim::IoManager::Of(machine).OpenFile(path, GENERIC_READ, nullptr, &file),
            STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(pnp().RemoveDevice(pdo), STATUS_SUCCESS);
  ExpectAllReleased();
}

TEST_F(Adapter, RemovalWithAFilterOpenFinishesAtItsClose) {
  Start();
  std::unique_ptr<sim::KsFilter> filter;
  ASSERT_EQ(sim::KsFilter::Open(machine, u"Midi1-1", &filter), STATUS_SUCCESS);
  ASSERT_EQ(pnp().RemoveDevice(pdo), STATUS_SUCCESS);
  EXPECT_TRUE(state.adapterDestroyed);
  EXPECT_TRUE(sim::KsListSubdevices(machine).empty());
  EXPECT_EQ(state.alive, 1);  // the open filter's miniport
  filter.reset();
  ExpectAllReleased();
}

TEST_F(Adapter, DevicePowerRequestsReachTheAdapter) {
  Start();
  state.log.calls.clear();
  ASSERT_EQ(pnp().SetDevicePower(pdo, PowerDeviceD3), STATUS_SUCCESS);
  ASSERT_EQ(pnp().SetDevicePower(pdo, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(state.log.Joined(), "PowerChangeState D3, PowerChangeState D0");

  state.log.calls.clear();
  ASSERT_EQ(pnp().SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
  ASSERT_EQ(pnp().SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
  EXPECT_EQ(state.log.Joined(),
            "QueryPowerChangeState D3, PowerChangeState D3, PowerChangeState D0");

  state.log.calls.clear();
  state.refuseQuery = true;
  EXPECT_EQ(pnp().SetSystemPower(PowerSystemSleeping1), STATUS_DEVICE_BUSY);
  EXPECT_EQ(state.log.Joined(), "QueryPowerChangeState D3");
  ASSERT_EQ(pnp().RemoveDevice(pdo), STATUS_SUCCESS);
  ExpectAllReleased();
}

TEST_F(Adapter, RegistrationStopsAtTheSubdeviceLimit) {
  state.maxObjects = 2;
  Start();
  NTSTATUS status;
  EXPECT_EQ(tests::RegisterWave(fdo, u"WaveIn1-1-1", {}, &state.log, &state.alive, &status),
            nullptr);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  ASSERT_EQ(pnp().RemoveDevice(pdo), STATUS_SUCCESS);
  ExpectAllReleased();
}

TEST_F(Adapter, FrameworkOwnsTheStartOfTheExtension) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Start();
  EXPECT_DEATH(
      {
        std::memset(fdo->DeviceExtension, 0, 16);
        std::unique_ptr<sim::KsFilter> filter;
        sim::KsFilter::Open(machine, u"Midi1-1", &filter);
      },
      "PORTCLS_EXTENSION_OVERWRITTEN");
  ASSERT_EQ(pnp().RemoveDevice(pdo), STATUS_SUCCESS);
}

}  // namespace

namespace {

// The bus's part of a teardown: it deletes its device object after the PnP
// manager's shutdown (which runs later, being created later) removed the
// stack above it.
class BusTeardown : public sim::Service {
 public:
  explicit BusTeardown(sim::Machine&) {}
  void Shutdown() override {
    if (pdo) IoDeleteDevice(pdo);
  }
  PDEVICE_OBJECT pdo = nullptr;
};

// A machine torn down with the adapter still started: the PnP manager
// removes the device on the way down, so nothing is reported.
TEST(AdapterTeardown, DeviceLeftStartedGoesWithTheMachine) {
  DriverState state;
  g = &state;
  {
    sim::Machine machine;
    BusTeardown& teardown = machine.service<BusTeardown>();
    PDRIVER_OBJECT bus = sim::PnpManager::Of(machine).CreatePlatformDriver(u"TestBus");
    bus->MajorFunction[IRP_MJ_PNP] = BusDispatch;
    bus->MajorFunction[IRP_MJ_POWER] = BusDispatch;
    PDEVICE_OBJECT pdo = nullptr;
    ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo),
              STATUS_SUCCESS);
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    teardown.pdo = pdo;
    ASSERT_EQ(sim::PnpManager::Of(machine).LoadDriver(u"TestPc", DriverEntry, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(sim::PnpManager::Of(machine).DeviceArrived(pdo, u"TestPc"), STATUS_SUCCESS);
  }
  EXPECT_TRUE(state.adapterDestroyed);
  EXPECT_EQ(state.alive, 0);
  g = nullptr;
}

}  // namespace
