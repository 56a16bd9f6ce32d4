// The registry settings store on a machine's hive: what a load reads and
// creates, what a save writes, the latency rows and their recomputation, the
// machine-wide fallback with its copy-back, and loads that lose their query
// buffer to a failed allocation.
#include "driver/core/settings_store.h"

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sim/machine.h"
#include "platform/sim/pool.h"
#include "platform/sim/registry.h"

namespace {

const std::string kServicePath = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Movakern";
const std::string kParametersPath = kServicePath + "\\Parameters";
const std::string kCommonPath = kParametersPath + "\\Common";
const std::string kFallbackPath =
    "HKEY_CLASSES_ROOT\\CLSID\\{7E2F4A91-3B6D-4a5e-9C07-D4B1E8F2A063}\\Movident";

std::string DevicePath(ULONG index) { return kParametersPath + "\\Device" + std::to_string(index); }

std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> bytes) { return bytes; }

SETTINGS_RECORD DefaultRecord() {
  SETTINGS_RECORD record;
  std::memset(&record, 0, sizeof(record));
  SetDefaultSettings(&record);
  return record;
}

// The fields after RateTable, which a load sets as a whole.
bool SameFieldsAfterRateTable(const SETTINGS_RECORD& a, const SETTINGS_RECORD& b) {
  constexpr size_t start = offsetof(SETTINGS_RECORD, StreamOption);
  return std::memcmp(reinterpret_cast<const uint8_t*>(&a) + start,
                     reinterpret_cast<const uint8_t*>(&b) + start, sizeof(a) - start) == 0;
}

bool SameTable(const DEVICE_LATENCY_ROW* a, const DEVICE_LATENCY_ROW* b) {
  return std::memcmp(a, b, sizeof(DEVICE_LATENCY_ROW) * kDeviceLatencyRows) == 0;
}

class SettingsStoreTest : public testing::Test {
 protected:
  SettingsStoreTest() {
    registry.CreateKey(kServicePath);
    RtlInitUnicodeString(&serviceKey, servicePathW.c_str());
    ConstructSettings(*state);
  }

  SETTINGS_LOCATION Location(ULONG index = 0) { return {&serviceKey, index}; }

  const DEVICE_LATENCY_ROW& Row(LONG rate) const {
    for (const DEVICE_LATENCY_ROW& row : state->LatencyTable)
      if (row.Rate == rate) return row;
    ADD_FAILURE() << "no row for " << rate;
    return state->LatencyTable[kDeviceLatencyRows - 1];
  }

  ULONG ValueCount(const std::string& path) {
    std::u16string name = sim::Utf8ToUtf16(path);
    UNICODE_STRING keyName;
    RtlInitUnicodeString(&keyName, name.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE key = nullptr;
    EXPECT_EQ(ZwOpenKey(&key, KEY_READ, &attributes), STATUS_SUCCESS) << path;
    if (key == nullptr) return 0;
    KEY_FULL_INFORMATION info{};
    ULONG length = 0;
    EXPECT_EQ(ZwQueryKey(key, KeyFullInformation, &info, sizeof(info), &length), STATUS_SUCCESS);
    ZwClose(key);
    return info.Values;
  }

  sim::Machine machine;
  sim::Registry& registry = machine.service<sim::Registry>();
  std::unique_ptr<CDriverState> state = std::make_unique<CDriverState>();
  std::u16string servicePathW = sim::Utf8ToUtf16(kServicePath);
  UNICODE_STRING serviceKey{};
};

TEST_F(SettingsStoreTest, FirstLoadCreatesTheKeysAndKeepsTheDefaultsWithoutWriting) {
  ASSERT_FALSE(registry.KeyExists(kParametersPath));
  LoadSettings(*state, Location());

  EXPECT_TRUE(registry.KeyExists(kCommonPath));
  EXPECT_EQ(ValueCount(kCommonPath), 0u);
  EXPECT_EQ(registry.SubkeyNames(kParametersPath), std::vector<std::u16string>{u"Common"});
  EXPECT_TRUE(SameFieldsAfterRateTable(state->Active, DefaultRecord()));
  EXPECT_TRUE(SameFieldsAfterRateTable(state->Pending, DefaultRecord()));
  EXPECT_EQ(state->Pending.BufSize2, 5u);
  EXPECT_TRUE(SameTable(state->LatencyTable, g_DefaultLatencyTable));
  EXPECT_TRUE(SameTable(state->Pending.RateTable, g_DefaultLatencyTable));
  EXPECT_TRUE(SameTable(state->Active.RateTable, g_DefaultLatencyTable));

  SaveSettings(*state, Location());
  EXPECT_EQ(registry.ReadDword(kCommonPath, "BufSize2"), 5u);
}

struct CommonValueCase {
  const char* name;
  DWORD stored;
  ULONG SETTINGS_RECORD::*field;
  ULONG loaded;
};

const CommonValueCase kCommonValueCases[] = {
    {"BufSize2", 3, &SETTINGS_RECORD::BufSize2, 3},
    {"BufSize2", 12, &SETTINGS_RECORD::BufSize2, 9},
    {"BufSize2", 0x10002, &SETTINGS_RECORD::BufSize2, 2},  // low 16 bits, then the limit
    {"BufSize2", 0x7FFFF, &SETTINGS_RECORD::BufSize2, 9},
    {"AsioSmaller", 1, &SETTINGS_RECORD::AsioSmaller, 1},
    {"AsioSmaller", 0x30000, &SETTINGS_RECORD::AsioSmaller, 0},
    {"FsSyncOff", 1, &SETTINGS_RECORD::FsSyncOff, 1},
    {"MidiInLite", 0x12345, &SETTINGS_RECORD::MidiInLite, 0x2345},
};

TEST_F(SettingsStoreTest, CommonValuesReachBothRecordsWhenIdle) {
  for (const CommonValueCase& c : kCommonValueCases) {
    SCOPED_TRACE(std::string(c.name) + " = " + std::to_string(c.stored));
    registry.Clear();
    registry.CreateKey(kCommonPath);
    registry.WriteDword(kCommonPath, c.name, c.stored);
    ConstructSettings(*state);
    LoadSettings(*state, Location());
    EXPECT_EQ(state->Active.*c.field, c.loaded);
    EXPECT_EQ(state->Pending.*c.field, c.loaded);
    SETTINGS_RECORD expected = DefaultRecord();
    expected.*c.field = c.loaded;
    EXPECT_TRUE(SameFieldsAfterRateTable(state->Pending, expected));
  }
}

// The readers take exactly four bytes of REG_DWORD data; anything else is
// unreadable and gives the default.
struct MalformedValueCase {
  const char* what;
  ULONG type;
  std::vector<uint8_t> data;
};

const MalformedValueCase kMalformedValueCases[] = {
    {"a string", REG_SZ, Bytes({'7', 0, 0, 0})},
    {"four binary bytes", REG_BINARY, Bytes({7, 0, 0, 0})},
    {"a big-endian dword", REG_DWORD_BIG_ENDIAN, Bytes({0, 0, 0, 7})},
    {"a short dword", REG_DWORD, Bytes({7, 0})},
    {"a qword", REG_QWORD, Bytes({7, 0, 0, 0, 0, 0, 0, 0})},
    {"dword data longer than the query buffer", REG_DWORD, std::vector<uint8_t>(64, 7)},
    {"empty dword data", REG_DWORD, {}},
};

TEST_F(SettingsStoreTest, ValuesThatAreNotFourByteDwordsReadAsDefaults) {
  for (const MalformedValueCase& c : kMalformedValueCases) {
    SCOPED_TRACE(c.what);
    registry.Clear();
    registry.CreateKey(kCommonPath);
    registry.WriteValue(kCommonPath, "BufSize2", c.type, c.data);
    registry.WriteValue(kCommonPath, "MidiInLite", c.type, c.data);
    registry.WriteValue(kCommonPath, "As44", c.type, c.data);
    ConstructSettings(*state);
    LoadSettings(*state, Location());
    EXPECT_EQ(state->Pending.BufSize2, 5u);
    EXPECT_EQ(state->Pending.MidiInLite, 0u);
    EXPECT_EQ(Row(44100).Frames, 94);
    // The stored value is left as it was.
    EXPECT_EQ(registry.ReadValue(kCommonPath, "As44")->type, c.type);
  }
}

struct RateOffsetCase {
  const char* name;
  DWORD stored;
  LONG rate;
  LONG frames, milliseconds, microframes;
};

const RateOffsetCase kRateOffsetCases[] = {
    {"As44", 100, 44100, 100, 2, 18},
    // Equal to the built-in C1, yet recomputed with truncation (built in: 3, 23).
    {"As32", 90, 32000, 90, 2, 22},
    {"As176", 139, 176400, 139, 0, 6},
    {"As384", 0, 384000, 0, 0, 0},
    // 1,000,000 × 8000 does not fit 32 bits; the row must not wrap.
    {"As32", 1000000, 32000, 1000000, 31250, 250000},
};

TEST_F(SettingsStoreTest, LatencyValuesReplaceTheirRowWithTruncatingRecomputation) {
  for (const RateOffsetCase& c : kRateOffsetCases) {
    SCOPED_TRACE(std::string(c.name) + " = " + std::to_string(c.stored));
    registry.Clear();
    registry.CreateKey(kCommonPath);
    registry.WriteDword(kCommonPath, c.name, c.stored);
    ConstructSettings(*state);
    LoadSettings(*state, Location());

    DEVICE_LATENCY_ROW expected[kDeviceLatencyRows];
    std::memcpy(expected, g_DefaultLatencyTable, sizeof(expected));
    for (DEVICE_LATENCY_ROW& row : expected) {
      if (row.Rate != c.rate) continue;
      row.Frames = c.frames;
      row.Milliseconds = c.milliseconds;
      row.Microframes = c.microframes;
    }
    EXPECT_TRUE(SameTable(state->LatencyTable, expected));
    EXPECT_TRUE(SameTable(state->Pending.RateTable, expected));
  }
}

TEST_F(SettingsStoreTest, RateOffsetForARateWithoutARowChangesNothing) {
  registry.CreateKey(kCommonPath);
  registry.WriteDword(kCommonPath, "As22", 50);
  LoadRateOffset(*state, &serviceKey, 22050, u"As22");
  EXPECT_TRUE(SameTable(state->LatencyTable, g_DefaultLatencyTable));
}

TEST_F(SettingsStoreTest, FallbackLatencyIsUsedAndCopiedIntoCommon) {
  registry.CreateKey(kFallbackPath);
  registry.WriteDword(kFallbackPath, "As48", 120);
  registry.WriteDword(kFallbackPath, "As96", 130);
  registry.CreateKey(kCommonPath);
  registry.WriteDword(kCommonPath, "As96", 115);  // Common wins where it has the value

  LoadSettings(*state, Location());
  EXPECT_EQ(Row(48000).Frames, 120);
  EXPECT_EQ(Row(48000).Microframes, 20);
  EXPECT_EQ(Row(96000).Frames, 115);
  ASSERT_TRUE(registry.ReadValue(kCommonPath, "As48"));
  EXPECT_EQ(registry.ReadValue(kCommonPath, "As48")->type, ULONG(REG_DWORD));
  EXPECT_EQ(registry.ReadDword(kCommonPath, "As48"), 120u);
  EXPECT_EQ(registry.ReadDword(kCommonPath, "As96"), 115u);

  // The copy now stands on its own.
  registry.WriteDword(kFallbackPath, "As48", 200);
  ConstructSettings(*state);
  LoadSettings(*state, Location());
  EXPECT_EQ(Row(48000).Frames, 120);
}

TEST_F(SettingsStoreTest, UnreadableCommonLatencyTakesTheFallbackWithoutBeingOverwritten) {
  registry.CreateKey(kFallbackPath);
  registry.WriteDword(kFallbackPath, "As88", 125);
  registry.CreateKey(kCommonPath);
  registry.WriteString(kCommonPath, "As88", u"125");
  LoadSettings(*state, Location());
  EXPECT_EQ(Row(88200).Frames, 125);
  EXPECT_EQ(registry.ReadString(kCommonPath, "As88"), u"125");
}

TEST_F(SettingsStoreTest, LoadWhileStreamingChangesOnlyTheLatencyTableAndPendingRates) {
  state->Active.BufSize2 = 2;
  state->Pending.BufSize2 = 3;
  state->Active.DeviceOptionB = 1;
  const SETTINGS_RECORD activeBefore = state->Active;
  const SETTINGS_RECORD pendingBefore = state->Pending;
  state->ActiveStreamCount = 1;
  registry.CreateKey(kCommonPath);
  registry.WriteDword(kCommonPath, "BufSize2", 7);
  registry.WriteDword(kCommonPath, "FsSyncOff", 1);
  registry.WriteDword(kCommonPath, "As44", 100);

  LoadSettings(*state, Location());
  EXPECT_EQ(std::memcmp(&state->Active, &activeBefore, sizeof(SETTINGS_RECORD)), 0);
  EXPECT_TRUE(SameFieldsAfterRateTable(state->Pending, pendingBefore));
  EXPECT_EQ(Row(44100).Frames, 100);
  EXPECT_TRUE(SameTable(state->Pending.RateTable, state->LatencyTable));

  // Once nothing streams, the next load takes the registry values.
  state->ActiveStreamCount = 0;
  LoadSettings(*state, Location());
  EXPECT_EQ(state->Active.BufSize2, 7u);
  EXPECT_EQ(state->Pending.FsSyncOff, 1u);
  EXPECT_EQ(state->Active.DeviceOptionB, 0u);
}

TEST_F(SettingsStoreTest, SaveWritesExactlyTheFourPendingValues) {
  registry.CreateKey(kFallbackPath);
  registry.WriteDword(kFallbackPath, "As44", 100);
  state->Pending.BufSize2 = 0x10003;
  state->Pending.AsioSmaller = 7;
  state->Pending.FsSyncOff = 0x20001;
  state->Pending.MidiInLite = 1;
  state->Pending.DeviceOptionA = 0;
  state->Pending.StreamOption = 1;
  state->Pending.RateTable[1].Frames = 111;
  state->Active.BufSize2 = 8;  // Active is not what gets saved

  SaveSettings(*state, Location());
  EXPECT_EQ(ValueCount(kCommonPath), 4u);
  EXPECT_EQ(registry.ReadDword(kCommonPath, "BufSize2"), 3u);
  EXPECT_EQ(registry.ReadDword(kCommonPath, "AsioSmaller"), 1u);
  EXPECT_EQ(registry.ReadDword(kCommonPath, "FsSyncOff"), 1u);
  EXPECT_EQ(registry.ReadDword(kCommonPath, "MidiInLite"), 1u);
  EXPECT_EQ(registry.SubkeyNames(kParametersPath), std::vector<std::u16string>{u"Common"});

  // What was saved loads back.
  ConstructSettings(*state);
  LoadSettings(*state, Location());
  EXPECT_EQ(state->Active.BufSize2, 3u);
  EXPECT_EQ(state->Active.AsioSmaller, 1u);
  EXPECT_EQ(state->Active.FsSyncOff, 1u);
  EXPECT_EQ(state->Active.MidiInLite, 1u);
}

struct DriverRateCase {
  const char* what;
  std::optional<DWORD> device;  // "DrvFreq" of the unit's key
  std::optional<DWORD> fallback;
  ULONG result;
  std::optional<DWORD> deviceAfter;
};

const DriverRateCase kDriverRateCases[] = {
    {"stored nowhere", {}, {}, 0, {}},
    {"stored for the unit", 44100, 96000, 44100, 44100},
    {"only in the fallback", {}, 96000, 96000, 96000},
    {"zero for the unit", 0, 48000, 48000, 48000},
    {"zero everywhere", 0, {}, 0, 0},
};

TEST_F(SettingsStoreTest, DriverRateComesFromTheUnitKeyOrTheFallback) {
  constexpr ULONG kIndex = 2;
  for (const DriverRateCase& c : kDriverRateCases) {
    SCOPED_TRACE(c.what);
    registry.Clear();
    registry.CreateKey(kServicePath);
    if (c.device) {
      registry.CreateKey(DevicePath(kIndex));
      registry.WriteDword(DevicePath(kIndex), "DrvFreq", *c.device);
    }
    if (c.fallback) {
      registry.CreateKey(kFallbackPath);
      registry.WriteDword(kFallbackPath, "DrvFreq", *c.fallback);
    }
    EXPECT_EQ(ReadDriverRate(Location(kIndex)), c.result);
    EXPECT_TRUE(registry.KeyExists(DevicePath(kIndex)));
    EXPECT_EQ(registry.ReadDword(DevicePath(kIndex), "DrvFreq"), c.deviceAfter);
  }
}

TEST_F(SettingsStoreTest, UnreadableDriverRateFallsBackButIsNotOverwritten) {
  registry.CreateKey(DevicePath(0));
  registry.WriteString(DevicePath(0), "DrvFreq", u"44100");
  registry.CreateKey(kFallbackPath);
  registry.WriteDword(kFallbackPath, "DrvFreq", 48000);
  EXPECT_EQ(ReadDriverRate(Location(0)), 48000u);
  EXPECT_EQ(registry.ReadString(DevicePath(0), "DrvFreq"), u"44100");
}

TEST_F(SettingsStoreTest, WrittenDriverRateIsPerUnit) {
  WriteDriverRate(Location(3), 88200);
  WriteDriverRate(Location(1), 192000);
  EXPECT_EQ(registry.ReadDword(DevicePath(3), "DrvFreq"), 88200u);
  EXPECT_EQ(ReadDriverRate(Location(3)), 88200u);
  EXPECT_EQ(ReadDriverRate(Location(1)), 192000u);
  EXPECT_EQ(ReadDriverRate(Location(0)), 0u);
}

TEST_F(SettingsStoreTest, MissingServiceKeyCreatesNothingAndLeavesDefaults) {
  registry.Clear();
  registry.CreateKey(kFallbackPath);
  registry.WriteDword(kFallbackPath, "As44", 100);
  registry.WriteDword(kFallbackPath, "DrvFreq", 48000);
  const std::string before = registry.SaveRegText();

  LoadSettings(*state, Location());
  SaveSettings(*state, Location());
  WriteDriverRate(Location(), 44100);
  EXPECT_TRUE(SameFieldsAfterRateTable(state->Active, DefaultRecord()));
  EXPECT_TRUE(SameTable(state->LatencyTable, g_DefaultLatencyTable));
  // Without a unit key only the fallback can answer.
  EXPECT_EQ(ReadDriverRate(Location()), 48000u);
  EXPECT_EQ(registry.SaveRegText(), before);
}

TEST_F(SettingsStoreTest, WithoutARegistryPathNothingIsRead) {
  registry.CreateKey(kCommonPath);
  registry.WriteDword(kCommonPath, "BufSize2", 2);
  registry.CreateKey(kFallbackPath);
  registry.WriteDword(kFallbackPath, "DrvFreq", 48000);
  const std::string before = registry.SaveRegText();
  const SETTINGS_LOCATION nowhere{nullptr, 0};

  LoadSettings(*state, nowhere);
  SaveSettings(*state, nowhere);
  WriteDriverRate(nowhere, 44100);
  EXPECT_EQ(state->Active.BufSize2, 5u);
  EXPECT_EQ(ReadDriverRate(nowhere), 0u);
  EXPECT_EQ(registry.SaveRegText(), before);
}

// Each registry read allocates its own query buffer: a load makes 13 of
// them, in this order, when "Common" holds every value.
struct LoadStep {
  const char* name;
  DWORD stored;
};

const LoadStep kLoadOrder[] = {
    {"BufSize2", 2},   {"AsioSmaller", 1}, {"FsSyncOff", 1},   {"MidiInLite", 1},
    {"As32", 91},      {"As44", 95},       {"As48", 98},       {"As88", 111},
    {"As96", 113},     {"As176", 140},     {"As192", 146},     {"As352", 279},
    {"As384", 291},
};

TEST_F(SettingsStoreTest, FailedQueryBufferGivesThatValueItsDefault) {
  registry.CreateKey(kCommonPath);
  for (const LoadStep& step : kLoadOrder) registry.WriteDword(kCommonPath, step.name, step.stored);
  registry.CreateKey(kFallbackPath);
  registry.WriteDword(kFallbackPath, "As32", 500);  // consulted only when As32 is unreadable
  const std::string before = registry.SaveRegText();

  ConstructSettings(*state);
  LoadSettings(*state, Location());
  const SETTINGS_RECORD complete = state->Pending;

  for (size_t failing = 0; failing < std::size(kLoadOrder); ++failing) {
    SCOPED_TRACE(kLoadOrder[failing].name);
    ConstructSettings(*state);
    machine.pool().FailNthAllocation(failing + 1);
    LoadSettings(*state, Location());
    machine.pool().StopFailing();
    EXPECT_EQ(machine.pool().liveBlocks(), 0u);
    EXPECT_EQ(registry.SaveRegText(), before);

    SETTINGS_RECORD expected = complete;
    SETTINGS_RECORD defaults = DefaultRecord();
    if (failing < 4) {
      static constexpr ULONG SETTINGS_RECORD::*kFields[] = {
          &SETTINGS_RECORD::BufSize2, &SETTINGS_RECORD::AsioSmaller, &SETTINGS_RECORD::FsSyncOff,
          &SETTINGS_RECORD::MidiInLite};
      expected.*kFields[failing] = defaults.*kFields[failing];
    } else if (failing == 4) {
      expected.RateTable[0] = {32000, 500, -32, 15, 0, 125, 0};
    } else {
      expected.RateTable[failing - 4] = g_DefaultLatencyTable[failing - 4];
    }
    EXPECT_EQ(std::memcmp(&state->Pending, &expected, sizeof(expected)), 0);
  }
}

TEST_F(SettingsStoreTest, FailedQueryBufferForTheUnitRateAsksTheFallbackOnly) {
  registry.CreateKey(DevicePath(1));
  registry.WriteDword(DevicePath(1), "DrvFreq", 44100);
  registry.CreateKey(kFallbackPath);
  registry.WriteDword(kFallbackPath, "DrvFreq", 96000);

  machine.pool().FailNthAllocation(1);
  EXPECT_EQ(ReadDriverRate(Location(1)), 96000u);
  EXPECT_EQ(machine.pool().liveBlocks(), 0u);
  EXPECT_EQ(registry.ReadDword(DevicePath(1), "DrvFreq"), 44100u);

  // Both buffers lost: no rate, still nothing overwritten.
  machine.pool().FailWithProbability(1.0, 1);
  EXPECT_EQ(ReadDriverRate(Location(1)), 0u);
  machine.pool().StopFailing();
  EXPECT_EQ(registry.ReadDword(DevicePath(1), "DrvFreq"), 44100u);
  EXPECT_EQ(ReadDriverRate(Location(1)), 44100u);
}

}  // namespace
