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

  std::atomic<int> completions{0};
  int writeOrder = 0;
  int readOrder = 0;
  std::vector<uint8_t> readBack(sizeof(SETTINGS_RECORD) + 4);
  sim::SimulatedThread writer(rig->machine(), [&] {
    std::vector<uint8_t> wire(sizeof(SETTINGS_RECORD) + 4);
    std::memcpy(wire.data(), &record, sizeof(record));
    HANDLE device = OpenControlDevice(kHighSpeed);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CallDevice(device, IOCTL_DEV_SET_SETTINGS, wire.data(), DWORD(wire.size())).ok);
    writeOrder = ++completions;
    CloseHandle(device);
  });
  rig->RunFor(10 * sim::kMillisecond);
  sim::SimulatedThread reader(rig->machine(), [&] {
    HANDLE device = OpenControlDevice(kHighSpeed);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(
        CallDevice(device, IOCTL_DEV_GET_SETTINGS, readBack.data(), DWORD(readBack.size())).ok);
    readOrder = ++completions;
    CloseHandle(device);
  });
  rig->RunFor(50 * sim::kMillisecond);
  EXPECT_EQ(completions.load(), 0) << "both requests wait while the first is parked";

  KeSetEvent(&usb.PipeEvent, IO_NO_INCREMENT, FALSE);
  writer.Join();
  reader.Join();
  EXPECT_EQ(writeOrder, 1);
  EXPECT_EQ(readOrder, 2);
  EXPECT_EQ(RecordOf(readBack).MidiInLite, 1u) << "the read saw the finished write";
  EXPECT_EQ(rig->units()[0]->unit().alternateSetting(sim::unit::kMidiInterface), 1);
}

}  // namespace
}  // namespace controltest
