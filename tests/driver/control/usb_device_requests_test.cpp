// The USB-device group from user mode: the unit's facts, the driver key's
// "InfPath", the host controller's name, the settings record and its change
// flags, and the MIDI setting a settings write applies.
#include <string>
#include <vector>

#include "driver/core/driver_globals.h"
#include "driver/usb/midi_pipes.h"
#include "platform/sim/pool.h"
#include "platform/sim/usb_bus.h"
#include "sim/unit/descriptors.h"
#include "tests/driver/control/control_fixture.h"

namespace controltest {
namespace {

class UsbDeviceRequests : public ControlDeviceTest {
 protected:
  // Runs one request with a record of `length` bytes on the unit's control
  // device from user mode; the record comes back as the driver left it.
  std::vector<uint8_t> Request(int unit, ULONG code, size_t length, UserReply* replyOut = nullptr,
                               uint8_t fill = 0xEE) {
    std::vector<uint8_t> record(length, fill);
    rig->RunClient([&] {
      HANDLE device = OpenControlDevice(unit);
      ASSERT_NE(device, INVALID_HANDLE_VALUE);
      UserReply reply = CallDevice(device, code, record.data(), DWORD(length));
      if (replyOut != nullptr) {
        *replyOut = reply;
      } else {
        EXPECT_TRUE(reply.ok) << reply.error;
        EXPECT_EQ(reply.returned, length);
      }
      CloseHandle(device);
    });
    return record;
  }

  std::string DriverKeyOf(int unit) {
    return sim::Utf16ToUtf8(sim::InfoOf(rig->units()[unit - 1]->pdo()).driverKeyPath);
  }
};

TEST_F(UsbDeviceRequests, TheUnitsFacts) {
  struct Case {
    const char* what;
    ULONG code;
    size_t length;
    std::vector<uint8_t> expected;
  } cases[] = {
      {"channel counts", IOCTL_DEV_GET_CHANNEL_COUNTS, 8, {1, 0, 0, 0, 4, 10, 0xEE, 0xEE}},
      {"high speed", IOCTL_DEV_IS_HIGH_SPEED, 4, {1, 0, 0, 0}},
      {"reserved", IOCTL_DEV_GET_RESERVED, 4, {0, 0, 0, 0}},
      {"not streaming", IOCTL_DEV_GET_STREAMING_ACTIVE, 4, {0, 0, 0, 0}},
      {"firmware version", IOCTL_DEV_GET_FIRMWARE_VERSION, 4, {0x34, 0x12, 0, 0}},
      {"firmware version as decimal", IOCTL_DEV_GET_FIRMWARE_VERSION_DECIMAL, 4, {0xD2, 0x04, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Request(kHighSpeed, c.code, c.length), c.expected);
  }
}

class FirmwareVersions : public UsbDeviceRequests {
 protected:
  std::vector<const char*> UnitSetups() const override {
    return {"hs:bcd=0x0102", "hs:bcd=0x10A9", "hs:bcd=0x0000"};
  }
};

TEST_F(FirmwareVersions, BcdDigitsReadAsDecimal) {
  struct Case {
    int unit;
    ULONG bcd;
    ULONG decimal;
  } cases[] = {
      {1, 0x0102, 102},
      {2, 0x10A9, 1109},  // a nibble above 9 keeps its value at its place
      {3, 0x0000, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bcd);
    EXPECT_EQ(UlongAt(Request(c.unit, IOCTL_DEV_GET_FIRMWARE_VERSION, 4), 0), c.bcd);
    EXPECT_EQ(UlongAt(Request(c.unit, IOCTL_DEV_GET_FIRMWARE_VERSION_DECIMAL, 4), 0), c.decimal);
  }
}

TEST_F(UsbDeviceRequests, StreamingIsActiveWhileAMidiStreamIsOpenAtHighSpeed) {
  CUsbDevice& usb = Context(kHighSpeed)->UsbDevice;
  struct Case {
    LONG outputStreams;
    LONG inputStreams;
    ULONG active;
  } cases[] = {{1, 0, 1}, {0, 2, 1}, {0, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.outputStreams) + " out, " + std::to_string(c.inputStreams) + " in");
    InterlockedExchange(&usb.MidiOut.OpenStreams, c.outputStreams);
    InterlockedExchange(&usb.MidiIn.OpenStreams, c.inputStreams);
    EXPECT_EQ(UlongAt(Request(kHighSpeed, IOCTL_DEV_GET_STREAMING_ACTIVE, 4), 0), c.active);
  }
}

TEST_F(UsbDeviceRequests, InfPathIsTheDriverKeysValue) {
  const std::u16string stored = u"oem12.inf";
  std::vector<uint8_t> record = Request(kHighSpeed, IOCTL_DEV_GET_INF_PATH, kInfPathRecordSize);
  std::vector<uint8_t> expected(kInfPathRecordSize, 0xEE);
  std::memcpy(expected.data() + 4, stored.c_str(), (stored.size() + 1) * sizeof(char16_t));
  EXPECT_EQ(record, expected) << "the data with its terminator at +4, nothing else written";
}

TEST_F(UsbDeviceRequests, InfPathThatDoesNotFitTheQueryIsUnreadable) {
  struct Case {
    size_t bytes;
    bool fits;
  } cases[] = {{243, true}, {244, false}, {1000, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    std::vector<uint8_t> data(c.bytes, 0x41);
    Registry().WriteValue(DriverKeyOf(kHighSpeed), "InfPath", REG_SZ, data);
    UserReply reply{};
    std::vector<uint8_t> record =
        Request(kHighSpeed, IOCTL_DEV_GET_INF_PATH, kInfPathRecordSize, &reply);
    if (c.fits) {
      EXPECT_TRUE(reply.ok) << reply.error;
      EXPECT_TRUE(std::equal(data.begin(), data.end(), record.begin() + 4));
    } else {
      EXPECT_FALSE(reply.ok);
      EXPECT_EQ(reply.error, DWORD(ERROR_INVALID_HANDLE));
    }
  }
}

std::u16string NameIn(const std::vector<uint8_t>& record) {
  const ULONG length = UlongAt(record, 4);
  std::u16string name(length / 2, u'\0');
  std::memcpy(name.data(), record.data() + 8, length);
  return name;
}

uint16_t TerminatorAfter(const std::vector<uint8_t>& record) {
  uint16_t terminator;
  std::memcpy(&terminator, record.data() + 8 + UlongAt(record, 4), sizeof(terminator));
  return terminator;
}

TEST_F(UsbDeviceRequests, HostControllerName) {
  const std::u16string name = sim::usb::Controllers(rig->machine())[0]->name();
  std::vector<uint8_t> record = Request(kHighSpeed, IOCTL_DEV_GET_HOST_CONTROLLER_NAME, 2056);
  EXPECT_EQ(UlongAt(record, 4), name.size() * 2);
  EXPECT_EQ(NameIn(record), name);
  EXPECT_EQ(TerminatorAfter(record), 0);
}

TEST_F(UsbDeviceRequests, AControllerThatDoesNotAnswerIsNoHostName) {
  sim::usb::Controllers(rig->machine())[0]->RefuseNameRequests(true);
  std::vector<uint8_t> record = Request(kHighSpeed, IOCTL_DEV_GET_HOST_CONTROLLER_NAME, 2056);
  sim::usb::Controllers(rig->machine())[0]->RefuseNameRequests(false);
  EXPECT_EQ(UlongAt(record, 4), 20u);
  EXPECT_EQ(NameIn(record), u"NoHostName");
  EXPECT_EQ(TerminatorAfter(record), 0);
}

TEST_F(UsbDeviceRequests, ALongControllerNameIsCutToTheRecord) {
  const std::u16string name(1500, u'x');
  sim::usb::CreateController(rig->machine(), {name, {}});
  sim::rig::UnitSetup setup;
  setup.controller = 1;
  rig->Attach(setup);  // control device 3
  std::vector<uint8_t> record = Request(3, IOCTL_DEV_GET_HOST_CONTROLLER_NAME, 2056);
  // The stack is offered 2046 bytes, its length word included, and cuts
  // the name there; the record reports what arrived.
  EXPECT_EQ(UlongAt(record, 4), 2042u);
  EXPECT_EQ(NameIn(record), name.substr(0, 1021));
  EXPECT_EQ(TerminatorAfter(record), 0);
}

TEST_F(UsbDeviceRequests, HostControllerNameWithoutAWorkBufferFails) {
  std::vector<uint8_t> record(2056);
  sim::Pool& pool = rig->machine().pool();
  KernelReply reply = SendKernelRequest(ControlDevice(kHighSpeed), IOCTL_DEV_GET_HOST_CONTROLLER_NAME,
                                        record.data(), ULONG(record.size()),
                                        [&] { pool.FailNthAllocation(1); });
  pool.StopFailing();
  EXPECT_EQ(reply.status, static_cast<NTSTATUS>(0xFFFFFFFF));
  EXPECT_EQ(reply.information, record.size());
}

TEST_F(UsbDeviceRequests, SettingsReportPendingWithResultOne) {
  std::vector<uint8_t> wire = GetSettings();
  EXPECT_EQ(UlongAt(wire, sizeof(SETTINGS_RECORD)), 1u);
  SETTINGS_RECORD record = RecordOf(wire);
  EXPECT_EQ(record.BufSize2, 5u);
  EXPECT_EQ(record.AsioSampleContainer, 1u);
  EXPECT_EQ(record.DeviceOptionA, 1u);
  EXPECT_EQ(record.RateTable[1].Rate, 44100);
  EXPECT_EQ(std::memcmp(&record, &DriverSettings().Pending, sizeof(record)), 0);
}

// The fields after RateTable, which the cases change.
bool SameFields(const SETTINGS_RECORD& a, const SETTINGS_RECORD& b) {
  constexpr size_t start = offsetof(SETTINGS_RECORD, StreamOption);
  return std::memcmp(reinterpret_cast<const uint8_t*>(&a) + start,
                     reinterpret_cast<const uint8_t*>(&b) + start, sizeof(a) - start) == 0;
}

// Which field a write changes, whether streams run, and what the write
// leaves behind: the result word, Active, and the registry at once.
TEST_F(UsbDeviceRequests, SettingsWritesKeepActiveWhileStreamsRun) {
  struct Case {
    const char* what;
    LONG streams;
    void (*change)(SETTINGS_RECORD*);
    ULONG flags;
    bool activeFollows;  // the changed field reached Active
  } cases[] = {
      {"buffer level, idle", 0, [](SETTINGS_RECORD* r) { r->BufSize2 = 2; }, 0, true},
      {"buffer level, streaming", 1, [](SETTINGS_RECORD* r) { r->BufSize2 = 2; }, 1, false},
      {"option A value while enabled, streaming", 2, [](SETTINGS_RECORD* r) { r->OptionA.Value = 7; },
       1, false},
      {"device option A, idle", 0, [](SETTINGS_RECORD* r) { r->DeviceOptionA = 0; }, 2, false},
      {"device option A, streaming", 1, [](SETTINGS_RECORD* r) { r->DeviceOptionA = 0; }, 2, false},
      {"buffer level and device option B, streaming", 1,
       [](SETTINGS_RECORD* r) {
         r->BufSize2 = 8;
         r->DeviceOptionB = 1;
       },
       3, false},
      {"sample container, streaming", 1, [](SETTINGS_RECORD* r) { r->AsioSampleContainer = 0; }, 0,
       false},
  };
  const SETTINGS_RECORD original = RecordOf(GetSettings());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SETTINGS_RECORD changed = original;
    c.change(&changed);
    SetActiveStreams(c.streams);
    EXPECT_EQ(SetSettings(changed), c.flags);

    CDriverState& state = DriverSettings();
    EXPECT_EQ(std::memcmp(&state.Pending, &changed, sizeof(changed)), 0);
    EXPECT_EQ(SameFields(state.Active, changed), c.activeFollows);
    EXPECT_EQ(SameFields(state.Active, original), !c.activeFollows);
    EXPECT_EQ(Registry().ReadDword(kCommonKey, "BufSize2"), changed.BufSize2);
    EXPECT_EQ(UlongAt(Request(kHighSpeed, IOCTL_DEV_GET_SETTINGS_CHANGE_FLAGS, 4), 0), c.flags);

    SetActiveStreams(0);
    SetSettings(original);
  }
}

// The ASIO driver learns of a settings write through the group's reset flag
// and status event; a full-speed unit has no ASIO side to tell.
TEST_F(UsbDeviceRequests, ASettingsWriteAsksTheAsioDriverToReset) {
  CAsioGroup* group = DriverAsioGroup();
  ASSERT_NE(group, nullptr);
  KEVENT statusEvent;
  KeInitializeEvent(&statusEvent, NotificationEvent, FALSE);
  auto underGroupLock = [&](auto change) {
    KIRQL irql;
    KeAcquireSpinLock(&group->Lock, &irql);
    change();
    KeReleaseSpinLock(&group->Lock, irql);
  };
  underGroupLock([&] {
    group->EventFlags = 0;
    group->StatusEvent = &statusEvent;
  });
  const SETTINGS_RECORD record = RecordOf(GetSettings());

  std::vector<uint8_t> wire(sizeof(SETTINGS_RECORD) + 4);
  std::memcpy(wire.data(), &record, sizeof(record));
  EXPECT_EQ(SendKernelRequest(ControlDevice(kFullSpeed), IOCTL_DEV_SET_SETTINGS, wire.data(),
                              ULONG(wire.size()))
                .status,
            STATUS_SUCCESS);
  EXPECT_EQ(group->EventFlags, 0u) << "full speed";
  EXPECT_EQ(KeReadStateEvent(&statusEvent), 0);

  SetSettings(record);
  EXPECT_EQ(group->EventFlags, kAsioEventReset);
  EXPECT_NE(KeReadStateEvent(&statusEvent), 0);
  underGroupLock([&] {
    group->EventFlags = 0;
    group->StatusEvent = nullptr;
  });
}

TEST_F(UsbDeviceRequests, AMidiSettingWrittenWhileIdleReselectsTheMidiInterface) {
  sim::unit::TarvikUnit& unit = rig->units()[0]->unit();
  CUsbDevice& usb = Context(kHighSpeed)->UsbDevice;
  ASSERT_EQ(unit.alternateSetting(sim::unit::kMidiInterface), 0);

  SETTINGS_RECORD record = RecordOf(GetSettings());
  record.MidiInLite = 1;
  EXPECT_EQ(SetSettings(record), 0u);
  EXPECT_EQ(unit.alternateSetting(sim::unit::kMidiInterface), 1);
  EXPECT_EQ(usb.MidiAltSetting, 1u);
  EXPECT_EQ(ReadNoFence(&usb.MidiOut.PipeState), LONG(MidiPipeRunning));
}

}  // namespace
}  // namespace controltest
