// The private control codes of the control device, the handler group that
// answers each and the size of the record it exchanges. Every request passes
// one record as both input and output; a handler reads and writes only the
// fields of its record, so the record size is the least buffer length a
// request needs. Shared by the kernel driver and its user-mode clients.
#pragma once

#include "nt/ctlcode.h"

// Device type 0x22, any access, buffered; function numbers from 0x80D.
#define TARVIK_CONTROL_CODE(function) \
  CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS)

// USB-device group, first block
inline constexpr ULONG IOCTL_DEV_GET_INF_PATH = 0x222034;
inline constexpr ULONG IOCTL_DEV_GET_STREAMING_ACTIVE = 0x222038;
inline constexpr ULONG IOCTL_DEV_GET_HOST_CONTROLLER_NAME = 0x22203C;
inline constexpr ULONG IOCTL_DEV_GET_CHANNEL_COUNTS = 0x222040;
inline constexpr ULONG IOCTL_DEV_IS_HIGH_SPEED = 0x222044;
inline constexpr ULONG IOCTL_DEV_SET_OPTION = 0x222048;
inline constexpr ULONG IOCTL_DEV_GET_RESERVED = 0x22204C;
inline constexpr ULONG IOCTL_CLK_GET_DRIVER_RATE_COMPAT = 0x222050;

// ASIO group
inline constexpr ULONG IOCTL_ASIO_OPEN = 0x22211C;
inline constexpr ULONG IOCTL_ASIO_CLOSE = 0x222120;
inline constexpr ULONG IOCTL_ASIO_DISPOSE_BUFFERS = 0x222124;
inline constexpr ULONG IOCTL_ASIO_GET_LATENCIES = 0x222128;
inline constexpr ULONG IOCTL_ASIO_RESERVED1 = 0x22212C;
inline constexpr ULONG IOCTL_ASIO_GET_BUFFER_SIZE = 0x222130;
inline constexpr ULONG IOCTL_ASIO_RESERVED2 = 0x222134;
inline constexpr ULONG IOCTL_ASIO_GET_SAMPLE_SIZE = 0x222138;
inline constexpr ULONG IOCTL_ASIO_GET_SAMPLE_POSITION = 0x22213C;
inline constexpr ULONG IOCTL_ASIO_CREATE_BUFFERS = 0x222140;
inline constexpr ULONG IOCTL_ASIO_SEND_VENDOR_VALUE = 0x222144;
inline constexpr ULONG IOCTL_ASIO_REGISTER_EVENTS = 0x222150;
inline constexpr ULONG IOCTL_ASIO_UNREGISTER_EVENTS = 0x222154;
inline constexpr ULONG IOCTL_ASIO_SYNC_BUS_TIME = 0x222158;
inline constexpr ULONG IOCTL_ASIO_SET_CLIENT_INFO = 0x22215C;
inline constexpr ULONG IOCTL_ASIO_GET_CLIENT_INFO = 0x222160;
// The one code whose buffers the I/O manager passes untouched.
inline constexpr ULONG IOCTL_ASIO_NOP = 0x222167;

// USB-device group: the settings record
inline constexpr ULONG IOCTL_DEV_GET_SETTINGS = 0x2221E8;
inline constexpr ULONG IOCTL_DEV_SET_SETTINGS = 0x2221EC;
inline constexpr ULONG IOCTL_DEV_GET_SETTINGS_CHANGE_FLAGS = 0x2221F8;

// Sample-rate group
inline constexpr ULONG IOCTL_CLK_GET_ACTIVE_RATE = 0x222320;
inline constexpr ULONG IOCTL_CLK_GET_DRIVER_RATE = 0x222324;
inline constexpr ULONG IOCTL_CLK_SET_DRIVER_RATE = 0x222328;
inline constexpr ULONG IOCTL_CLK_IS_RATE_SELECTABLE = 0x22232C;
inline constexpr ULONG IOCTL_CLK_GET_STATUS = 0x222340;
inline constexpr ULONG IOCTL_CLK_GET_ASIO_ACTIVE = 0x222344;
inline constexpr ULONG IOCTL_CLK_GET_WDM_ACTIVE = 0x222348;

// ASIO group: sample rate and event flags
inline constexpr ULONG IOCTL_ASIO_SET_SAMPLE_RATE = 0x2223E8;
inline constexpr ULONG IOCTL_ASIO_CAN_SAMPLE_RATE = 0x2223EC;
inline constexpr ULONG IOCTL_ASIO_FETCH_EVENT_FLAGS = 0x2223F0;
inline constexpr ULONG IOCTL_ASIO_GET_SAMPLE_RATE = 0x2223F4;

// Firmware version and the clock flag
inline constexpr ULONG IOCTL_DEV_GET_FIRMWARE_VERSION = 0x222640;
inline constexpr ULONG IOCTL_ASIO_GET_CLOCK_FLAG = 0x222644;
inline constexpr ULONG IOCTL_DEV_GET_FIRMWARE_VERSION_DECIMAL = 0x222648;

static_assert(IOCTL_DEV_GET_INF_PATH == TARVIK_CONTROL_CODE(0x80D));
static_assert(IOCTL_DEV_GET_STREAMING_ACTIVE == TARVIK_CONTROL_CODE(0x80E));
static_assert(IOCTL_DEV_GET_HOST_CONTROLLER_NAME == TARVIK_CONTROL_CODE(0x80F));
static_assert(IOCTL_DEV_GET_CHANNEL_COUNTS == TARVIK_CONTROL_CODE(0x810));
static_assert(IOCTL_DEV_IS_HIGH_SPEED == TARVIK_CONTROL_CODE(0x811));
static_assert(IOCTL_DEV_SET_OPTION == TARVIK_CONTROL_CODE(0x812));
static_assert(IOCTL_DEV_GET_RESERVED == TARVIK_CONTROL_CODE(0x813));
static_assert(IOCTL_CLK_GET_DRIVER_RATE_COMPAT == TARVIK_CONTROL_CODE(0x814));
static_assert(IOCTL_ASIO_OPEN == TARVIK_CONTROL_CODE(0x847));
static_assert(IOCTL_ASIO_CLOSE == TARVIK_CONTROL_CODE(0x848));
static_assert(IOCTL_ASIO_DISPOSE_BUFFERS == TARVIK_CONTROL_CODE(0x849));
static_assert(IOCTL_ASIO_GET_LATENCIES == TARVIK_CONTROL_CODE(0x84A));
static_assert(IOCTL_ASIO_RESERVED1 == TARVIK_CONTROL_CODE(0x84B));
static_assert(IOCTL_ASIO_GET_BUFFER_SIZE == TARVIK_CONTROL_CODE(0x84C));
static_assert(IOCTL_ASIO_RESERVED2 == TARVIK_CONTROL_CODE(0x84D));
static_assert(IOCTL_ASIO_GET_SAMPLE_SIZE == TARVIK_CONTROL_CODE(0x84E));
static_assert(IOCTL_ASIO_GET_SAMPLE_POSITION == TARVIK_CONTROL_CODE(0x84F));
static_assert(IOCTL_ASIO_CREATE_BUFFERS == TARVIK_CONTROL_CODE(0x850));
static_assert(IOCTL_ASIO_SEND_VENDOR_VALUE == TARVIK_CONTROL_CODE(0x851));
static_assert(IOCTL_ASIO_REGISTER_EVENTS == TARVIK_CONTROL_CODE(0x854));
static_assert(IOCTL_ASIO_UNREGISTER_EVENTS == TARVIK_CONTROL_CODE(0x855));
static_assert(IOCTL_ASIO_SYNC_BUS_TIME == TARVIK_CONTROL_CODE(0x856));
static_assert(IOCTL_ASIO_SET_CLIENT_INFO == TARVIK_CONTROL_CODE(0x857));
static_assert(IOCTL_ASIO_GET_CLIENT_INFO == TARVIK_CONTROL_CODE(0x858));
static_assert(IOCTL_ASIO_NOP ==
              CTL_CODE(FILE_DEVICE_UNKNOWN, 0x859, METHOD_NEITHER, FILE_ANY_ACCESS));
static_assert(IOCTL_DEV_GET_SETTINGS == TARVIK_CONTROL_CODE(0x87A));
static_assert(IOCTL_DEV_SET_SETTINGS == TARVIK_CONTROL_CODE(0x87B));
static_assert(IOCTL_DEV_GET_SETTINGS_CHANGE_FLAGS == TARVIK_CONTROL_CODE(0x87E));
static_assert(IOCTL_CLK_GET_ACTIVE_RATE == TARVIK_CONTROL_CODE(0x8C8));
static_assert(IOCTL_CLK_GET_DRIVER_RATE == TARVIK_CONTROL_CODE(0x8C9));
static_assert(IOCTL_CLK_SET_DRIVER_RATE == TARVIK_CONTROL_CODE(0x8CA));
static_assert(IOCTL_CLK_IS_RATE_SELECTABLE == TARVIK_CONTROL_CODE(0x8CB));
static_assert(IOCTL_CLK_GET_STATUS == TARVIK_CONTROL_CODE(0x8D0));
static_assert(IOCTL_CLK_GET_ASIO_ACTIVE == TARVIK_CONTROL_CODE(0x8D1));
static_assert(IOCTL_CLK_GET_WDM_ACTIVE == TARVIK_CONTROL_CODE(0x8D2));
static_assert(IOCTL_ASIO_SET_SAMPLE_RATE == TARVIK_CONTROL_CODE(0x8FA));
static_assert(IOCTL_ASIO_CAN_SAMPLE_RATE == TARVIK_CONTROL_CODE(0x8FB));
static_assert(IOCTL_ASIO_FETCH_EVENT_FLAGS == TARVIK_CONTROL_CODE(0x8FC));
static_assert(IOCTL_ASIO_GET_SAMPLE_RATE == TARVIK_CONTROL_CODE(0x8FD));
static_assert(IOCTL_DEV_GET_FIRMWARE_VERSION == TARVIK_CONTROL_CODE(0x990));
static_assert(IOCTL_ASIO_GET_CLOCK_FLAG == TARVIK_CONTROL_CODE(0x991));
static_assert(IOCTL_DEV_GET_FIRMWARE_VERSION_DECIMAL == TARVIK_CONTROL_CODE(0x992));

enum class CONTROL_GROUP : UCHAR { UsbDevice, SampleRate, Asio };

// The "InfPath" data follows a 4-byte head and is at most 243 bytes (what
// the handler's 255-byte partial-information buffer holds).
inline constexpr ULONG kInfPathRecordSize = 4 + 243;

struct CONTROL_CODE_INFO {
  ULONG Code;
  CONTROL_GROUP Group;
  // Bytes of the record. 0: the code reads and writes no record, so any
  // buffer, or none, will do (the reserved codes only fail, IOCTL_ASIO_NOP
  // and IOCTL_ASIO_DISPOSE_BUFFERS touch nothing).
  ULONG RecordSize;
  ULONG RecordSize32;  // the same record sent by a 32-bit process
  const char* Name;
};

#define TARVIK_CONTROL_ENTRY(code, group, size) \
  { code, CONTROL_GROUP::group, size, size, #code }

inline constexpr CONTROL_CODE_INFO kControlCodeTable[] = {
    TARVIK_CONTROL_ENTRY(IOCTL_DEV_GET_INF_PATH, UsbDevice, kInfPathRecordSize),
    TARVIK_CONTROL_ENTRY(IOCTL_DEV_GET_STREAMING_ACTIVE, UsbDevice, 4),
    TARVIK_CONTROL_ENTRY(IOCTL_DEV_GET_HOST_CONTROLLER_NAME, UsbDevice, 2056),
    TARVIK_CONTROL_ENTRY(IOCTL_DEV_GET_CHANNEL_COUNTS, UsbDevice, 8),
    TARVIK_CONTROL_ENTRY(IOCTL_DEV_IS_HIGH_SPEED, UsbDevice, 4),
    TARVIK_CONTROL_ENTRY(IOCTL_DEV_SET_OPTION, UsbDevice, 4),
    TARVIK_CONTROL_ENTRY(IOCTL_DEV_GET_RESERVED, UsbDevice, 4),
    TARVIK_CONTROL_ENTRY(IOCTL_CLK_GET_DRIVER_RATE_COMPAT, SampleRate, 8),
    TARVIK_CONTROL_ENTRY(IOCTL_ASIO_OPEN, Asio, 24),
    TARVIK_CONTROL_ENTRY(IOCTL_ASIO_CLOSE, Asio, 12),
    TARVIK_CONTROL_ENTRY(IOCTL_ASIO_DISPOSE_BUFFERS, Asio, 0),
    TARVIK_CONTROL_ENTRY(IOCTL_ASIO_GET_LATENCIES, Asio, 12),
    TARVIK_CONTROL_ENTRY(IOCTL_ASIO_RESERVED1, Asio, 0),
    TARVIK_CONTROL_ENTRY(IOCTL_ASIO_GET_BUFFER_SIZE, Asio, 16),
    TARVIK_CONTROL_ENTRY(IOCTL_ASIO_RESERVED2, Asio, 0),
    TARVIK_CONTROL_ENTRY(IOCTL_ASIO_GET_SAMPLE_SIZE, Asio, 8),
    TARVIK_CONTROL_ENTRY(IOCTL_ASIO_GET_SAMPLE_POSITION, Asio, 16),
    {IOCTL_ASIO_CREATE_BUFFERS, CONTROL_GROUP::Asio, 32, 20, "IOCTL_ASIO_CREATE_BUFFERS"},
    TARVIK_CONTROL_ENTRY(IOCTL_ASIO_SEND_VENDOR_VALUE, Asio, 6),
    TARVIK_CONTROL_ENTRY(IOCTL_ASIO_REGISTER_EVENTS, Asio, 48),
    TARVIK_CONTROL_ENTRY(IOCTL_ASIO_UNREGISTER_EVENTS, Asio, 48),
    TARVIK_CONTROL_ENTRY(IOCTL_ASIO_SYNC_BUS_TIME, Asio, 8),
    TARVIK_CONTROL_ENTRY(IOCTL_ASIO_SET_CLIENT_INFO, Asio, 32),
    TARVIK_CONTROL_ENTRY(IOCTL_ASIO_GET_CLIENT_INFO, Asio, 32),
    TARVIK_CONTROL_ENTRY(IOCTL_ASIO_NOP, Asio, 0),
    TARVIK_CONTROL_ENTRY(IOCTL_DEV_GET_SETTINGS, UsbDevice, 340),
    TARVIK_CONTROL_ENTRY(IOCTL_DEV_SET_SETTINGS, UsbDevice, 340),
    TARVIK_CONTROL_ENTRY(IOCTL_DEV_GET_SETTINGS_CHANGE_FLAGS, UsbDevice, 4),
    TARVIK_CONTROL_ENTRY(IOCTL_CLK_GET_ACTIVE_RATE, SampleRate, 8),
    TARVIK_CONTROL_ENTRY(IOCTL_CLK_GET_DRIVER_RATE, SampleRate, 8),
    TARVIK_CONTROL_ENTRY(IOCTL_CLK_SET_DRIVER_RATE, SampleRate, 8),
    TARVIK_CONTROL_ENTRY(IOCTL_CLK_IS_RATE_SELECTABLE, SampleRate, 12),
    TARVIK_CONTROL_ENTRY(IOCTL_CLK_GET_STATUS, SampleRate, 20),
    TARVIK_CONTROL_ENTRY(IOCTL_CLK_GET_ASIO_ACTIVE, SampleRate, 4),
    TARVIK_CONTROL_ENTRY(IOCTL_CLK_GET_WDM_ACTIVE, SampleRate, 4),
    TARVIK_CONTROL_ENTRY(IOCTL_ASIO_SET_SAMPLE_RATE, Asio, 12),
    TARVIK_CONTROL_ENTRY(IOCTL_ASIO_CAN_SAMPLE_RATE, Asio, 12),
    TARVIK_CONTROL_ENTRY(IOCTL_ASIO_FETCH_EVENT_FLAGS, Asio, 8),
    TARVIK_CONTROL_ENTRY(IOCTL_ASIO_GET_SAMPLE_RATE, Asio, 8),
    TARVIK_CONTROL_ENTRY(IOCTL_DEV_GET_FIRMWARE_VERSION, UsbDevice, 4),
    TARVIK_CONTROL_ENTRY(IOCTL_ASIO_GET_CLOCK_FLAG, Asio, 4),
    TARVIK_CONTROL_ENTRY(IOCTL_DEV_GET_FIRMWARE_VERSION_DECIMAL, UsbDevice, 4),
};

#undef TARVIK_CONTROL_ENTRY

inline constexpr ULONG kControlCodeCount = sizeof(kControlCodeTable) / sizeof(kControlCodeTable[0]);

// Null for a code that is not in the table.
constexpr const CONTROL_CODE_INFO* ControlCodeInfo(ULONG code) {
  for (const CONTROL_CODE_INFO& info : kControlCodeTable)
    if (info.Code == code) return &info;
  return nullptr;
}

// The least buffer length a request with `code` needs; 0 for an unknown code
// (the router refuses those before it looks at lengths).
constexpr ULONG ControlRecordSizeFor(ULONG code, bool is32BitCaller) {
  for (const CONTROL_CODE_INFO& info : kControlCodeTable)
    if (info.Code == code) return is32BitCaller ? info.RecordSize32 : info.RecordSize;
  return 0;
}

// Codes ascend without repeats, so no code has two entries.
constexpr bool ControlCodeTableAscends() {
  for (ULONG i = 1; i < kControlCodeCount; ++i)
    if (kControlCodeTable[i - 1].Code >= kControlCodeTable[i].Code) return false;
  return true;
}
static_assert(ControlCodeTableAscends());
