// The control router seen from its callers: every code checked against its
// record before a handler runs, unknown and unanswered codes refused, ASIO
// codes only at high speed, and every answer completed with the caller's
// whole output length.
#include <string>
#include <vector>

#include "platform/sim/pool.h"
#include "tests/driver/control/control_fixture.h"

namespace controltest {
namespace {

class ControlRouter : public ControlDeviceTest {};

constexpr uint8_t kFill = 0x5A;
constexpr size_t kCanaryBytes = 64;

// A short buffer fails before any handler runs and leaves every byte the
// caller owns as it was, the bytes behind the buffer included. The system
// buffer has exactly the short length, so a handler that ran anyway would
// overrun it (caught under ASan).
TEST_F(ControlRouter, ShortBuffersAreRefusedAndNothingIsWritten) {
  rig->RunClient([&] {
    HANDLE device = OpenControlDevice(kHighSpeed);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    for (const CONTROL_CODE_INFO& info : kControlCodeTable) {
      if (info.RecordSize == 0) continue;
      for (ULONG length : {info.RecordSize - 1, ULONG{1}}) {
        SCOPED_TRACE(std::string(info.Name) + " with " + std::to_string(length) + " bytes");
        auto* block = static_cast<uint8_t*>(GlobalAlloc(GMEM_FIXED, length + kCanaryBytes));
        ASSERT_NE(block, nullptr);
        std::memset(block, kFill, length + kCanaryBytes);
        UserReply reply = CallDevice(device, info.Code, block, length);
        EXPECT_FALSE(reply.ok);
        EXPECT_EQ(reply.error, DWORD(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(reply.returned, 0u);
        for (size_t i = 0; i < length + kCanaryBytes; ++i) {
          if (block[i] != kFill) {
            ADD_FAILURE() << "byte " << i << " changed";
            break;
          }
        }
        GlobalFree(block);
      }
    }
    CloseHandle(device);
  });
}

TEST_F(ControlRouter, ThirtyTwoBitCallersAreHeldToTheirOwnRecord) {
  struct Case {
    bool is32Bit;
    ULONG length;
    bool tooSmall;
  } cases[] = {
      {true, 19, true},
      {true, 20, false},
      {false, 20, true},
      {false, 31, true},
      {false, 32, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE((c.is32Bit ? "32-bit caller, " : "64-bit caller, ") + std::to_string(c.length));
    rig->RunClient(
        [&] {
          HANDLE device = OpenControlDevice(kHighSpeed);
          ASSERT_NE(device, INVALID_HANDLE_VALUE);
          std::vector<uint8_t> record(c.length);
          UserReply reply = CallDevice(device, IOCTL_ASIO_CREATE_BUFFERS, record.data(), c.length);
          EXPECT_EQ(!reply.ok && reply.error == ERROR_INSUFFICIENT_BUFFER, c.tooSmall) << reply.error;
          CloseHandle(device);
        },
        c.is32Bit);
  }
}

// The USB-device and sample-rate groups give the same answer to a request
// without a record; IOCTL_ASIO_NOP needs none.
TEST_F(ControlRouter, RequestsWithoutABuffer) {
  rig->RunClient([&] {
    HANDLE device = OpenControlDevice(kHighSpeed);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    for (const CONTROL_CODE_INFO& info : kControlCodeTable) {
      if (info.Group == CONTROL_GROUP::Asio || info.RecordSize == 0) continue;
      SCOPED_TRACE(info.Name);
      UserReply reply = CallDevice(device, info.Code, nullptr, 0);
      EXPECT_FALSE(reply.ok);
      EXPECT_EQ(reply.error, DWORD(ERROR_INVALID_HANDLE));
    }
    UserReply nop = CallDevice(device, IOCTL_ASIO_NOP, nullptr, 0);
    EXPECT_TRUE(nop.ok) << nop.error;
    CloseHandle(device);
  });
}

TEST_F(ControlRouter, UnknownAndUnansweredCodesAreInvalidParameters) {
  const ULONG codes[] = {
      0x222000,                                                   // below the table
      0x222030,                                                   // just before the first code
      0x222054,                                                   // just after the first block
      0x222168,                                                   // after IOCTL_ASIO_NOP
      0x22264C,                                                   // after the last code
      IOCTL_DEV_IS_HIGH_SPEED | METHOD_NEITHER,                   // a known function, other method
      CTL_CODE(FILE_DEVICE_SOUND, 0x811, METHOD_BUFFERED, FILE_ANY_ACCESS),  // other device type
      IOCTL_DEV_SET_OPTION,
      IOCTL_ASIO_RESERVED1,
      IOCTL_ASIO_RESERVED2,
  };
  rig->RunClient([&] {
    HANDLE device = OpenControlDevice(kHighSpeed);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    for (ULONG code : codes) {
      SCOPED_TRACE(code);
      uint8_t record[16] = {};
      UserReply reply = CallDevice(device, code, record, sizeof(record));
      EXPECT_FALSE(reply.ok);
      EXPECT_EQ(reply.error, DWORD(ERROR_INVALID_PARAMETER));
    }
    CloseHandle(device);
  });
}

// The information field carries the whole output length on failure too.
TEST_F(ControlRouter, FailuresReportTheCallersWholeOutputLength) {
  struct Case {
    const char* what;
    int unit;
    ULONG code;
    ULONG length;
    NTSTATUS status;
  } cases[] = {
      {"unknown code", kHighSpeed, 0x222000, 16, STATUS_INVALID_PARAMETER},
      {"SET_OPTION", kHighSpeed, IOCTL_DEV_SET_OPTION, 4, STATUS_INVALID_PARAMETER},
      {"short settings record", kHighSpeed, IOCTL_DEV_GET_SETTINGS, 100, STATUS_BUFFER_TOO_SMALL},
      {"ASIO at full speed", kFullSpeed, IOCTL_ASIO_GET_LATENCIES, 12, STATUS_NOT_IMPLEMENTED},
      {"success", kHighSpeed, IOCTL_DEV_IS_HIGH_SPEED, 4, STATUS_SUCCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> record(c.length);
    KernelReply reply = SendKernelRequest(ControlDevice(c.unit), c.code, record.data(), c.length);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.information, c.length);
  }
}

// The precondition comes before the record check, and no ASIO handler runs:
// even IOCTL_ASIO_NOP and the reserved codes answer STATUS_NOT_IMPLEMENTED.
TEST_F(ControlRouter, AsioCodesNeedHighSpeedWhileDeviceCodesStillWork) {
  PDEVICE_OBJECT device = ControlDevice(kFullSpeed);
  ASSERT_NE(device, nullptr);
  for (const CONTROL_CODE_INFO& info : kControlCodeTable) {
    if (info.Group != CONTROL_GROUP::Asio) continue;
    SCOPED_TRACE(info.Name);
    for (ULONG length : {info.RecordSize, ULONG{1}}) {
      std::vector<uint8_t> record(length == 0 ? 4 : length);
      EXPECT_EQ(SendKernelRequest(device, info.Code, record.data(), length).status,
                STATUS_NOT_IMPLEMENTED);
    }
  }

  std::vector<uint8_t> highSpeed(4, 0xFF);
  EXPECT_EQ(SendKernelRequest(device, IOCTL_DEV_IS_HIGH_SPEED, highSpeed.data(), 4).status,
            STATUS_SUCCESS);
  EXPECT_EQ(UlongAt(highSpeed, 0), 0u);
  std::vector<uint8_t> settings(sizeof(SETTINGS_RECORD) + 4);
  EXPECT_EQ(SendKernelRequest(device, IOCTL_DEV_GET_SETTINGS, settings.data(), ULONG(settings.size()))
                .status,
            STATUS_SUCCESS);
  EXPECT_EQ(UlongAt(settings, sizeof(SETTINGS_RECORD)), 1u);
}

}  // namespace
}  // namespace controltest
