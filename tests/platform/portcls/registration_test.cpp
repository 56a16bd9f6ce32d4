// Port creation, port Init, registration under a name, unregistration and
// what each leaves referenced.
#include <gtest/gtest.h>

#include "platform/portcls/adapter_registry.h"
#include "platform/sim/ks_client.h"
#include "platform/sim/machine.h"
#include "tests/platform/portcls/test_miniports.h"

namespace {

using tests::CallLog;

class Registration : public ::testing::Test {
 protected:
  void TearDown() override {
    sim::portcls::ReleaseDeviceSubdevices(machine, &device);
    sim::portcls::ReleaseDeviceSubdevices(machine, &otherDevice);
    EXPECT_EQ(alive, 0) << log.Joined();
  }
  PPORT Wave(const char16_t* name, NTSTATUS* status, PDEVICE_OBJECT on = nullptr) {
    return tests::RegisterWave(on ? on : &device, name, {}, &log, &alive, status);
  }

  sim::Machine machine;
  DEVICE_OBJECT device{};
  DEVICE_OBJECT otherDevice{};
  CallLog log;
  std::atomic<int> alive{0};
};

TEST_F(Registration, RegisteredSubdevicesAreListedAndOpen) {
  NTSTATUS status;
  PPORT wave = Wave(u"WaveOut1-1-1", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  PPORT midi = tests::RegisterMidi(&device, u"Midi1-1", {}, &log, &alive, &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(log.calls.front(), "Init");
  EXPECT_TRUE(log.Contains("GetDescription"));

  auto list = sim::KsListSubdevices(machine);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].nameUtf8, "WaveOut1-1-1");
  EXPECT_EQ(list[0].kind, sim::KsSubdeviceKind::WaveCyclic);
  EXPECT_EQ(list[0].device, &device);
  EXPECT_EQ(list[1].nameUtf8, "Midi1-1");
  EXPECT_EQ(list[1].kind, sim::KsSubdeviceKind::Midi);

  std::unique_ptr<sim::KsFilter> filter;
  EXPECT_EQ(sim::KsFilter::Open(machine, u"Midi1-1", &filter), STATUS_SUCCESS);
  EXPECT_EQ(filter->kind(), sim::KsSubdeviceKind::Midi);
  EXPECT_EQ(sim::KsFilter::Open(machine, u"WaveIn1-1-1", &filter), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(filter, nullptr);

  EXPECT_EQ(tests::Unregister(&device, wave), STATUS_SUCCESS);
  EXPECT_EQ(tests::Unregister(&device, midi), STATUS_SUCCESS);
  wave->Release();
  midi->Release();
  EXPECT_EQ(sim::PortClassLiveObjects(machine), 0u) << sim::PortClassLiveObjectList(machine)[0];
}

TEST_F(Registration, SecondRegistrationOfANameOnTheDeviceFails) {
  NTSTATUS status;
  PPORT first = Wave(u"WaveOut1-1-1", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(Wave(u"WaveOut1-1-1", &status), nullptr);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION);
  // Names belong to their device: a second adapter uses the same ones.
  PPORT other = Wave(u"WaveOut1-1-1", &status, &otherDevice);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(sim::KsListSubdevices(machine).size(), 2u);

  std::unique_ptr<sim::KsFilter> filter;
  EXPECT_EQ(sim::KsFilter::Open(machine, u"WaveOut1-1-1", &filter, &otherDevice), STATUS_SUCCESS);
  filter.reset();
  first->Release();
  other->Release();
  // The refused port was initialised on the device, so the device's
  // removal (TearDown) releases it together with the registered ones.
}

TEST_F(Registration, UnregisterWhileClosedReleasesTheMiniport) {
  NTSTATUS status;
  PPORT port = Wave(u"WaveIn1-1-1", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  {
    std::unique_ptr<sim::KsFilter> filter;
    ASSERT_EQ(sim::KsFilter::Open(machine, u"WaveIn1-1-1", &filter), STATUS_SUCCESS);
  }
  EXPECT_EQ(tests::Unregister(&device, port), STATUS_SUCCESS);
  EXPECT_TRUE(sim::KsListSubdevices(machine).empty());
  EXPECT_EQ(alive, 0);
  EXPECT_TRUE(log.Contains("~miniport"));
  EXPECT_EQ(tests::Unregister(&device, port), STATUS_NOT_FOUND);
  port->Release();
  EXPECT_EQ(sim::PortClassLiveObjects(machine), 0u);
}

TEST_F(Registration, UnregisterWithAFilterOpenWaitsForItsClose) {
  NTSTATUS status;
  PPORT port = Wave(u"WaveOut1-2-1", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  std::unique_ptr<sim::KsFilter> filter;
  ASSERT_EQ(sim::KsFilter::Open(machine, u"WaveOut1-2-1", &filter), STATUS_SUCCESS);
  EXPECT_EQ(tests::Unregister(&device, port), STATUS_SUCCESS);
  port->Release();

  std::unique_ptr<sim::KsFilter> late;
  EXPECT_EQ(sim::KsFilter::Open(machine, u"WaveOut1-2-1", &late), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(alive, 1);
  EXPECT_EQ(filter->pinCount(), 4u);
  filter.reset();
  EXPECT_EQ(alive, 0);
  EXPECT_EQ(sim::PortClassLiveObjects(machine), 0u);
}

struct InitCase {
  const char* name;
  tests::WaveConfig config;
  bool midiMiniportOnWavePort;
  NTSTATUS expected;
};

class PortInit : public Registration, public ::testing::WithParamInterface<InitCase> {};

TEST_P(PortInit, FailureLeavesNothingReferenced) {
  const InitCase& c = GetParam();
  PPORT port = nullptr;
  ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
  PUNKNOWN miniport;
  if (c.midiMiniportOnWavePort)
    miniport = new (NonPagedPoolNx, tests::kTestTag) tests::TestMidiMiniport(nullptr, {}, &log,
                                                                               &alive);
  else
    miniport = static_cast<IMiniportWaveCyclic*>(new (NonPagedPoolNx, tests::kTestTag)
                                                     tests::TestWaveMiniport(nullptr, c.config,
                                                                             &log, &alive));
  miniport->AddRef();
  EXPECT_EQ(port->Init(&device, nullptr, miniport, nullptr, nullptr), c.expected);
  EXPECT_EQ(PcRegisterSubdevice(&device, const_cast<PWSTR>(u"Wave"), port),
            STATUS_INVALID_DEVICE_STATE);
  miniport->Release();
  port->Release();
  EXPECT_EQ(alive, 0);
  EXPECT_EQ(sim::PortClassLiveObjects(machine), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PortInit,
    ::testing::Values(
        InitCase{"MiniportInitFails", {.initStatus = STATUS_INSUFFICIENT_RESOURCES}, false,
                 STATUS_INSUFFICIENT_RESOURCES},
        InitCase{"NotAWaveCyclicMiniport", {}, true, STATUS_INVALID_PARAMETER}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Registration, PortCreationChecksTheClass) {
  PPORT port = reinterpret_cast<PPORT>(1);
  EXPECT_EQ(PcNewPort(&port, IID_IUnknown), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(port, nullptr);
  ASSERT_EQ(PcNewPort(&port, CLSID_PortMidi), STATUS_SUCCESS);
  PVOID midi = nullptr;
  EXPECT_EQ(port->QueryInterface(IID_IPortMidi, &midi), STATUS_SUCCESS);
  static_cast<PPORTMIDI>(midi)->Release();
  PVOID wave = nullptr;
  EXPECT_EQ(port->QueryInterface(IID_IPortWaveCyclic, &wave), STATUS_INVALID_PARAMETER);
  port->Release();
}

TEST(RegistrationDeathTest, SubdeviceLeftRegisteredIsReportedAtTeardown) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        sim::Machine machine;
        DEVICE_OBJECT device{};
        CallLog log;
        std::atomic<int> alive{0};
        NTSTATUS status;
        tests::RegisterWave(&device, u"WaveOut1-1-1", {}, &log, &alive, &status)->Release();
      },
      "OBJECT_LEAK.*\n.*WaveOut1-1-1");
}

}  // namespace
