// Isochronous and bulk transfers through the host controller's schedule:
// the unit's crystal as the packets show it, ASAP placement, the analog
// loopback, MIDI echo, and the faults: cancellation, stalls, failed and
// dropped packets, unplugging.
#include <cmath>

#include "tests/platform/usb/bus_fixture.h"
#include "tests/platform/usb/stream.h"

namespace {

using namespace sim::unit;

constexpr ULONG kOutPacketBytes = 6 * kOutFrameBytes;

class StreamingTest : public BusTest {
 protected:
  sim::usb::Device& AttachConfigured(UnitConfig config = {}) {
    sim::usb::Device& device = Attach(config);
    pipes = Configure(device.pdo());
    EXPECT_NE(pipes.isoIn, nullptr);
    return device;
  }
  void StopAndDrain(IsoStream& stream) {
    stream.Stop();
    ASSERT_TRUE(machine.RunUntil([&] { return stream.idle(); }, 50 * sim::kMillisecond));
  }

  UnitPipes pipes;
};

TEST_F(StreamingTest, AtPlus100PpmTheUnitDelivers48004Point8FramesPerSecond) {
  UnitConfig config;
  config.crystalPpm = 100;
  PDEVICE_OBJECT pdo = AttachConfigured(config).pdo();
  IsoStream in(pdo, pipes.isoIn, true, 4, kIsoInMaxPacket);
  in.Start();
  machine.RunFor(10 * sim::kSecond);
  StopAndDrain(in);

  uint64_t packets = 0, frames = 0;
  for (const auto& completion : in.completions()) {
    ASSERT_EQ(completion.status, STATUS_SUCCESS);
    for (const auto& packet : completion.packets) {
      ASSERT_EQ(packet.Length % kInFrameBytes, 0u);
      ASSERT_GE(packet.Length / kInFrameBytes, 5u);
      ASSERT_LE(packet.Length / kInFrameBytes, 7u);
      ++packets;
      frames += packet.Length / kInFrameBytes;
    }
  }
  ASSERT_GE(packets, 80'000u);
  EXPECT_NEAR(frames * 8000.0 / packets, 48'004.8, 0.1);
}

TEST_F(StreamingTest, BackToBackAsapRequestsAreContiguousInStartFrames) {
  PDEVICE_OBJECT pdo = AttachConfigured().pdo();
  IsoStream in(pdo, pipes.isoIn, true, 3, kIsoInMaxPacket);
  const ULONG submittedIn = controller->FrameNumber();
  in.Start();
  machine.RunFor(300 * sim::kMillisecond);  // across the frame counter's wrap
  StopAndDrain(in);
  auto completions = in.completions();
  ASSERT_GT(completions.size(), 250u);
  EXPECT_EQ(completions[0].startFrame, submittedIn + 3);  // a first request starts a little ahead
  for (size_t i = 1; i < completions.size(); ++i)
    ASSERT_EQ(completions[i].startFrame, completions[i - 1].startFrame + 1) << "at completion " << i;
}

TEST_F(StreamingTest, ALateRequestLeavesAGapTheUnitMisses) {
  sim::usb::Device& device = AttachConfigured();
  RawTransfer first(device.pdo(), GET_ISO_URB_SIZE(8), 8 * kOutPacketBytes);
  RawTransfer late(device.pdo(), GET_ISO_URB_SIZE(8), 8 * kOutPacketBytes);
  first.PrepareIso(pipes.isoOut, 8, kOutPacketBytes, false);
  late.PrepareIso(pipes.isoOut, 8, kOutPacketBytes, false);
  ASSERT_EQ(first.Submit(), STATUS_PENDING);
  ASSERT_TRUE(WaitFor(first));
  machine.RunFor(2 * sim::kMillisecond);
  const ULONG current = controller->FrameNumber();
  ASSERT_EQ(late.Submit(), STATUS_PENDING);
  ASSERT_TRUE(WaitFor(late));

  const ULONG gap = late.urb()->UrbIsochronousTransfer.StartFrame - first.urb()->UrbIsochronousTransfer.StartFrame - 1;
  EXPECT_EQ(late.urb()->UrbIsochronousTransfer.StartFrame, current + 3);
  EXPECT_GT(gap, 0u);
  EXPECT_EQ(device.unit().counters().outPackets, 16u);
  EXPECT_EQ(device.unit().counters().outUnderruns, gap * 8);
}

TEST_F(StreamingTest, TheLoopbackDelaysOneOutputSampleByExactly97Frames) {
  sim::usb::Device& device = AttachConfigured();
  device.unit().PatchInput(0, Loopback{0});
  IsoStream in(device.pdo(), pipes.isoIn, true, 4, kIsoInMaxPacket);
  in.Start();
  machine.RunFor(5 * sim::kMillisecond);

  RawTransfer out(device.pdo(), GET_ISO_URB_SIZE(8), 8 * kOutPacketBytes);
  out.PrepareIso(pipes.isoOut, 8, kOutPacketBytes, false);
  const float impulse = 1.0f;
  std::memcpy(out.buffer(), &impulse, sizeof impulse);  // channel 0 of the first frame
  ASSERT_EQ(out.Submit(), STATUS_PENDING);
  ASSERT_TRUE(WaitFor(out));
  machine.RunFor(10 * sim::kMillisecond);
  StopAndDrain(in);

  const ULONG outStart = out.urb()->UrbIsochronousTransfer.StartFrame;
  uint64_t framesBeforeOut = 0, index = 0, found = UINT64_MAX;
  for (const auto& completion : in.completions()) {
    ASSERT_EQ(completion.status, STATUS_SUCCESS);
    for (size_t k = 0; k < completion.packets.size(); ++k) {
      const auto& packet = completion.packets[k];
      // Signed distance, so the 32-bit frame counter may wrap.
      if (static_cast<int32_t>(completion.startFrame - outStart) < 0) framesBeforeOut += packet.Length / kInFrameBytes;
      for (ULONG f = 0; f < packet.Length / kInFrameBytes; ++f, ++index) {
        float sample;
        std::memcpy(&sample, completion.data.data() + packet.Offset + f * kInFrameBytes, sizeof sample);
        if (sample != 0.0f && found == UINT64_MAX) found = index;
      }
    }
  }
  ASSERT_NE(found, UINT64_MAX);
  EXPECT_EQ(found - framesBeforeOut, 97u);
}

TEST_F(StreamingTest, MidiSentToAnEchoingUnitComesBack) {
  sim::usb::Device& device = AttachConfigured();
  device.unit().SetMidiEcho();
  RawTransfer read(device.pdo(), sizeof(URB), kMidiMaxPacket);
  read.PrepareBulk(pipes.midiIn, kMidiMaxPacket, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  ASSERT_EQ(read.Submit(), STATUS_PENDING);
  machine.RunFor(5 * sim::kMillisecond);
  EXPECT_FALSE(read.completed());  // nothing to read: it waits

  const uint8_t events[] = {0x09, 0x90, 0x3C, 0x64, 0x08, 0x80, 0x3C, 0x00, 0x0B, 0xB0, 0x07, 0x7F};
  RawTransfer write(device.pdo(), sizeof(URB), sizeof events);
  std::memcpy(write.buffer(), events, sizeof events);
  write.PrepareBulk(pipes.midiOut, sizeof events, 0);
  ASSERT_EQ(write.Submit(), STATUS_PENDING);
  ASSERT_TRUE(WaitFor(write));
  ASSERT_TRUE(WaitFor(read));
  EXPECT_EQ(write.status(), STATUS_SUCCESS);
  EXPECT_EQ(read.status(), STATUS_SUCCESS);
  ASSERT_EQ(read.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, sizeof events);
  EXPECT_EQ(std::memcmp(read.buffer(), events, sizeof events), 0);
  EXPECT_EQ(device.unit().ReceivedMidi().size(), 3u);
}

TEST_F(StreamingTest, CancellingAPendingTransferCompletesItAsCancelled) {
  PDEVICE_OBJECT pdo = AttachConfigured().pdo();
  RawTransfer read(pdo, sizeof(URB), kMidiMaxPacket);
  read.PrepareBulk(pipes.midiIn, kMidiMaxPacket, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  RawTransfer iso(pdo, GET_ISO_URB_SIZE(8), 8 * kIsoInMaxPacket);
  iso.PrepareIso(pipes.isoIn, 8, kIsoInMaxPacket, true);
  for (RawTransfer* transfer : {&read, &iso}) {
    ASSERT_EQ(transfer->Submit(), STATUS_PENDING);
    machine.RunFor(sim::kMillisecond);
    EXPECT_TRUE(IoCancelIrp(transfer->irp()));
    ASSERT_TRUE(transfer->completed());
    EXPECT_EQ(transfer->status(), STATUS_CANCELLED);
    EXPECT_EQ(transfer->urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
  }
}

TEST_F(StreamingTest, AbortPipeCancelsEverythingQueuedOnThePipe) {
  PDEVICE_OBJECT pdo = AttachConfigured().pdo();
  std::vector<std::unique_ptr<RawTransfer>> queued;
  for (int i = 0; i < 3; ++i) {
    queued.push_back(std::make_unique<RawTransfer>(pdo, GET_ISO_URB_SIZE(8), 8 * kIsoInMaxPacket));
    queued.back()->PrepareIso(pipes.isoIn, 8, kIsoInMaxPacket, true);
    ASSERT_EQ(queued.back()->Submit(), STATUS_PENDING);
  }
  URB abort{};
  abort.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
  abort.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
  abort.UrbPipeRequest.PipeHandle = pipes.isoIn;
  EXPECT_EQ(SubmitUrbSync(pdo, &abort), STATUS_SUCCESS);
  for (auto& transfer : queued) {
    ASSERT_TRUE(transfer->completed());
    EXPECT_EQ(transfer->urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
  }
}

TEST_F(StreamingTest, AStalledEndpointFailsTransfersUntilThePipeIsReset) {
  sim::usb::Device& device = AttachConfigured();
  RawTransfer write(device.pdo(), sizeof(URB), 4);
  auto send = [&] {
    write.PrepareBulk(pipes.midiOut, 4, 0);
    write.Submit();
    EXPECT_TRUE(WaitFor(write));
    return write.urb()->UrbHeader.Status;
  };
  device.unit().Stall(kMidiOutEndpoint);
  EXPECT_EQ(send(), USBD_STATUS_STALL_PID);
  EXPECT_EQ(write.status(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(send(), USBD_STATUS_ENDPOINT_HALTED);

  URB reset{};
  reset.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
  reset.UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  reset.UrbPipeRequest.PipeHandle = pipes.midiOut;
  EXPECT_EQ(SubmitUrbSync(device.pdo(), &reset), STATUS_SUCCESS);
  EXPECT_FALSE(device.unit().IsHalted(kMidiOutEndpoint));
  EXPECT_EQ(send(), USBD_STATUS_SUCCESS);
}

TEST_F(StreamingTest, InjectedFaultsShowInPacketAndRequestStatus) {
  sim::usb::Device& device = AttachConfigured();
  RawTransfer failed(device.pdo(), GET_ISO_URB_SIZE(8), 8 * kIsoInMaxPacket);
  RawTransfer dropped(device.pdo(), GET_ISO_URB_SIZE(8), 8 * kIsoInMaxPacket);
  failed.PrepareIso(pipes.isoIn, 8, kIsoInMaxPacket, true);
  dropped.PrepareIso(pipes.isoIn, 8, kIsoInMaxPacket, true);
  device.unit().FailNextTransfers(kIsoInEndpoint, 1);
  failed.Submit();
  dropped.Submit();
  ASSERT_TRUE(WaitFor(failed));
  device.unit().DropNextInPackets(kIsoInEndpoint, 3);  // before the next request's first packet
  ASSERT_TRUE(WaitFor(dropped));

  EXPECT_EQ(failed.status(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(failed.urb()->UrbHeader.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);
  EXPECT_EQ(failed.urb()->UrbIsochronousTransfer.ErrorCount, 8u);

  // Lost packets arrive empty; the request as a whole succeeds.
  const auto& transfer = dropped.urb()->UrbIsochronousTransfer;
  EXPECT_EQ(dropped.status(), STATUS_SUCCESS);
  EXPECT_EQ(transfer.ErrorCount, 3u);
  for (ULONG k = 0; k < 8; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(transfer.IsoPacket[k].Status, k < 3 ? USBD_STATUS_XACT_ERROR : USBD_STATUS_SUCCESS);
    EXPECT_EQ(transfer.IsoPacket[k].Length == 0, k < 3);
  }
}

TEST_F(StreamingTest, UnplugCompletesEveryPendingRequestAndTheDeviceIsSurpriseRemoved) {
  sim::usb::Device& device = AttachConfigured();
  Attach();  // a second unit keeps the client driver loaded
  PDEVICE_OBJECT pdo = device.pdo();
  RawTransfer read(pdo, sizeof(URB), kMidiMaxPacket);
  read.PrepareBulk(pipes.midiIn, kMidiMaxPacket, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
  RawTransfer iso(pdo, GET_ISO_URB_SIZE(8), 8 * kIsoInMaxPacket);
  iso.PrepareIso(pipes.isoIn, 8, kIsoInMaxPacket, true);
  ASSERT_EQ(read.Submit(), STATUS_PENDING);
  ASSERT_EQ(iso.Submit(), STATUS_PENDING);

  device.Unplug();
  for (RawTransfer* transfer : {&read, &iso}) {
    ASSERT_TRUE(transfer->completed());
    EXPECT_EQ(transfer->status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(transfer->urb()->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  }
  EXPECT_EQ(g_rawClient.surpriseRemovals, 1);
  EXPECT_EQ(sim::PnpManager::Of(machine).FindNode(pdo)->state, sim::PnpManager::NodeState::Removed);
  EXPECT_FALSE(device.connected());
  EXPECT_EQ(device.pdo(), nullptr);
}

}  // namespace
