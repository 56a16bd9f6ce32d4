// A short run captured to pcap and read back by tshark.
#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/platform/usb/bus_fixture.h"

namespace {

using namespace sim::unit;

std::string Shell(const std::string& command, int* exitCode) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char chunk[4096];
  while (size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, n);
  *exitCode = pclose(pipe);
  return output;
}

TEST_F(BusTest, ACapturedRunIsDissectedByTshark) {
  int code = -1;
  Shell("command -v tshark >/dev/null 2>&1", &code);
  if (code != 0) GTEST_SKIP() << "tshark is not installed";

  const std::string path = testing::TempDir() + "usb_bus_capture.pcap";
  ASSERT_TRUE(controller->StartCapture(path));
  sim::usb::Device& device = Attach();
  UnitPipes pipes = Configure(device.pdo());
  const uint8_t events[] = {0x09, 0x90, 0x3C, 0x64};
  RawTransfer write(device.pdo(), sizeof(URB), sizeof events);
  std::memcpy(write.buffer(), events, sizeof events);
  write.PrepareBulk(pipes.midiOut, sizeof events, 0);
  write.Submit();
  RawTransfer in(device.pdo(), GET_ISO_URB_SIZE(8), 8 * kIsoInMaxPacket);
  in.PrepareIso(pipes.isoIn, 8, kIsoInMaxPacket, true);
  in.Submit();
  ASSERT_TRUE(WaitFor(write));
  ASSERT_TRUE(WaitFor(in));
  controller->StopCapture();

  const std::string text = Shell("tshark -r '" + path + "' -V -x 2>&1", &code);
  EXPECT_EQ(code, 0) << text;
  EXPECT_EQ(text.find("Malformed"), std::string::npos) << text;
  EXPECT_NE(text.find("CONFIGURATION DESCRIPTOR"), std::string::npos);
  EXPECT_NE(text.find("URB_ISOCHRONOUS"), std::string::npos);
  // The MIDI bulk payload, bytes and meaning.
  EXPECT_NE(text.find("09 90 3c 64"), std::string::npos);
  EXPECT_NE(text.find("Note-on"), std::string::npos);
  std::filesystem::remove(path);
}

}  // namespace
