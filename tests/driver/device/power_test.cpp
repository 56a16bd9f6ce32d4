// Device and system power changes through the adapter object.

#include "driver/core/adapter_object.h"
#include "platform/sim/registry.h"
#include "tests/driver/device/device_fixture.h"

namespace devicetest {
namespace {

constexpr char kCommonKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Movakern\\Parameters\\Common";

class PowerTest : public DeviceTest {
 protected:
  void SetUp() override {
    DeviceTest::SetUp();
    unit = &Attach();
    context = ContextOf(*unit);
    ASSERT_NE(context, nullptr);
  }

  NTSTATUS SetDevicePower(DEVICE_POWER_STATE state) {
    return sim::PnpManager::Of(machine).SetDevicePower(unit->pdo(), state);
  }
  std::optional<DWORD> StoredBufferLevel() {
    return machine.service<sim::Registry>().ReadDword(kCommonKey, "BufSize2");
  }
  bool Ticking() {
    ULONGLONG before = context->LastTickTime;
    machine.RunFor(5 * sim::kMillisecond);
    return context->LastTickTime != before;
  }

  sim::usb::Device* unit = nullptr;
  CDeviceContext* context = nullptr;
};

TEST_F(PowerTest, PowerDownSavesTheSettingsAndStopsTheTickUntilPowerUp) {
  DriverSettings()->Pending.BufSize2 = 3;
  ASSERT_EQ(SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(StoredBufferLevel(), 3u);
  EXPECT_EQ(context->State(), DevicePoweredDown);
  EXPECT_EQ(context->TickTimer.Enabled, 0);
  EXPECT_FALSE(Ticking());
  EXPECT_FALSE(context->UsbDevice.PipeWorker.IsRunning());

  ASSERT_EQ(SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(context->State(), DeviceWorking);
  EXPECT_TRUE(Ticking());
  EXPECT_TRUE(context->UsbDevice.PipeWorker.IsRunning());
}

TEST_F(PowerTest, ChangeToTheCurrentStateDoesNothing) {
  DriverSettings()->Pending.BufSize2 = 3;
  ASSERT_EQ(SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  DriverSettings()->Pending.BufSize2 = 8;
  context->SetState(DeviceWorking);
  ASSERT_EQ(SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(StoredBufferLevel(), 3u) << "no second save";
  EXPECT_EQ(context->State(), DeviceWorking);
}

TEST_F(PowerTest, AnswersQueriesForD0ToD3Only) {
  IAdapterPowerManagement* power = nullptr;
  ASSERT_EQ(context->PowerObject->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&power)),
            STATUS_SUCCESS);
  const struct {
    ULONG state;
    NTSTATUS expected;
  } cases[] = {{0, STATUS_NOT_IMPLEMENTED}, {1, STATUS_SUCCESS}, {2, STATUS_SUCCESS},
               {3, STATUS_SUCCESS},         {4, STATUS_SUCCESS}, {5, STATUS_NOT_IMPLEMENTED}};
  for (const auto& c : cases) {
    POWER_STATE state;
    state.DeviceState = static_cast<DEVICE_POWER_STATE>(c.state);
    EXPECT_EQ(power->QueryPowerChangeState(state), c.expected) << "D" << int(c.state) - 1;
  }
  power->Release();
  EXPECT_TRUE(sim::PnpManager::Of(machine).FindNode(unit->pdo())->capabilities.SurpriseRemovalOK);
}

struct SystemWorkingCase {
  LONG pipeBefore;
  LONG stateBefore;
  LONG pipeAfter;
  LONG stateAfter;
};

class SystemWorkingTest : public PowerTest, public testing::WithParamInterface<SystemWorkingCase> {};

// With the device staying in D0 only the system request arrives.
TEST_P(SystemWorkingTest, RequestsAMidiRestartAndMarksTheReturn) {
  const SystemWorkingCase& c = GetParam();
  CMidiOutPipe& midiOut = context->UsbDevice.MidiOut;
  KIRQL irql;
  KeAcquireSpinLock(&midiOut.PipeLock, &irql);
  midiOut.PipeState = c.pipeBefore;
  KeReleaseSpinLock(&midiOut.PipeLock, irql);
  context->SetState(c.stateBefore);

  ASSERT_EQ(sim::PnpManager::Of(machine).SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);

  KeAcquireSpinLock(&midiOut.PipeLock, &irql);
  LONG pipeAfter = midiOut.PipeState;
  midiOut.PipeState = MidiPipeRunning;
  KeReleaseSpinLock(&midiOut.PipeLock, irql);
  EXPECT_EQ(pipeAfter, c.pipeAfter);
  EXPECT_EQ(context->State(), c.stateAfter);
  context->SetState(DeviceWorking);
}

INSTANTIATE_TEST_SUITE_P(Cases, SystemWorkingTest,
                         testing::Values(SystemWorkingCase{MidiPipeRunning, DeviceWorking, MidiPipeRunning, DeviceWorking},
                                         SystemWorkingCase{MidiPipeStopped, DevicePoweredDown,
                                                           MidiPipeRestartRequested, DeviceSystemWorking},
                                         SystemWorkingCase{MidiPipeRestartRequested, DeviceSurpriseRemoved,
                                                           MidiPipeRestartRequested, DeviceSurpriseRemoved},
                                         SystemWorkingCase{MidiPipeStopped, -1, MidiPipeRestartRequested,
                                                           DeviceSystemWorking}));

NTSTATUS CompleteNotConnected(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_DEVICE_NOT_CONNECTED;
}

// A unit that is gone from its port while its adapter object lives: the
// port status request fails.
TEST_F(DeviceTest, PowerUpWhileUnpluggedLeavesTheTickStopped) {
  Attach();  // the driver unloads with its last unit
  PDRIVER_OBJECT bus = sim::PnpManager::Of(machine).CreatePlatformDriver(u"GoneBus");
  bus->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = CompleteNotConnected;
  PDEVICE_OBJECT port = nullptr;
  PDEVICE_OBJECT owner = nullptr;
  ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &port), STATUS_SUCCESS);
  ASSERT_EQ(IoCreateDevice(bus, kControlExtensionSize, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &owner),
            STATUS_SUCCESS);
  const size_t contextsBefore = LiveContexts();
  auto* unplugged = new (POOL_FLAG_NON_PAGED, kDeviceContextTag) CDeviceContext();
  ASSERT_NE(unplugged, nullptr);
  unplugged->PhysicalDeviceObject = unplugged->LowerDeviceObject = port;
  unplugged->UsbDevice.LowerDeviceObject = port;
  unplugged->SetState(DeviceWorking);
  ExtensionOf(owner)->Context = unplugged;

  auto* adapter = new (POOL_FLAG_NON_PAGED, kAdapterPoolTag) CAdapterObject(nullptr);
  ASSERT_NE(adapter, nullptr);
  adapter->NonDelegatingAddRef();
  ASSERT_EQ(static_cast<IAdapterContext*>(adapter)->Init(nullptr, owner), STATUS_SUCCESS);
  IAdapterPowerManagement* power = adapter;
  StartTickTimer(&unplugged->TickTimer);

  POWER_STATE state;
  state.DeviceState = PowerDeviceD3;
  power->PowerChangeState(state);
  EXPECT_EQ(unplugged->TickTimer.Enabled, 0);
  EXPECT_EQ(unplugged->State(), DevicePoweredDown);
  state.DeviceState = PowerDeviceD0;
  power->PowerChangeState(state);
  EXPECT_EQ(unplugged->TickTimer.Enabled, 0);
  EXPECT_EQ(unplugged->State(), DevicePoweredDown);

  // The last release tears the unit down and frees the context.
  adapter->NonDelegatingRelease();
  EXPECT_EQ(LiveContexts(), contextsBefore);
  IoDeleteDevice(owner);
  IoDeleteDevice(port);
}

}  // namespace
}  // namespace devicetest
