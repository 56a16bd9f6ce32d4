// The MIDI pipes on the simulated unit: output sent in transfers of one
// maximum packet, the input reader's halt and recovery by the pipe worker,
// stops that cancel, and the transfer pools' allocation failures.
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/sim/pool.h"
#include "platform/sim/verifier.h"
#include "tests/driver/usb/usb_fixture.h"

namespace {

using sim::unit::kMidiInEndpoint;
using sim::unit::kMidiOutEndpoint;
using sim::unit::MidiPacket;

ULONG AsPacket(const MidiPacket& bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<ULONG>(bytes[3]) << 24;
}

// A note-on on cable 0 that differs for every i below 16384.
MidiPacket Note(unsigned i) {
  return {0x09, 0x90, static_cast<uint8_t>(i & 0x7F), static_cast<uint8_t>((i >> 7) & 0x7F)};
}

// Reads a pipe's fields as the driver does, under its lock.
template <typename Pipe, typename Read>
auto Locked(Pipe& pipe, Read read) {
  pipe.LockPipe();
  auto value = read(pipe);
  pipe.UnlockPipe();
  return value;
}
LONG Halted(CMidiPipe& pipe) { return Locked(pipe, [](CMidiPipe& p) { return p.Halted; }); }
LONG HaltTicks(CMidiPipe& pipe) { return Locked(pipe, [](CMidiPipe& p) { return p.HaltTicks; }); }
LONG Stopping(CMidiPipe& pipe) { return Locked(pipe, [](CMidiPipe& p) { return p.Stopping; }); }
bool QueueEmpty(CMidiOutPipe& pipe) { return Locked(pipe, [](CMidiOutPipe& p) { return p.QueueEmpty() != FALSE; }); }
ULONG Queued(CMidiOutPipe& pipe) { return Locked(pipe, [](CMidiOutPipe& p) { return p.QueuedPackets(); }); }

class RecordingInputSide : public IMidiInputSide {
 public:
  VOID OnPacketsReceived(const ULONG* packets, ULONG count) override {
    std::lock_guard guard(lock_);
    received_.insert(received_.end(), packets, packets + count);
  }
  std::vector<ULONG> received() const {
    std::lock_guard guard(lock_);
    return received_;
  }

 private:
  mutable std::mutex lock_;
  std::vector<ULONG> received_;
};

class MidiPipeTest : public UsbDeviceTest {
 protected:
  CUsbDevice& AttachRunning() {
    CUsbDevice& usb = Attach();
    EXPECT_TRUE(g_usbHost.pipesInstalled);
    usb.MidiIn.LockPipe();
    usb.MidiIn.InputSide = &input;
    usb.MidiIn.UnlockPipe();
    // Let the first read reach the bus (a few frames) before faults are
    // armed.
    machine.RunFor(3 * sim::kMillisecond);
    EXPECT_TRUE(usb.MidiIn.InFlight());
    return usb;
  }

  void Queue(CUsbDevice& usb, unsigned first, unsigned count) {
    usb.MidiOut.LockPipe();
    for (unsigned i = first; i < first + count; ++i) ASSERT_TRUE(usb.MidiOut.QueuePacket(AsPacket(Note(i))));
    usb.MidiOut.UnlockPipe();
    usb.MidiOut.OnQueueWritten();
  }

  static void Tick(CMidiPipe& pipe, CUsbDevice& usb, ULONG event, unsigned times) {
    for (unsigned i = 0; i < times; ++i) pipe.CountHaltTick(&usb.PipeWorker, event);
  }

  // The reader's next transfer fails after delivering `first`.
  void HaltReaderAfter(CUsbDevice& usb, const MidiPacket& first, const MidiPacket& later) {
    Unit().FailNextTransfers(kMidiInEndpoint, 1);
    Unit().PlayMidiScript({{1000, first}, {200'000, later}});
    ASSERT_TRUE(machine.RunUntil([&] { return Halted(usb.MidiIn) != 0; }, 50 * sim::kMillisecond));
    EXPECT_FALSE(usb.MidiIn.InFlight());
  }

  RecordingInputSide input;
};

TEST_F(MidiPipeTest, QueuedOutputGoesOutOneMaximumPacketAtATime) {
  CUsbDevice& usb = AttachRunning();
  ASSERT_EQ(usb.MidiOutPipe.MaximumPacketSize, 512);
  Queue(usb, 0, 300);
  ASSERT_TRUE(machine.RunUntil([&] { return Unit().ReceivedMidi().size() == 300; }, 100 * sim::kMillisecond));

  const auto received = Unit().ReceivedMidi();
  std::map<uint64_t, size_t> perTransfer;  // one bulk transfer per microframe
  for (size_t i = 0; i < received.size(); ++i) {
    ASSERT_EQ(received[i].packet, Note(static_cast<unsigned>(i))) << i;
    ++perTransfer[received[i].microframe];
  }
  std::vector<size_t> sizes;
  for (const auto& [microframe, packets] : perTransfer) sizes.push_back(packets);
  EXPECT_EQ(sizes, (std::vector<size_t>{128, 128, 44}));
  EXPECT_TRUE(QueueEmpty(usb.MidiOut));
  EXPECT_FALSE(usb.MidiOut.InFlight());
}

TEST_F(MidiPipeTest, OutputWrittenWhileThePipeIsStoppedIsDiscarded) {
  CUsbDevice& usb = AttachRunning();
  usb.MidiOut.LockPipe();
  usb.MidiOut.PipeState = MidiPipeStopped;
  usb.MidiOut.UnlockPipe();
  Queue(usb, 0, 10);
  EXPECT_TRUE(QueueEmpty(usb.MidiOut));
  machine.RunFor(5 * sim::kMillisecond);
  EXPECT_TRUE(Unit().ReceivedMidi().empty());
}

TEST_F(MidiPipeTest, AFailedOutputTransferHaltsTheSenderUntilTheWorkerRecoversIt) {
  CUsbDevice& usb = AttachRunning();
  Unit().FailNextTransfers(kMidiOutEndpoint, 1);
  Queue(usb, 0, 5);
  ASSERT_TRUE(machine.RunUntil([&] { return Halted(usb.MidiOut) != 0; }, 20 * sim::kMillisecond));
  // Halted: output accumulates and nothing is sent.
  Queue(usb, 5, 5);
  machine.RunFor(5 * sim::kMillisecond);
  EXPECT_EQ(Queued(usb.MidiOut), 5u);
  EXPECT_TRUE(Unit().ReceivedMidi().empty());

  Tick(usb.MidiOut, usb, kRecoverMidiOutEvent, kHaltTicksBeforeRecovery);
  ASSERT_TRUE(machine.RunUntil([&] { return Halted(usb.MidiOut) == 0; }, 20 * sim::kMillisecond));
  EXPECT_TRUE(QueueEmpty(usb.MidiOut));  // recovery drops what piled up
  EXPECT_EQ(HaltTicks(usb.MidiOut), 0);

  Queue(usb, 100, 1);
  ASSERT_TRUE(machine.RunUntil([&] { return Unit().ReceivedMidi().size() == 1; }, 20 * sim::kMillisecond));
  EXPECT_EQ(Unit().ReceivedMidi()[0].packet, Note(100));
}

TEST_F(MidiPipeTest, AFailedReadHaltsTheReaderAndTheHundredthTickRestartsIt) {
  CUsbDevice& usb = AttachRunning();
  const MidiPacket first = Note(1), later = Note(2);
  HaltReaderAfter(usb, first, later);
  EXPECT_EQ(input.received(), (std::vector<ULONG>{AsPacket(first)}));

  Tick(usb.MidiIn, usb, kRecoverMidiInEvent, kHaltTicksBeforeRecovery - 1);
  machine.RunFor(5 * sim::kMillisecond);
  EXPECT_NE(Halted(usb.MidiIn), 0);
  EXPECT_EQ(HaltTicks(usb.MidiIn), 99);

  Tick(usb.MidiIn, usb, kRecoverMidiInEvent, 1);
  ASSERT_TRUE(machine.RunUntil([&] { return Halted(usb.MidiIn) == 0 && usb.MidiIn.InFlight(); },
                               20 * sim::kMillisecond));
  EXPECT_EQ(HaltTicks(usb.MidiIn), 0);
  ASSERT_TRUE(machine.RunUntil([&] { return input.received().size() == 2; }, 300 * sim::kMillisecond));
  EXPECT_EQ(input.received(), (std::vector<ULONG>{AsPacket(first), AsPacket(later)}));
}

TEST_F(MidiPipeTest, StoppingTheReaderCancelsItsReadAndReturnsAfterTheCompletion) {
  CUsbDevice& usb = AttachRunning();
  WithPipeEvent(usb, [&] { usb.MidiIn.StopPipe(); });
  EXPECT_FALSE(usb.MidiIn.InFlight());
  EXPECT_EQ(usb.MidiIn.Pool.Slots[0].InUse, 0);
  EXPECT_EQ(usb.MidiIn.Pool.Slots[0].UrbAddress()->UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(Halted(usb.MidiIn), 0);  // a cancelled read is no fault
  EXPECT_EQ(Stopping(usb.MidiIn), 0);

  // Data sent while stopped waits for the next read.
  Unit().PlayMidiScript({{500, Note(7)}});
  machine.RunFor(5 * sim::kMillisecond);
  EXPECT_TRUE(input.received().empty());
  WithPipeEvent(usb, [&] { usb.MidiIn.StartPipe(); });
  ASSERT_TRUE(machine.RunUntil([&] { return input.received().size() == 1; }, 20 * sim::kMillisecond));
}

TEST_F(MidiPipeTest, AHaltedReaderOfAnUnpluggedUnitIsNeitherResetNorRestarted) {
  struct {
    bool connected = true;
    LONG halted = 0;
    LONG ticks = 0;
    bool inFlight = true;
  } seen;
  g_usbHost.options.onSurpriseRemoval = [&](CUsbDevice& usb) {
    seen.connected = usb.IsPortConnected();
    Tick(usb.MidiIn, usb, kRecoverMidiInEvent, kHaltTicksBeforeRecovery + 5);
    machine.RunFor(5 * sim::kMillisecond);  // the worker has run its recovery
    seen.halted = Halted(usb.MidiIn);
    seen.ticks = HaltTicks(usb.MidiIn);
    seen.inFlight = usb.MidiIn.InFlight();
  };
  CUsbDevice& usb = AttachRunning();
  HaltReaderAfter(usb, Note(1), Note(2));
  unit->Unplug();

  EXPECT_FALSE(seen.connected);
  EXPECT_NE(seen.halted, 0);
  EXPECT_EQ(seen.ticks, static_cast<LONG>(kHaltTicksBeforeRecovery));
  EXPECT_FALSE(seen.inFlight);
  EXPECT_EQ(g_usbHost.removals, 1);
}

// ---- Pools ---------------------------------------------------------------------

// Blocks of the USB layer's tag (freed requests are quarantined by the
// platform for a while, so they are checked through the slots instead).
size_t UsbBlocks(sim::Machine& machine) {
  const auto usage = machine.pool().liveByTag();
  const auto found = usage.find(sim::FormatTag(kUsbPoolTag));
  return found != usage.end() ? found->second.blocks : 0;
}

// Fails the first, second, ... allocation of `create` until it succeeds;
// every failure must leave the USB layer's block count where it was.
template <typename Create, typename Empty>
unsigned FailEachAllocation(sim::Machine& machine, Create create, Empty empty) {
  unsigned failures = 0;
  for (uint64_t n = 1; n < 200; ++n) {
    const size_t before = UsbBlocks(machine);
    machine.pool().FailNthAllocation(n);
    const bool created = create();
    machine.pool().StopFailing();
    if (created) break;
    ++failures;
    EXPECT_EQ(UsbBlocks(machine), before) << "allocation " << n;
    EXPECT_TRUE(empty()) << "allocation " << n;
  }
  return failures;
}

TEST_F(UsbDeviceTest, ABulkPoolWhoseAllocationFailsLeavesNothingAllocated) {
  CUsbDevice& usb = Attach();
  auto spare = std::make_unique<CMidiInPipe>();
  spare->Setup(&usb, &usb.MidiInPipe, nullptr);
  const CTransferSlot& slot = spare->Pool.Slots[0];
  const unsigned failures = FailEachAllocation(
      machine, [&] { return spare->CreatePool() != FALSE; },
      [&] { return slot.Request == nullptr && slot.Urb == nullptr && slot.BufferAddress == nullptr; });
  EXPECT_GE(failures, 3u);  // request, transfer block, buffer
  EXPECT_NE(slot.Request, nullptr);
  EXPECT_EQ(slot.UrbSize, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
  EXPECT_EQ(slot.BufferSize, kMidiTransferBytes);
  spare->FreePool();
}

TEST_F(UsbDeviceTest, IsochronousPoolsGetTheirBlocksAndContiguousBuffersOrNothing) {
  CUsbDevice& usb = Attach();
  auto pool = std::make_unique<ISO_OUT_POOL>();
  auto noUrbs = [&] {
    for (const CIsoOutSlot& slot : pool->Slots)
      if (slot.Request != nullptr || slot.Urb != nullptr) return false;
    return true;
  };
  auto noBuffers = [&] {
    for (const CIsoOutSlot& slot : pool->Slots)
      if (slot.BufferAddress != nullptr) return false;
    return true;
  };

  constexpr ULONG kMilliseconds = 4;
  EXPECT_GE(FailEachAllocation(
                machine,
                [&] { return PrepareIsoPool(pool.get(), nullptr, usb.LowerDeviceObject, kMilliseconds, 4) != FALSE; },
                noUrbs),
            2u * kIsoSlotsPerDirection);
  for (const CIsoOutSlot& slot : pool->Slots) {
    EXPECT_EQ(slot.PacketCount, kMilliseconds * 8);
    EXPECT_EQ(slot.UrbSize, 152 + 12 * kMilliseconds * 8);
    EXPECT_EQ(slot.FrameBytes, 16u);
  }

  EXPECT_GE(FailEachAllocation(machine, [&] { return AllocateIsoBuffers(pool.get(), 81920 + 1) != FALSE; }, noBuffers),
            kIsoSlotsPerDirection);
  for (const CIsoOutSlot& slot : pool->Slots) {
    ASSERT_NE(slot.BufferAddress, nullptr);
    EXPECT_EQ(slot.BufferSize, 81920u + 4096u);  // whole pages
    EXPECT_LE(static_cast<ULONGLONG>(MmGetPhysicalAddress(slot.BufferAddress).QuadPart) + slot.BufferSize,
              0x1'0000'0000ull);
  }

  // Slots are taken up to the pool's limit and released once each.
  pool->MaximumInUse = 2;
  CTransferSlot* a = AcquireSlot(pool.get());
  CTransferSlot* b = AcquireSlot(pool.get());
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(AcquireSlot(pool.get()), nullptr);
  ReleaseSlot(pool.get(), a);
  ReleaseSlot(pool.get(), a);
  EXPECT_EQ(pool->InUseCount, 1);
  ReleaseSlot(pool.get(), b);
  EXPECT_EQ(pool->InUseCount, 0);

  ReleaseIsoPool(pool.get());
  FreeIsoBuffers(pool.get());
  EXPECT_TRUE(noUrbs());
  EXPECT_TRUE(noBuffers());
}

}  // namespace
