// The hive as a .reg file: what regedit would write, what it reads back,
// how a malformed file is refused, and that a failed save loses nothing.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "tests/platform/registry/registry_test_support.h"
#include "tests/support/files.h"

namespace {

using namespace registry_test;
using test_support::ReadFileBytes;
using test_support::WriteFileBytes;

// The text of a UTF-16LE file with its byte-order mark, as UTF-8.
std::string Utf16FileText(const std::string& bytes) {
  EXPECT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  std::u16string text((bytes.size() - 2) / 2, u'\0');
  memcpy(text.data(), bytes.data() + 2, text.size() * 2);
  return sim::Utf16ToUtf8(text);
}

std::string Utf16FileBytes(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  bytes.append(reinterpret_cast<const char*>(text.data()), text.size() * 2);
  return bytes;
}

class TempDirectory {
 public:
  TempDirectory() {
    std::string pattern = ::testing::TempDir() + "/regfile-XXXXXX";
    path_ = mkdtemp(pattern.data());
  }
  ~TempDirectory() {
    chmod(path_.c_str(), 0755);
    for (const std::string& name : Entries()) unlink((path_ + "/" + name).c_str());
    rmdir(path_.c_str());
  }
  const std::string& path() const { return path_; }
  std::string File(const char* name) const { return path_ + "/" + name; }
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    if (DIR* dir = opendir(path_.c_str())) {
      while (dirent* entry = readdir(dir))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
      closedir(dir);
    }
    return names;
  }

 private:
  std::string path_;
};

// A hive with every kind of value the package stores, and names in more
// than ASCII.
void Populate(sim::Registry& registry) {
  const std::string service = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Movakern\\Parameters";
  registry.WriteDword(service + "\\Common", "BufSize2", 5);
  registry.WriteDword(service + "\\Common", "As44", 100);
  registry.WriteDword(service + "\\Device0", "DrvFreq", 48000);
  registry.CreateKey(service + "\\Device1");  // empty keys survive too
  registry.WriteString("HKCR\\CLSID\\{5B3D9F20-71C4-4e8a-B612-93F0A7D1C2E8}", "", u"Tarvik ASIO");
  registry.WriteString("HKCR\\CLSID\\{5B3D9F20-71C4-4e8a-B612-93F0A7D1C2E8}\\InprocServer32", "",
                       u"C:\\Windows\\system32\\Movlink6.dll");
  registry.WriteString("HKLM\\SOFTWARE\\Größe\\Звук", "Ключ \"quoted\"", u"значение ♪ \\ end");
  registry.WriteValue("HKLM\\SOFTWARE\\Größe", "Liste", REG_MULTI_SZ, MultiString({u"eins", u"zwei", u"drei"}));
  std::vector<uint8_t> blob(100);
  for (size_t i = 0; i < blob.size(); ++i) blob[i] = uint8_t(i * 7);
  registry.WriteValue("HKLM\\SOFTWARE\\Größe", "Blob", REG_BINARY, blob);
  registry.WriteValue("HKLM\\SOFTWARE\\Größe", "Empty", REG_BINARY, {});
  registry.WriteValue("HKLM\\SOFTWARE\\Größe", "Expand", REG_EXPAND_SZ, Utf16Bytes(u"%SystemRoot%"));
  registry.WriteValue("HKLM\\SOFTWARE\\Größe", "Quad", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
  // Strings that "..." cannot carry faithfully: no terminator, a line break.
  registry.WriteValue("HKLM\\SOFTWARE\\Größe", "Unterminated", REG_SZ, Utf16Bytes(u"ab", false));
  registry.WriteValue("HKLM\\SOFTWARE\\Größe", "Lines", REG_SZ, Utf16Bytes(u"one\r\ntwo"));
}

TEST(RegFile, SavedHiveLoadsBackTheSame) {
  TempDirectory dir;
  std::string saved;
  {
    sim::Machine machine;
    sim::Registry& registry = machine.service<sim::Registry>();
    Populate(registry);
    sim::RegFileResult result = registry.SaveRegFile(dir.File("hive.reg"));
    ASSERT_TRUE(result) << result.message;
    saved = ReadFileBytes(dir.File("hive.reg"));
    EXPECT_EQ(saved, registry.SaveRegText());
  }
  sim::Machine machine;
  sim::Registry& registry = machine.service<sim::Registry>();
  sim::RegFileResult result = registry.LoadRegFile(dir.File("hive.reg"));
  ASSERT_TRUE(result) << result.message;
  EXPECT_EQ(registry.SaveRegText(), saved);
  EXPECT_EQ(registry.ReadDword("HKLM\\SYSTEM\\CurrentControlSet\\Services\\Movakern\\Parameters\\Device0", "DrvFreq"),
            48000u);
  EXPECT_TRUE(registry.KeyExists("HKLM\\SYSTEM\\CurrentControlSet\\Services\\Movakern\\Parameters\\Device1"));
  EXPECT_EQ(registry.ReadString("HKLM\\SOFTWARE\\Größe\\Звук", "Ключ \"quoted\""), u"значение ♪ \\ end");
  auto value = [&](const char* name) { return registry.ReadValue("HKLM\\SOFTWARE\\Größe", name); };
  EXPECT_EQ(value("Liste")->type, ULONG(REG_MULTI_SZ));
  EXPECT_EQ(value("Liste")->data, MultiString({u"eins", u"zwei", u"drei"}));
  EXPECT_EQ(value("Blob")->data.size(), 100u);
  EXPECT_EQ(value("Blob")->data[99], uint8_t(99 * 7));
  EXPECT_TRUE(value("Empty")->data.empty());
  EXPECT_EQ(value("Expand")->type, ULONG(REG_EXPAND_SZ));
  EXPECT_EQ(value("Quad")->type, ULONG(REG_QWORD));
  EXPECT_EQ(value("Unterminated")->data, Utf16Bytes(u"ab", false));
  EXPECT_EQ(value("Lines")->data, Utf16Bytes(u"one\r\ntwo"));
}

TEST(RegFile, WrittenAsRegeditWritesIt) {
  sim::Machine machine;
  sim::Registry& registry = machine.service<sim::Registry>();
  Populate(registry);
  std::string text = Utf16FileText(registry.SaveRegText());
  const char* expectedLines[] = {
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n\r\n",
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{5B3D9F20-71C4-4e8a-B612-93F0A7D1C2E8}]\r\n"
      "@=\"Tarvik ASIO\"\r\n\r\n",
      "@=\"C:\\\\Windows\\\\system32\\\\Movlink6.dll\"\r\n",
      "\"BufSize2\"=dword:00000005\r\n\"As44\"=dword:00000064\r\n",
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Größe\\Звук]\r\n\"Ключ \\\"quoted\\\"\"=\"значение ♪ \\\\ end\"\r\n",
      "\"Liste\"=hex(7):65,00,69,00,6e,00,73,00,00,00,7a,00,77,00,65,00,69,00,00,00,64,\\\r\n"
      "  00,72,00,65,00,69,00,00,00,00,00\r\n",
      "\"Empty\"=hex:\r\n",
      "\"Expand\"=hex(2):25,00,",
      "\"Quad\"=hex(b):01,02,03,04,05,06,07,08\r\n",
      "\"Unterminated\"=hex(1):61,00,62,00\r\n",
      "\"Blob\"=hex:00,07,0e,15,",
  };
  for (const char* expected : expectedLines) EXPECT_NE(text.find(expected), std::string::npos) << expected;
  // Long hex data wraps within 80 columns with a trailing backslash.
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find("hex") != std::string::npos || line.starts_with("  ")) {
      EXPECT_LE(line.size(), 80u) << line;
    }
  }
}

TEST(RegFile, ReadsHandWrittenUtf8WithDeletionsAndContinuations) {
  sim::Machine machine;
  sim::Registry& registry = machine.service<sim::Registry>();
  registry.WriteDword("HKLM\\SOFTWARE\\Old", "x", 1);
  registry.WriteDword("HKLM\\SOFTWARE\\Keep", "gone", 1);
  const std::string file =
      "\xEF\xBB\xBF"
      "Windows Registry Editor Version 5.00\n"
      "\n"
      "; settings of the unit\n"
      "[HKEY_CLASSES_ROOT\\CLSID\\{7E2F4A91-3B6D-4a5e-9C07-D4B1E8F2A063}\\Movident]\n"
      "@=\"C:\\\\Program Files\\\\Tarvik\"\n"
      "\"As48\"=dword:61\n"
      "\"Bytes\"=hex:01,02,\\\n"
      "   03,04\n"
      "\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Keep]\n"
      "\"gone\"=-\n"
      "\"Größe\"=\"ß\"\n";
  sim::RegFileResult result = registry.LoadRegText(file);
  ASSERT_TRUE(result) << result.line << ": " << result.message;
  const char* movident = "HKLM\\SOFTWARE\\Classes\\CLSID\\{7E2F4A91-3B6D-4a5e-9C07-D4B1E8F2A063}\\Movident";
  EXPECT_EQ(registry.ReadString(movident, ""), u"C:\\Program Files\\Tarvik");
  EXPECT_EQ(registry.ReadDword(movident, "As48"), 0x61u);
  EXPECT_EQ(registry.ReadValue(movident, "Bytes")->data, (std::vector<uint8_t>{1, 2, 3, 4}));
  EXPECT_FALSE(registry.KeyExists("HKLM\\SOFTWARE\\Old"));
  EXPECT_FALSE(registry.ReadValue("HKLM\\SOFTWARE\\Keep", "gone"));
  EXPECT_EQ(registry.ReadString("HKLM\\SOFTWARE\\Keep", "größe"), u"ß");
}

TEST(RegFile, MalformedFileIsRefusedAtItsLineAndChangesNothing) {
  const std::string header = "Windows Registry Editor Version 5.00\r\n\r\n";
  struct {
    std::string text;
    int line;
  } cases[] = {
      {"", 1},
      {"REGEDIT4\r\n", 1},
      {header + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=dword:123456789\r\n", 4},
      {header + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=dword:xyz\r\n", 4},
      {header + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v=\"x\"\r\n", 4},
      {header + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=\"unclosed\r\n", 4},
      {header + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=\"bad \\q escape\"\r\n", 4},
      {header + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=word:1\r\n", 4},
      {header + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=hex:01,02,\\\r\n  03,zz\r\n", 5},
      {header + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=hex:01,,02\r\n", 4},
      {header + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=hex:01,\\\r\n", 4},
      {header + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=hex(q):01\r\n", 4},
      {header + "\"v\"=dword:1\r\n", 3},
      {header + "[HKEY_CURRENT_USER\\Software]\r\n", 3},
      {header + "[HKEY_LOCAL_MACHINE\\A\r\n", 3},
      {header + "[HKEY_LOCAL_MACHINE\\A\\\\B]\r\n", 3},
      {header + "[-HKEY_LOCAL_MACHINE]\r\n", 3},
      {header + "[-HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=dword:1\r\n", 4},
      {header + "[HKEY_LOCAL_MACHINE\\A]\r\n\"v\"=\"ok\"\r\n\r\n\"w\"=\"\xC3\x28\"\r\n", 6},  // bad UTF-8
  };
  sim::Machine machine;
  sim::Registry& registry = machine.service<sim::Registry>();
  registry.WriteDword("HKLM\\SOFTWARE\\Before", "x", 1);
  const std::string before = registry.SaveRegText();
  for (const auto& c : cases) {
    sim::RegFileResult result = registry.LoadRegText(c.text);
    EXPECT_FALSE(result) << c.text;
    EXPECT_EQ(result.line, c.line) << c.text << " -> " << result.message;
    EXPECT_FALSE(result.message.empty());
    EXPECT_EQ(registry.SaveRegText(), before) << c.text;
  }
  // UTF-16 that ends inside a character, on its second line.
  std::string odd = Utf16FileBytes(u"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\A]") + "x";
  EXPECT_EQ(registry.LoadRegText(odd).line, 2);
  EXPECT_FALSE(registry.KeyExists("HKLM\\A"));
}

TEST(RegFile, RefusedFileLeavesAFreshMachineEmptyAndNamesTheLine) {
  TempDirectory dir;
  WriteFileBytes(dir.File("bad.reg"),
            Utf16FileBytes(u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\A]\r\n"
                           u"\"ok\"=dword:00000001\r\n\"broken\"=dword:\r\n"));
  sim::Machine machine;
  sim::Registry& registry = machine.service<sim::Registry>();
  sim::RegFileResult result = registry.LoadRegFile(dir.File("bad.reg"));
  EXPECT_FALSE(result);
  EXPECT_EQ(result.line, 5);
  EXPECT_NE(result.message.find("bad.reg:5:"), std::string::npos) << result.message;
  EXPECT_TRUE(registry.SubkeyNames("HKLM").empty());
  EXPECT_FALSE(registry.LoadRegFile(dir.File("missing.reg")));
}

TEST(RegFile, VolatileKeysAreNotSaved) {
  sim::Machine machine;
  sim::Registry& registry = machine.service<sim::Registry>();
  registry.CreateKey("HKLM\\SYSTEM");
  HANDLE system = nullptr, runtime = nullptr, below = nullptr;
  ASSERT_EQ(ZwOpen(u"\\Registry\\Machine\\SYSTEM", &system), STATUS_SUCCESS);
  ASSERT_EQ(ZwCreate(u"Runtime", &runtime, system, nullptr, REG_OPTION_VOLATILE), STATUS_SUCCESS);
  EXPECT_EQ(ZwCreate(u"Stored", &below, runtime), STATUS_CHILD_MUST_BE_VOLATILE);
  ASSERT_EQ(ZwSetDword(runtime, u"x", 1), STATUS_SUCCESS);
  std::string text = Utf16FileText(registry.SaveRegText());
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SYSTEM]"), std::string::npos);
  EXPECT_EQ(text.find("Runtime"), std::string::npos);
  EXPECT_EQ(ZwClose(runtime), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(system), STATUS_SUCCESS);
}

TEST(RegFile, FailedSaveLeavesTheOldFileIntact) {
  TempDirectory dir;
  const std::string path = dir.File("hive.reg");
  sim::Machine machine;
  sim::Registry& registry = machine.service<sim::Registry>();
  registry.WriteDword("HKLM\\SOFTWARE\\Tarvik", "BufSize2", 5);
  ASSERT_TRUE(registry.SaveRegFile(path));
  const std::string old = ReadFileBytes(path);
  registry.WriteDword("HKLM\\SOFTWARE\\Tarvik", "BufSize2", 7);

  using Step = sim::Registry::SaveStep;
  for (Step step : {Step::CreateTemporary, Step::Write, Step::Flush, Step::Rename}) {
    registry.FailNextSave(step);
    sim::RegFileResult result = registry.SaveRegFile(path);
    EXPECT_FALSE(result) << int(step);
    EXPECT_FALSE(result.message.empty());
    EXPECT_EQ(ReadFileBytes(path), old) << int(step);
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"hive.reg"}) << "temporary file left behind";
  }
  // The injection is used up; the next save goes through.
  ASSERT_TRUE(registry.SaveRegFile(path));
  EXPECT_NE(ReadFileBytes(path), old);
}

TEST(RegFile, SaveIntoAnUnwritableDirectoryFailsWithoutTouchingIt) {
  TempDirectory dir;
  sim::Machine machine;
  sim::Registry& registry = machine.service<sim::Registry>();
  registry.WriteDword("HKLM\\SOFTWARE\\Tarvik", "BufSize2", 5);
  EXPECT_FALSE(registry.SaveRegFile(dir.File("no-such-dir/hive.reg")));
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  const std::string path = dir.File("hive.reg");
  ASSERT_TRUE(registry.SaveRegFile(path));
  const std::string old = ReadFileBytes(path);
  registry.WriteDword("HKLM\\SOFTWARE\\Tarvik", "BufSize2", 7);
  chmod(dir.path().c_str(), 0555);
  EXPECT_FALSE(registry.SaveRegFile(path));
  chmod(dir.path().c_str(), 0755);
  EXPECT_EQ(ReadFileBytes(path), old);
}

}  // namespace
