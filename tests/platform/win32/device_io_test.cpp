// CreateFile and DeviceIoControl against a small driver: the Win32 results,
// last errors and byte counts that user-mode callers rely on.

#include <cstring>

#include "platform/sim/pnp.h"
#include "tests/platform/io/test_driver.h"
#include "tests/platform/win32/win32_fixture.h"

namespace {

using win32test::Win32Test;

constexpr char kPath[] = "\\\\.\\TestCtl1";

HANDLE OpenControlDevice() {
  return CreateFileA(kPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

class DeviceFiles : public Win32Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sim::PnpManager::Of(machine).LoadDriver(u"TestDrv", TestDriverEntry, &driver), STATUS_SUCCESS);
    ASSERT_EQ(TestCreateControlDevice(driver, 1, &device), STATUS_SUCCESS);
    handle = OpenControlDevice();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    TestDeleteControlDevice(device, 1);
  }

  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT device = nullptr;
  HANDLE handle = INVALID_HANDLE_VALUE;
};

TEST_F(DeviceFiles, OpenAndCloseReachTheDriver) {
  EXPECT_EQ(g_testDriver.creates, 1);
  EXPECT_TRUE(CloseHandle(handle));
  EXPECT_EQ(g_testDriver.cleanups, 1);
  EXPECT_EQ(g_testDriver.closes, 1);
  EXPECT_FALSE(CloseHandle(handle));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  handle = INVALID_HANDLE_VALUE;
}

TEST_F(DeviceFiles, BufferedRequestReturnsTheDriversBytes) {
  char input[4] = {'a', 'b', 'c', 'd'};
  char output[8] = {};
  DWORD returned = 99;
  ASSERT_TRUE(DeviceIoControl(handle, IOCTL_TEST_ECHO, input, sizeof input, output, sizeof output, &returned, nullptr));
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(std::memcmp(output, "abcd", 4), 0);
}

TEST_F(DeviceFiles, APendingRequestIsWaitedFor) {
  char output[32] = {};
  DWORD returned = 0;
  uint64_t start = machine.Now();
  ASSERT_TRUE(DeviceIoControl(handle, IOCTL_TEST_PEND_DPC, nullptr, 0, output, sizeof output, &returned, nullptr));
  EXPECT_EQ(MillisecondsSince(start), 1u);
  EXPECT_EQ(returned, 13u);
  EXPECT_STREQ(output, "from the DPC");
}

TEST_F(DeviceFiles, FailuresReportTheirErrorAndBytes) {
  struct Case {
    DWORD code;
    DWORD error;
    DWORD bytes;  // a warning carries data back, an error none
  } cases[] = {{IOCTL_TEST_OVERFLOW, ERROR_MORE_DATA, 4},
               {CTL_CODE(FILE_DEVICE_UNKNOWN, 0xFFF, METHOD_BUFFERED, FILE_ANY_ACCESS), ERROR_INVALID_FUNCTION, 0}};
  for (const Case& c : cases) {
    char output[4] = {};
    DWORD returned = 99;
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(handle, c.code, nullptr, 0, output, sizeof output, &returned, nullptr)) << c.code;
    EXPECT_EQ(GetLastError(), c.error) << c.code;
    EXPECT_EQ(returned, c.bytes) << c.code;
  }
}

TEST_F(DeviceFiles, AnOverlappedRequestCompletesAtOnceAndSetsItsEvent) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  char output[32] = {};
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(handle, IOCTL_TEST_PEND_DPC, nullptr, 0, output, sizeof output, nullptr, &overlapped));
  EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(GetOverlappedResult(handle, &overlapped, &returned, TRUE));
  EXPECT_EQ(returned, 13u);
  CloseHandle(overlapped.hEvent);
}

TEST_F(DeviceFiles, RequestsNeedAFileHandle) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  DWORD returned = 0;
  for (HANDLE wrong : {event, static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(wrong, IOCTL_TEST_ECHO, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  CloseHandle(event);
}

TEST_F(DeviceFiles, OpeningRefusesWhatIsNoDevice) {
  struct Case {
    const char* path;
    DWORD disposition;
    DWORD error;
  } cases[] = {{"\\\\.\\TestCtl2", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
               {"C:\\Tarvik\\readme.txt", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
               {kPath, CREATE_ALWAYS, ERROR_INVALID_PARAMETER}};
  for (const Case& c : cases) {
    EXPECT_EQ(CreateFileA(c.path, GENERIC_READ, 0, nullptr, c.disposition, 0, nullptr), INVALID_HANDLE_VALUE)
        << c.path;
    EXPECT_EQ(GetLastError(), c.error) << c.path;
  }
  EXPECT_EQ(g_testDriver.creates, 1) << "only the fixture's open reached the driver";
}

VOID NTAPI EchoFromThisProcess(PVOID) {
  HANDLE handle = CreateFileW(u"\\\\.\\TestCtl1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD record = 0;
  DWORD returned = 0;
  DeviceIoControl(handle, IOCTL_TEST_ECHO, &record, 4, &record, 4, &returned, nullptr);
  CloseHandle(handle);
}

TEST_F(DeviceFiles, TheDriverSeesWhetherItsCallerIs32Bit) {
  RunInProcess(*machine.objects().CreateProcess(true), EchoFromThisProcess, nullptr);
  EXPECT_TRUE(g_testDriver.is32BitCaller);
  DWORD record = 0;
  DWORD returned = 0;
  DeviceIoControl(handle, IOCTL_TEST_ECHO, &record, 4, &record, 4, &returned, nullptr);
  EXPECT_FALSE(g_testDriver.is32BitCaller);
}

}  // namespace
