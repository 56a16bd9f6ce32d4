// The I/O manager seen from user mode: opening a control device through its
// link, control requests with both methods, pending completion, cancellation,
// name collisions, and reference counting of a deleted device.

#include <gtest/gtest.h>

#include <cstring>

#include "platform/sim/dispatcher.h"
#include "platform/sim/io_manager.h"
#include "platform/sim/pnp.h"
#include "tests/platform/io/test_driver.h"

namespace {

class ControlDevice : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sim::PnpManager::Of(machine).LoadDriver(u"TestDrv", TestDriverEntry, &driver), STATUS_SUCCESS);
    ASSERT_EQ(TestCreateControlDevice(driver, 1, &device), STATUS_SUCCESS);
  }
  void TearDown() override {
    if (device) TestDeleteControlDevice(device, 1);
  }
  NTSTATUS Open(const char16_t* path, HANDLE* handle) {
    return io().OpenFile(path, GENERIC_READ | GENERIC_WRITE, nullptr, handle);
  }
  NTSTATUS Close(HANDLE handle) { return machine.objects().Close(handle, UserMode); }
  sim::IoManager& io() { return sim::IoManager::Of(machine); }

  sim::Machine machine;
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT device = nullptr;
};

TEST_F(ControlDevice, OpenThroughTheLinkAndCloseSendCreateCleanupClose) {
  HANDLE handle;
  ASSERT_EQ(Open(u"\\\\.\\TestCtl1", &handle), STATUS_SUCCESS);
  EXPECT_EQ(g_testDriver.creates, 1);
  EXPECT_EQ(device->ReferenceCount, 1);
  EXPECT_EQ(Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(g_testDriver.cleanups, 1);
  EXPECT_EQ(g_testDriver.closes, 1);
  EXPECT_EQ(device->ReferenceCount, 0);
  EXPECT_EQ(Close(handle), STATUS_INVALID_HANDLE);
}

TEST_F(ControlDevice, NamesAreCaseInsensitiveAndListed) {
  HANDLE handle;
  ASSERT_EQ(Open(u"\\??\\testctl1", &handle), STATUS_SUCCESS);
  Close(handle);
  auto names = io().ListNamespace();
  EXPECT_NE(std::find(names.begin(), names.end(), u"\\Device\\TestCtl1"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), u"\\DosDevices\\TESTCTL1"), names.end());
  EXPECT_EQ(Open(u"\\\\.\\TestCtl2", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ControlDevice, BufferedRequestCopiesInputInAndInformationBytesOut) {
  HANDLE handle;
  ASSERT_EQ(Open(u"\\\\.\\TestCtl1", &handle), STATUS_SUCCESS);
  char input[8] = "abcdefg";
  char output[16];
  std::memset(output, '#', sizeof output);
  ULONG_PTR returned = 0;
  // Echo reports min(in, out): 8 bytes come back, the rest is untouched.
  EXPECT_EQ(io().DeviceControl(handle, IOCTL_TEST_ECHO, input, sizeof input, output, sizeof output, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, 8u);
  EXPECT_STREQ(output, "abcdefg");
  EXPECT_EQ(output[8], '#');
  // A warning status still returns the data; an error returns nothing.
  EXPECT_EQ(io().DeviceControl(handle, IOCTL_TEST_OVERFLOW, nullptr, 0, output, 4, &returned), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(io().DeviceControl(handle, 0x222FFC, nullptr, 0, output, 4, &returned), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(returned, 0u);
  Close(handle);
}

TEST_F(ControlDevice, NeitherMethodPassesTheCallersPointers) {
  HANDLE handle;
  ASSERT_EQ(Open(u"\\\\.\\TestCtl1", &handle), STATUS_SUCCESS);
  unsigned char input[3] = {1, 2, 3};
  unsigned char output[3] = {};
  ULONG_PTR returned = 0;
  EXPECT_EQ(io().DeviceControl(handle, IOCTL_TEST_NEITHER, input, 3, output, 3, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 3u);
  EXPECT_EQ(output[0], 2);
  EXPECT_EQ(output[2], 4);
  Close(handle);
}

TEST_F(ControlDevice, PendingRequestCompletedFromADpcIsWaitedFor) {
  HANDLE handle;
  ASSERT_EQ(Open(u"\\\\.\\TestCtl1", &handle), STATUS_SUCCESS);
  char output[32] = {};
  ULONG_PTR returned = 0;
  ULONGLONG start = KeQueryInterruptTime();
  EXPECT_EQ(io().DeviceControl(handle, IOCTL_TEST_PEND_DPC, nullptr, 0, output, sizeof output, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(KeQueryInterruptTime() - start, sim::kMillisecond);
  EXPECT_EQ(returned, 13u);
  EXPECT_STREQ(output, "from the DPC");
  Close(handle);
}

TEST_F(ControlDevice, CancellingAParkedRequestCompletesItWithCancelled) {
  HANDLE handle;
  ASSERT_EQ(Open(u"\\\\.\\TestCtl1", &handle), STATUS_SUCCESS);
  NTSTATUS status = STATUS_PENDING;
  sim::SimulatedThread client(machine, [&] {
    char output[4];
    ULONG_PTR returned;
    status = io().DeviceControl(handle, IOCTL_TEST_PEND_CANCELABLE, nullptr, 0, output, sizeof output, &returned);
  });
  ASSERT_TRUE(machine.RunUntil(
      [] { return __atomic_load_n(&g_testDriver.cancelableIrp, __ATOMIC_SEQ_CST) != nullptr; }, sim::kSecond));
  EXPECT_TRUE(IoCancelIrp(g_testDriver.cancelableIrp));
  client.Join();
  EXPECT_EQ(status, STATUS_CANCELLED);
  Close(handle);
  EXPECT_EQ(io().liveIrps(), 0u);
}

TEST_F(ControlDevice, ASecondDeviceWithTheSameNameCollides) {
  PDEVICE_OBJECT second = nullptr;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, TEXT("\\Device\\TestCtl1"));
  EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(second, nullptr);
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, TEXT("\\DosDevices\\TestCtl1"));
  EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_OBJECT_NAME_COLLISION);
}

TEST_F(ControlDevice, OpenFailsOnceTheLinkIsDeleted) {
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, TEXT("\\DosDevices\\TestCtl1"));
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
  HANDLE handle;
  EXPECT_EQ(Open(u"\\\\.\\TestCtl1", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
  // The device itself is still reachable by its own name.
  ASSERT_EQ(Open(u"\\Device\\TestCtl1", &handle), STATUS_SUCCESS);
  Close(handle);
  IoDeleteDevice(device);
  device = nullptr;
}

TEST_F(ControlDevice, AnOpenHandleKeepsADeletedDeviceAndItsNameAlive) {
  HANDLE handle;
  ASSERT_EQ(Open(u"\\\\.\\TestCtl1", &handle), STATUS_SUCCESS);
  PDEVICE_OBJECT deleted = device;
  TestDeleteControlDevice(device, 1);
  device = nullptr;

  // No new opens, and the name stays taken while the object lives.
  HANDLE again;
  EXPECT_EQ(Open(u"\\Device\\TestCtl1", &again), STATUS_NO_SUCH_DEVICE);
  PDEVICE_OBJECT other = nullptr;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, TEXT("\\Device\\TestCtl1"));
  EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &other), STATUS_OBJECT_NAME_COLLISION);

  // The handle still works and its close reaches the driver.
  char buffer[4] = "hi!";
  ULONG_PTR returned;
  EXPECT_EQ(io().DeviceControl(handle, IOCTL_TEST_ECHO, buffer, 4, buffer, 4, &returned), STATUS_SUCCESS);
  EXPECT_EQ(deleted->ReferenceCount, 1);
  Close(handle);
  EXPECT_EQ(g_testDriver.closes, 1);

  // Freed now: the name is free again.
  ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &other), STATUS_SUCCESS);
  IoDeleteDevice(other);
}

TEST_F(ControlDevice, RequestsFromA32BitProcessSaySo) {
  sim::Process* process32 = machine.objects().CreateProcess(true);
  HANDLE handle;
  ASSERT_EQ(io().OpenFile(u"\\\\.\\TestCtl1", GENERIC_READ, process32, &handle), STATUS_SUCCESS);
  // The handle lives in that process; act as one of its threads.
  PKTHREAD self = sim::CurrentThreadState().thread;
  sim::Process* previous = self->process;
  self->process = process32;
  char buffer[4] = {};
  ULONG_PTR returned;
  EXPECT_EQ(io().DeviceControl(handle, IOCTL_TEST_ECHO, buffer, 4, buffer, 4, &returned), STATUS_SUCCESS);
  EXPECT_TRUE(g_testDriver.is32BitCaller);
  Close(handle);
  self->process = previous;
}

}  // namespace
