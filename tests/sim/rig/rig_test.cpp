// The rig as tools and end-to-end tests use it: unit setups from the command
// line, units on the controllers they name, the registry file carried from
// one run to the next, and a clean stop. Most cases load a stand-in USB
// function driver under Movakern's service name, so they test the rig and
// not the driver; the last group runs Movakern itself.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <filesystem>
#include <functional>

#include <windows.h>

#include "platform/sim/io_manager.h"
#include "platform/sim/pnp.h"
#include "platform/sim/registry.h"
#include "sim/rig/rig.h"
#include "tests/platform/usb/raw_client.h"
#include "tests/support/files.h"

namespace {

using sim::rig::ParseUnitSetup;
using sim::rig::Rig;
using sim::rig::RigOptions;
using sim::rig::UnitSetup;
using test_support::ReadFileBytes;
using test_support::WriteFileBytes;

TEST(UnitSetups, GoodSetupsGiveTheirUnits) {
  struct Case {
    const char* text;
    bool fullSpeed;
    std::optional<uint16_t> rateMask;
    double ppm;
    std::optional<uint16_t> bcd;
    unsigned controller;
    bool refuse;
  } cases[] = {
      {"hs", false, {}, 0.0, {}, 0, false},
      {"fs", true, {}, 0.0, {}, 0, false},
      {"hs:rates=0x1ff", false, 0x1FF, 0.0, {}, 0, false},
      {"hs:rates=4", false, 4, 0.0, {}, 0, false},
      {"hs:rates=0", false, 0, 0.0, {}, 0, false},
      {"hs:ppm=50", false, {}, 50.0, {}, 0, false},
      {"hs:ppm=-12.5", false, {}, -12.5, {}, 0, false},
      {"hs:ppm=+1000", false, {}, 1000.0, {}, 0, false},
      {"hs:bcd=0x0102", false, {}, 0.0, 0x0102, 0, false},
      {"hs:bcd=258", false, {}, 0.0, 258, 0, false},
      {"fs:controller=7", true, {}, 0.0, {}, 7, false},
      {"hs:no-config", false, {}, 0.0, {}, 0, true},
      {"hs:controller=1:rates=0x7:ppm=20:bcd=0x1234:no-config", false, 0x7, 20.0, 0x1234, 1, true},
  };
  for (const Case& c : cases) {
    std::string error;
    std::optional<UnitSetup> setup = ParseUnitSetup(c.text, &error);
    ASSERT_TRUE(setup) << c.text << ": " << error;
    EXPECT_EQ(setup->fullSpeed, c.fullSpeed) << c.text;
    EXPECT_EQ(setup->rateMask, c.rateMask) << c.text;
    EXPECT_EQ(setup->ppm, c.ppm) << c.text;
    EXPECT_EQ(setup->bcdDevice, c.bcd) << c.text;
    EXPECT_EQ(setup->controller, c.controller) << c.text;
    EXPECT_EQ(setup->refuseConfiguration, c.refuse) << c.text;
  }
}

TEST(UnitSetups, BadSetupsAreRefusedNamingTheBadPart) {
  struct Case {
    const char* text;
    const char* named;  // what the message must quote
  } cases[] = {
      {"", "\"\""},
      {"xs", "\"xs\""},
      {"HS", "\"HS\""},
      {"hs:", "empty modifier"},
      {"hs::ppm=5", "empty modifier"},
      {"hs:volume=3", "\"volume=3\""},
      {"hs:rates", "\"rates\""},
      {"hs:rates=", "\"rates=\""},
      {"hs:rates=0x200", "\"rates=0x200\""},
      {"hs:rates=0x", "\"rates=0x\""},
      {"hs:rates=12abc", "\"rates=12abc\""},
      {"hs:rates=-1", "\"rates=-1\""},
      {"hs:ppm=fast", "\"ppm=fast\""},
      {"hs:ppm=1000.5", "\"ppm=1000.5\""},
      {"hs:ppm=nan", "\"ppm=nan\""},
      {"hs:bcd=0x10000", "\"bcd=0x10000\""},
      {"hs:controller=8", "\"controller=8\""},
      {"hs:controller=one", "\"controller=one\""},
      {"hs:no-config=1", "\"no-config=1\""},
      {"hs:ppm=5:ppm=6", "\"ppm\" given twice"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(ParseUnitSetup(c.text, &error)) << c.text;
    EXPECT_NE(error.find(c.named), std::string::npos) << c.text << " gave: " << error;
  }
}

std::string TempPath(const char* name) {
  return ::testing::TempDir() + "/rig-" + std::to_string(getpid()) + "-" + name;
}

// A file of that name in the test's directory, gone when the test ends.
class TempFile {
 public:
  explicit TempFile(const char* name) : path_(TempPath(name)) { std::filesystem::remove(path_); }
  ~TempFile() { std::filesystem::remove(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

constexpr char kCommonKey[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Movakern\\Parameters\\Common";

// A registry file with one of the driver's settings in it.
const std::string kBufSize2Is7 = "Windows Registry Editor Version 5.00\r\n\r\n[" + std::string(kCommonKey) +
                                 "]\r\n\"BufSize2\"=dword:00000007\r\n";

sim::Registry& RegistryOf(Rig& rig) { return rig.machine().service<sim::Registry>(); }

// Starts the rig, runs `during` on it and stops it, both cleanly.
void RunCleanly(const RigOptions& options, const std::function<void(Rig&)>& during = nullptr) {
  Rig rig(options);
  std::string error;
  ASSERT_TRUE(rig.Start(&error)) << error;
  if (during) during(rig);
  ASSERT_TRUE(rig.Stop(&error)) << error;
}

RigOptions MovakernOptions(std::vector<const char*> units) {
  RigOptions options;
  for (const char* text : units) options.units.push_back(*ParseUnitSetup(text, nullptr));
  return options;
}

RigOptions StandInOptions(std::vector<const char*> units) {
  RigOptions options = MovakernOptions(units);
  options.driverEntry = RawClientEntry;
  return options;
}

TEST(RigLifecycle, UnitsLandOnTheControllersTheyNameAndLeaveAtStop) {
  Rig rig(StandInOptions({"hs:bcd=0x0102", "fs:controller=2"}));
  std::string error;
  ASSERT_TRUE(rig.Start(&error)) << error;

  auto controllers = sim::usb::Controllers(rig.machine());
  ASSERT_EQ(controllers.size(), 3u) << "controllers up to the highest index named";
  ASSERT_EQ(rig.units().size(), 2u);
  EXPECT_EQ(controllers[0]->devices(), std::vector<sim::usb::Device*>{rig.units()[0]});
  EXPECT_TRUE(controllers[1]->devices().empty());
  EXPECT_EQ(controllers[2]->devices(), std::vector<sim::usb::Device*>{rig.units()[1]});
  EXPECT_FALSE(rig.units()[0]->unit().fullSpeed());
  EXPECT_TRUE(rig.units()[1]->unit().fullSpeed());
  std::vector<uint8_t> descriptor = rig.units()[0]->unit().deviceDescriptor();
  EXPECT_EQ(descriptor[12] | descriptor[13] << 8, 0x0102);
  for (sim::usb::Device* unit : rig.units()) EXPECT_EQ(unit->startStatus(), STATUS_SUCCESS);

  ASSERT_TRUE(rig.Stop(&error)) << error;
  EXPECT_EQ(g_rawClient.removals, 2);
  EXPECT_FALSE(sim::PnpManager::Of(rig.machine()).IsLoaded(sim::rig::kServiceName));
}

TEST(RigLifecycle, ClientsRunInProcessesOfTheirOwnWhileTimeMoves) {
  Rig rig(StandInOptions({"hs"}));
  std::string error;
  ASSERT_TRUE(rig.Start(&error)) << error;
  struct Seen {
    PEPROCESS process = nullptr;
    bool is32Bit = false;
  };
  auto runClient = [&](bool is32Bit) {
    Seen seen;
    rig.RunClient(
        [&] {
          Sleep(20);
          seen.process = PsGetCurrentProcess();
          seen.is32Bit = seen.process->is32Bit;
        },
        is32Bit);
    return seen;
  };
  uint64_t before = rig.machine().Now();
  Seen first = runClient(false);
  EXPECT_EQ(rig.machine().Now() - before, 20 * sim::kMillisecond) << "virtual time moved while the rig waited";
  Seen second = runClient(true);
  EXPECT_NE(first.process, &rig.machine().objects().userProcess());
  EXPECT_NE(first.process, second.process);
  EXPECT_FALSE(first.is32Bit);
  EXPECT_TRUE(second.is32Bit);
  ASSERT_TRUE(rig.Stop(&error)) << error;
}

PVOID g_leakedBlock = nullptr;

NTSTATUS LeakingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  g_leakedBlock = ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, 'kaeL');
  return RawClientEntry(driver, registryPath);
}

TEST(RigLifecycle, PoolTheDriverLeavesBehindFailsTheStop) {
  RigOptions options = StandInOptions({"hs"});
  options.driverEntry = LeakingEntry;
  Rig rig(options);
  std::string error;
  ASSERT_TRUE(rig.Start(&error)) << error;
  EXPECT_FALSE(rig.Stop(&error));
  EXPECT_NE(error.find("pool leak: 'Leak' 1 blocks"), std::string::npos) << error;
  ExFreePool(g_leakedBlock);  // so the machine's own check at teardown passes
}

TEST(RigRegistry, AFileIsLoadedAtStartAndSavedBackAtStop) {
  TempFile file("round-trip.reg");
  WriteFileBytes(file.path(), kBufSize2Is7);
  RigOptions options = StandInOptions({"hs"});
  options.registryFile = file.path();
  ASSERT_NO_FATAL_FAILURE(RunCleanly(options, [](Rig& rig) {
    sim::Registry& registry = RegistryOf(rig);
    EXPECT_EQ(registry.ReadDword(kCommonKey, "BufSize2"), 7u);
    registry.WriteDword(kCommonKey, "FsSyncOff", 1);
  }));
  RunCleanly(options, [](Rig& next) {
    sim::Registry& registry = RegistryOf(next);
    EXPECT_EQ(registry.ReadDword(kCommonKey, "BufSize2"), 7u);
    EXPECT_EQ(registry.ReadDword(kCommonKey, "FsSyncOff"), 1u) << "a change made during the run was saved";
  });
}

TEST(RigRegistry, AMissingFileIsCreatedAtStop) {
  TempFile file("fresh.reg");
  RigOptions options = StandInOptions({"hs"});
  options.registryFile = file.path();
  ASSERT_NO_FATAL_FAILURE(RunCleanly(options));
  EXPECT_TRUE(std::filesystem::exists(file.path()));
}

TEST(RigRegistry, AMalformedFileStopsTheStartAndIsLeftAsItWas) {
  TempFile file("malformed.reg");
  const std::string bytes = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\r\n";
  WriteFileBytes(file.path(), bytes);
  {
    RigOptions options = StandInOptions({"hs"});
    options.registryFile = file.path();
    Rig rig(options);
    std::string error;
    EXPECT_FALSE(rig.Start(&error));
    EXPECT_NE(error.find(file.path() + ":3"), std::string::npos) << error;
    EXPECT_TRUE(rig.Stop(&error)) << error;
  }
  EXPECT_EQ(ReadFileBytes(file.path()), bytes);
}

TEST(RigCapture, ControllerZerosTrafficGoesToTheCaptureFile) {
  TempFile file("traffic.pcap");
  RigOptions options = StandInOptions({"hs"});
  options.pcapFile = file.path();
  ASSERT_NO_FATAL_FAILURE(RunCleanly(options));
  EXPECT_GE(std::filesystem::file_size(file.path()), 24u) << "at least the pcap file header";

  options.pcapFile = TempPath("no-such-directory/traffic.pcap");
  Rig rig(options);
  std::string error;
  EXPECT_FALSE(rig.Start(&error));
  EXPECT_NE(error.find(options.pcapFile), std::string::npos) << error;
}

bool InNamespace(sim::Machine& machine, const std::u16string& name) {
  std::u16string wanted = sim::IoManager::Canonical(name);
  for (const std::u16string& entry : sim::IoManager::Of(machine).ListNamespace()) {
    std::u16string canonical = sim::IoManager::Canonical(entry);
    if (canonical.size() == wanted.size() &&
        std::equal(canonical.begin(), canonical.end(), wanted.begin(),
                   [](char16_t a, char16_t b) { return std::towupper(a) == std::towupper(b); }))
      return true;
  }
  return false;
}

TEST(RigWithMovakern, OneHighSpeedUnitStartsWithItsControlDeviceAndStopsCleanly) {
  Rig rig(MovakernOptions({"hs"}));
  std::string error;
  ASSERT_TRUE(rig.Start(&error)) << error;
  EXPECT_EQ(rig.units().at(0)->startStatus(), STATUS_SUCCESS);
  EXPECT_TRUE(InNamespace(rig.machine(), u"\\Device\\Movakern001"));
  EXPECT_TRUE(InNamespace(rig.machine(), u"\\DosDevices\\Movakern001"));
  ASSERT_TRUE(rig.Stop(&error)) << error;
  EXPECT_FALSE(sim::PnpManager::Of(rig.machine()).IsLoaded(sim::rig::kServiceName));
  EXPECT_FALSE(InNamespace(rig.machine(), u"\\Device\\Movakern001"));
}

TEST(RigWithMovakern, AHandleAClientLeftOpenIsClosedWhenItsProcessEnds) {
  Rig rig(MovakernOptions({"hs"}));
  std::string error;
  ASSERT_TRUE(rig.Start(&error)) << error;
  HANDLE device = INVALID_HANDLE_VALUE;
  rig.RunClient([&] {
    device = CreateFileW(u"\\\\.\\Movakern001", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  });
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(rig.Stop(&error)) << error;
}

TEST(RigWithMovakern, TheSettingsTheDriverSavesAtRemovalReachTheFile) {
  TempFile file("movakern.reg");
  WriteFileBytes(file.path(), kBufSize2Is7);
  RigOptions options = MovakernOptions({"hs"});
  options.registryFile = file.path();
  ASSERT_NO_FATAL_FAILURE(RunCleanly(options));
  RunCleanly(options, [](Rig& next) {
    sim::Registry& registry = RegistryOf(next);
    EXPECT_EQ(registry.ReadDword(kCommonKey, "BufSize2"), 7u);
    EXPECT_EQ(registry.ReadDword(kCommonKey, "AsioSmaller"), 0u) << "written by the driver at removal";
  });
}

}  // namespace
