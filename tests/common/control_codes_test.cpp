// The control-code table as clients and the router see it: every code's
// number, group and least buffer length, written out here independently of
// the header, and the lookups' answer for codes that are not ours.
#include "common/control_codes.h"

#include <set>

#include <gtest/gtest.h>

namespace {

using enum CONTROL_GROUP;

struct CodeCase {
  ULONG code;
  const char* name;
  CONTROL_GROUP group;
  ULONG recordSize;
  ULONG recordSize32;
};

const CodeCase kCodeCases[] = {
    {0x222034, "IOCTL_DEV_GET_INF_PATH", UsbDevice, 247, 247},
    {0x222038, "IOCTL_DEV_GET_STREAMING_ACTIVE", UsbDevice, 4, 4},
    {0x22203C, "IOCTL_DEV_GET_HOST_CONTROLLER_NAME", UsbDevice, 2056, 2056},
    {0x222040, "IOCTL_DEV_GET_CHANNEL_COUNTS", UsbDevice, 8, 8},
    {0x222044, "IOCTL_DEV_IS_HIGH_SPEED", UsbDevice, 4, 4},
    {0x222048, "IOCTL_DEV_SET_OPTION", UsbDevice, 4, 4},
    {0x22204C, "IOCTL_DEV_GET_RESERVED", UsbDevice, 4, 4},
    {0x222050, "IOCTL_CLK_GET_DRIVER_RATE_COMPAT", SampleRate, 8, 8},
    {0x22211C, "IOCTL_ASIO_OPEN", Asio, 24, 24},
    {0x222120, "IOCTL_ASIO_CLOSE", Asio, 12, 12},
    {0x222124, "IOCTL_ASIO_DISPOSE_BUFFERS", Asio, 0, 0},
    {0x222128, "IOCTL_ASIO_GET_LATENCIES", Asio, 12, 12},
    {0x22212C, "IOCTL_ASIO_RESERVED1", Asio, 0, 0},
    {0x222130, "IOCTL_ASIO_GET_BUFFER_SIZE", Asio, 16, 16},
    {0x222134, "IOCTL_ASIO_RESERVED2", Asio, 0, 0},
    {0x222138, "IOCTL_ASIO_GET_SAMPLE_SIZE", Asio, 8, 8},
    {0x22213C, "IOCTL_ASIO_GET_SAMPLE_POSITION", Asio, 16, 16},
    {0x222140, "IOCTL_ASIO_CREATE_BUFFERS", Asio, 32, 20},
    {0x222144, "IOCTL_ASIO_SEND_VENDOR_VALUE", Asio, 6, 6},
    {0x222150, "IOCTL_ASIO_REGISTER_EVENTS", Asio, 48, 48},
    {0x222154, "IOCTL_ASIO_UNREGISTER_EVENTS", Asio, 48, 48},
    {0x222158, "IOCTL_ASIO_SYNC_BUS_TIME", Asio, 8, 8},
    {0x22215C, "IOCTL_ASIO_SET_CLIENT_INFO", Asio, 32, 32},
    {0x222160, "IOCTL_ASIO_GET_CLIENT_INFO", Asio, 32, 32},
    {0x222167, "IOCTL_ASIO_NOP", Asio, 0, 0},
    {0x2221E8, "IOCTL_DEV_GET_SETTINGS", UsbDevice, 340, 340},
    {0x2221EC, "IOCTL_DEV_SET_SETTINGS", UsbDevice, 340, 340},
    {0x2221F8, "IOCTL_DEV_GET_SETTINGS_CHANGE_FLAGS", UsbDevice, 4, 4},
    {0x222320, "IOCTL_CLK_GET_ACTIVE_RATE", SampleRate, 8, 8},
    {0x222324, "IOCTL_CLK_GET_DRIVER_RATE", SampleRate, 8, 8},
    {0x222328, "IOCTL_CLK_SET_DRIVER_RATE", SampleRate, 8, 8},
    {0x22232C, "IOCTL_CLK_IS_RATE_SELECTABLE", SampleRate, 12, 12},
    {0x222340, "IOCTL_CLK_GET_STATUS", SampleRate, 20, 20},
    {0x222344, "IOCTL_CLK_GET_ASIO_ACTIVE", SampleRate, 4, 4},
    {0x222348, "IOCTL_CLK_GET_WDM_ACTIVE", SampleRate, 4, 4},
    {0x2223E8, "IOCTL_ASIO_SET_SAMPLE_RATE", Asio, 12, 12},
    {0x2223EC, "IOCTL_ASIO_CAN_SAMPLE_RATE", Asio, 12, 12},
    {0x2223F0, "IOCTL_ASIO_FETCH_EVENT_FLAGS", Asio, 8, 8},
    {0x2223F4, "IOCTL_ASIO_GET_SAMPLE_RATE", Asio, 8, 8},
    {0x222640, "IOCTL_DEV_GET_FIRMWARE_VERSION", UsbDevice, 4, 4},
    {0x222644, "IOCTL_ASIO_GET_CLOCK_FLAG", Asio, 4, 4},
    {0x222648, "IOCTL_DEV_GET_FIRMWARE_VERSION_DECIMAL", UsbDevice, 4, 4},
};

TEST(ControlCodesTest, EveryCodeHasItsGroupAndRecordSizeForBothCallers) {
  for (const CodeCase& c : kCodeCases) {
    SCOPED_TRACE(c.name);
    const CONTROL_CODE_INFO* info = ControlCodeInfo(c.code);
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->Name, c.name);
    EXPECT_EQ(info->Group, c.group);
    EXPECT_EQ(ControlRecordSizeFor(c.code, false), c.recordSize);
    EXPECT_EQ(ControlRecordSizeFor(c.code, true), c.recordSize32);
    EXPECT_EQ(DEVICE_TYPE_FROM_CTL_CODE(c.code), ULONG(FILE_DEVICE_UNKNOWN));
    EXPECT_EQ((c.code >> 14) & 3, ULONG(FILE_ANY_ACCESS));
    EXPECT_EQ(METHOD_FROM_CTL_CODE(c.code),
              ULONG(c.code == IOCTL_ASIO_NOP ? METHOD_NEITHER : METHOD_BUFFERED));
  }
}

TEST(ControlCodesTest, TableHoldsNoCodeBeyondTheListedOnes) {
  std::set<ULONG> listed;
  for (const CodeCase& c : kCodeCases) listed.insert(c.code);
  for (const CONTROL_CODE_INFO& info : kControlCodeTable)
    EXPECT_TRUE(listed.count(info.Code)) << info.Name;
}

TEST(ControlCodesTest, CodesThatAreNotOursHaveNoEntry) {
  const ULONG foreign[] = {
      0,
      0x222030,  // function 0x80C, just below the first
      0x22204E,  // a listed function with another method
      0x222164,  // the no-op's function, buffered
      0x22264C,  // past the last
      0x226034,  // read access
      0x2D2034,  // another device type
      0xFFFFFFFF,
  };
  for (ULONG code : foreign) {
    SCOPED_TRACE(code);
    EXPECT_EQ(ControlCodeInfo(code), nullptr);
    EXPECT_EQ(ControlRecordSizeFor(code, false), 0u);
    EXPECT_EQ(ControlRecordSizeFor(code, true), 0u);
  }
}

// The size lookup folds at compile time.
static_assert(ControlRecordSizeFor(IOCTL_ASIO_CREATE_BUFFERS, true) == 20);

}  // namespace
