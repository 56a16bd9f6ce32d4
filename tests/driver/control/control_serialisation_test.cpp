// Control requests of one unit run one at a time: a request that blocks
// inside its handler holds back the next one until it has completed.
#include <atomic>
#include <vector>

#include "platform/sim/dispatcher.h"
#include "sim/unit/descriptors.h"
#include "tests/driver/control/control_fixture.h"

namespace controltest {
namespace {

class ControlSerialisation : public ControlDeviceTest {};

TEST_F(ControlSerialisation, ASecondRequestStartsOnlyAfterTheFirstCompleted) {
  CUsbDevice& usb = Context(kHighSpeed)->UsbDevice;
  SETTINGS_RECORD record = RecordOf(GetSettings());
  record.MidiInLite = 1;  // the write reapplies the MIDI setting, under PipeEvent

  // Holding the pipe event parks the settings write inside its handler.
  KeWaitForSingleObject(&usb.PipeEvent, Executive, KernelMode, FALSE, nullptr);

  std::atomic<bool> written{false};
  std::atomic<bool> read{false};
  std::vector<uint8_t> readBack(sizeof(SETTINGS_RECORD) + 4);
  sim::SimulatedThread writer(rig->machine(), [&] {
    std::vector<uint8_t> wire(sizeof(SETTINGS_RECORD) + 4);
    std::memcpy(wire.data(), &record, sizeof(record));
    HANDLE device = OpenControlDevice(kHighSpeed);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CallDevice(device, IOCTL_DEV_SET_SETTINGS, wire.data(), DWORD(wire.size())).ok);
    written = true;
    CloseHandle(device);
  });
  rig->RunFor(10 * sim::kMillisecond);
  sim::SimulatedThread reader(rig->machine(), [&] {
    HANDLE device = OpenControlDevice(kHighSpeed);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(
        CallDevice(device, IOCTL_DEV_GET_SETTINGS, readBack.data(), DWORD(readBack.size())).ok);
    read = true;
    CloseHandle(device);
  });
  rig->RunFor(50 * sim::kMillisecond);
  // The read needs nothing the write holds: only the one-at-a-time rule
  // keeps it waiting.
  EXPECT_FALSE(written.load());
  EXPECT_FALSE(read.load()) << "the second request ran while the first was inside the driver";

  KeSetEvent(&usb.PipeEvent, IO_NO_INCREMENT, FALSE);
  writer.Join();
  reader.Join();
  EXPECT_TRUE(written.load());
  EXPECT_TRUE(read.load());
  EXPECT_EQ(RecordOf(readBack).MidiInLite, 1u);
  EXPECT_EQ(rig->units()[0]->unit().alternateSetting(sim::unit::kMidiInterface), 1);
}

}  // namespace
}  // namespace controltest
