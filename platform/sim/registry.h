// The machine's registry hive as a per-machine service: one tree of keys
// behind \Registry\Machine, shared by the kernel's Zw* calls and user mode's
// Reg* calls, loaded from and saved to a text file in the .reg format.
//
// Reach it with machine.service<sim::Registry>(). Tests use the path-based
// accessors below to seed and inspect the hive without handles.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nt/regtypes.h>

#include "platform/sim/machine.h"

namespace sim {

namespace cm {
class Hive;
}

struct RegistryValue {
  std::u16string name;  // empty for the default value
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};

// Outcome of loading or saving a .reg file. `line` is the 1-based line at
// which reading stopped (0 when the failure is not about a line).
struct RegFileResult {
  bool ok = true;
  int line = 0;
  std::string message;
  explicit operator bool() const { return ok; }
};

class Registry : public Service {
 public:
  explicit Registry(Machine& machine);
  ~Registry() override;

  // Merges a .reg file (UTF-16LE with byte-order mark, or UTF-8) into the
  // hive, all or nothing: a malformed file changes nothing.
  RegFileResult LoadRegFile(const std::string& path);
  RegFileResult LoadRegText(std::string_view fileBytes);
  // Writes the non-volatile keys as regedit does (UTF-16LE, byte-order mark,
  // CRLF), atomically: a temporary file in the same directory is written,
  // flushed to disk and renamed over `path`, so the old file survives any
  // failure before the rename.
  RegFileResult SaveRegFile(const std::string& path);
  std::string SaveRegText() const;  // the bytes SaveRegFile writes

  // Failure injection for the next save, at one of its steps.
  enum class SaveStep { CreateTemporary, Write, Flush, Rename };
  void FailNextSave(SaveStep step);

  // Path-based access. Key paths are UTF-8 and take the roots a .reg file
  // uses ("HKEY_LOCAL_MACHINE\\SOFTWARE\\...", "HKLM\\...",
  // "HKEY_CLASSES_ROOT\\...") or the kernel's ("\\Registry\\Machine\\...").
  bool KeyExists(std::string_view keyPath) const;
  std::optional<RegistryValue> ReadValue(std::string_view keyPath,
                                         std::string_view valueName) const;
  std::optional<DWORD> ReadDword(std::string_view keyPath, std::string_view valueName) const;
  // REG_SZ / REG_EXPAND_SZ data without its terminator.
  std::optional<std::u16string> ReadString(std::string_view keyPath,
                                           std::string_view valueName) const;
  std::vector<std::u16string> SubkeyNames(std::string_view keyPath) const;
  // Every value of the key, in order of creation; empty when it does not exist.
  std::vector<RegistryValue> Values(std::string_view keyPath) const;
  // Create the key and any missing parents.
  void CreateKey(std::string_view keyPath);
  void WriteValue(std::string_view keyPath, std::string_view valueName, ULONG type,
                  std::vector<uint8_t> data);
  void WriteDword(std::string_view keyPath, std::string_view valueName, DWORD value);
  void WriteString(std::string_view keyPath, std::string_view valueName,
                   std::u16string_view value);
  // Removes every key below \Registry\Machine.
  void Clear();

  cm::Hive& hive() { return *hive_; }

 private:
  std::unique_ptr<cm::Hive> hive_;
  std::mutex saveLock_;  // one save at a time; guards failNextSave_
  std::optional<SaveStep> failNextSave_;
};

// Text conversions between UTF-8 and UTF-16. Bytes that are not UTF-8 and
// unpaired surrogates become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace sim
