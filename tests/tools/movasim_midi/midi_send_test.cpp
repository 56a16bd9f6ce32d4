// `movasim midi send`: its hex and script input, and what the program
// prints for bytes echoed by the unit or packets the unit plays.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tools/movasim/command.h"
#include "tools/movasim/midi_send.h"

namespace {

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome Movasim(std::vector<std::string> args) {
  args.insert(args.begin(), "movasim");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int status = movasim::Main(int(argv.size()), argv.data());
  std::fflush(stdout);
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  return {status, out, err};
}

TEST(MidiHexBytes, OneByteInHexPerText) {
  std::string error;
  auto bytes = movasim::ParseHexBytes({"90", "3c", "0x7F", "0XfF", "0", "00"}, &error);
  ASSERT_TRUE(bytes) << error;
  EXPECT_EQ(*bytes, (std::vector<uint8_t>{0x90, 0x3C, 0x7F, 0xFF, 0x00, 0x00}));

  for (const char* bad : {"", "100", "G0", "0x", "-1", "9 0", "0x100"}) {
    EXPECT_FALSE(movasim::ParseHexBytes({"90", bad}, &error)) << bad;
    EXPECT_NE(error.find(std::string("\"") + bad + "\""), std::string::npos) << error;
  }
}

TEST(MidiScript, LinesGiveTimedPackets) {
  std::istringstream text(
      "# a note and its end\n"
      "\n"
      "0 09 90 3C 64\n"
      "  12.5\t08 80 3C 00   # released\n"
      "1000 0F F8 00 00\n");
  std::string error;
  auto script = movasim::ParseMidiScript(text, &error);
  ASSERT_TRUE(script) << error;
  ASSERT_EQ(script->size(), 3u);
  EXPECT_EQ((*script)[0].atMicroseconds, 0u);
  EXPECT_EQ((*script)[1].atMicroseconds, 12'500u);
  EXPECT_EQ((*script)[2].atMicroseconds, 1'000'000u);
  EXPECT_EQ((*script)[1].packet, (sim::unit::MidiPacket{0x08, 0x80, 0x3C, 0x00}));
}

TEST(MidiScript, BadLinesAreNamed) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"0 09 90 3C 64\nsoon 09 90 3C 64\n", "line 2: \"soon\""},
      {"-1 09 90 3C 64\n", "line 1: \"-1\""},
      {"5ms 09 90 3C 64\n", "line 1: \"5ms\""},
      {"0 09 90 3C\n", "line 1: a packet is four bytes, found 3"},
      {"\n\n0 09 90 3C 64 00\n", "line 3: a packet is four bytes, found 5"},
      {"0 09 90 3C 164\n", "line 1: \"164\""},
  };
  for (const Case& c : cases) {
    std::istringstream text(c.text);
    std::string error;
    EXPECT_FALSE(movasim::ParseMidiScript(text, &error)) << c.text;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

TEST(MidiSend, JsonShowsThePacketsOnTheWireAndTheEcho) {
  struct Case {
    std::vector<std::string> bytes;
    const char* json;
  } cases[] = {
      {{"90", "3C", "64", "3C", "00"},
       R"({"sent": "90 3C 64 3C 00", "wire": ["09 90 3C 64", "09 90 3C 00"],
           "received": "90 3C 64 90 3C 00"})"},
      {{"F0", "7E", "7F", "09", "01", "F7"},
       R"({"sent": "F0 7E 7F 09 01 F7", "wire": ["04 F0 7E 7F", "07 09 01 F7"],
           "received": "F0 7E 7F 09 01 F7"})"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"midi", "send"};
    args.insert(args.end(), c.bytes.begin(), c.bytes.end());
    args.push_back("--json");
    Outcome run = Movasim(args);
    ASSERT_EQ(run.status, movasim::kExitOk) << run.err;
    EXPECT_EQ(nlohmann::json::parse(run.out), nlohmann::json::parse(c.json)) << run.out;
  }
}

TEST(MidiSend, TextNamesEachPart) {
  Outcome run = Movasim({"midi", "send", "C0", "05", "--unit", "hs"});
  ASSERT_EQ(run.status, movasim::kExitOk) << run.err;
  EXPECT_EQ(run.out, "sent:     C0 05\nwire:     0C C0 05 00\nreceived: C0 05\n");
}

TEST(MidiSend, ScriptPlaysPacketsFromTheUnitInsteadOfTheEcho) {
  std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("midi_script_" + std::to_string(getpid()) + ".txt");
  {
    std::ofstream file(path);
    file << "0 09 90 3C 64\n"
            "2 19 90 3C 64  # another cable\n"
            "4.5 08 80 3C 00\n";
  }
  Outcome run = Movasim({"midi", "send", "B0", "07", "7F", "--script", path.string(), "--json"});
  std::filesystem::remove(path);
  ASSERT_EQ(run.status, movasim::kExitOk) << run.err;
  EXPECT_EQ(nlohmann::json::parse(run.out),
            nlohmann::json::parse(R"({"sent": "B0 07 7F", "wire": ["0B B0 07 7F"],
                                      "received": "90 3C 64 80 3C 00"})"));
}

TEST(MidiSend, RefusesWhatItCannotSend) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;
  } cases[] = {
      {{"midi", "send", "9G"}, movasim::kExitBadOptions, "\"9G\""},
      {{"midi", "send"}, movasim::kExitBadOptions, "nothing to send"},
      {{"midi", "send", "90", "--script", "/nonexistent/script"}, movasim::kExitBadOptions,
       "/nonexistent/script"},
      // A full-speed unit has no MIDI subdevice.
      {{"midi", "send", "90", "3C", "64", "--unit", "fs"}, movasim::kExitNoMidiDevice, "Midi1-1"},
  };
  for (const Case& c : cases) {
    Outcome run = Movasim(c.args);
    EXPECT_EQ(run.status, c.status) << c.args.back();
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "") << c.args.back();
  }
}

}  // namespace
