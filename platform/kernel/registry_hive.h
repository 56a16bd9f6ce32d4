// The key tree behind sim::Registry, with the operations the Zw* and Reg*
// layers share. Paths here are relative to a base key, components separated
// by one backslash; names compare without regard to case, as the
// configuration manager does whatever the caller's attributes say.
//
// Lock: one mutex per hive, taken by every public operation and never held
// across a call out of this class.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <wdm.h>

#include "platform/sim/registry.h"

namespace sim::cm {

constexpr size_t kMaxKeyNameChars = 255;
constexpr size_t kMaxValueNameChars = 16383;

struct Key {
  std::u16string name;
  Key* parent = nullptr;                     // null for the root and once deleted
  std::vector<std::shared_ptr<Key>> subkeys;  // sorted by upcased name
  std::vector<RegistryValue> values;         // in order of creation
  bool isVolatile = false;
  bool deleted = false;
  uint64_t lastWriteTime = 0;  // system time, 100-ns units since 1601
};
using KeyRef = std::shared_ptr<Key>;

struct KeyInfo {
  std::u16string name;
  uint64_t lastWriteTime = 0;
  ULONG subkeys = 0;
  ULONG maxSubkeyNameBytes = 0;
  ULONG values = 0;
  ULONG maxValueNameBytes = 0;
  ULONG maxValueDataBytes = 0;
};

// Case-insensitive comparison of two names, as the registry orders them.
int CompareNames(std::u16string_view a, std::u16string_view b);
bool NamesEqual(std::u16string_view a, std::u16string_view b);

// Names with a line break are refused: the .reg file could not hold them.
bool HasLineBreak(std::u16string_view name);

// Splits a path into its components; false when a component is empty,
// longer than a key name may be, or holds a line break.
bool SplitPath(std::u16string_view path, std::vector<std::u16string_view>* components);

class Hive {
 public:
  Hive();
  ~Hive();

  // "\REGISTRY" and "\REGISTRY\MACHINE"; neither can be deleted.
  KeyRef root() const { return root_; }
  KeyRef machine() const { return machine_; }

  NTSTATUS Open(const KeyRef& base, std::u16string_view path, KeyRef* result);
  // Creates the last component of `path`; with `createParents` (the Win32
  // behaviour) also the missing keys on the way, otherwise those fail with
  // STATUS_OBJECT_NAME_NOT_FOUND as in the kernel.
  NTSTATUS Create(const KeyRef& base, std::u16string_view path, ULONG options,
                  bool createParents, KeyRef* result, ULONG* disposition);
  NTSTATUS Delete(const KeyRef& key);

  NTSTATUS SetValue(const KeyRef& key, std::u16string_view name, ULONG type, const void* data,
                    size_t size);
  NTSTATUS QueryValue(const KeyRef& key, std::u16string_view name, RegistryValue* value);
  NTSTATUS DeleteValue(const KeyRef& key, std::u16string_view name);
  // Describes the index-th subkey, in the registry's (case-blind) name order.
  NTSTATUS EnumerateSubkey(const KeyRef& key, ULONG index, KeyInfo* info);
  NTSTATUS EnumerateValue(const KeyRef& key, ULONG index, RegistryValue* value);
  NTSTATUS QueryInfo(const KeyRef& key, KeyInfo* info);
  // "\REGISTRY\MACHINE\..." as stored (letter case of creation).
  NTSTATUS FullPath(const KeyRef& key, std::u16string* path);

  // Removes every key below \REGISTRY\MACHINE.
  void Clear();

  // Resolves a path that names its root the way .reg files and tests do:
  // HKEY_LOCAL_MACHINE (or HKLM), HKEY_CLASSES_ROOT (or HKCR, which is
  // HKLM\SOFTWARE\Classes) or \Registry\Machine. Gives \REGISTRY\MACHINE
  // and the path below it; false for any other root.
  bool ResolveRooted(std::u16string_view path, KeyRef* base, std::u16string* relative) const;

  // For the file layer: runs `visit` under the lock.
  template <typename F>
  auto WithLock(F&& visit) {
    std::lock_guard<std::mutex> guard(lock_);
    return visit();
  }
  // Unlocked forms, for callers inside WithLock.
  KeyRef FindLocked(const KeyRef& base, const std::vector<std::u16string_view>& components) const;
  KeyRef CreatePathLocked(const KeyRef& base, const std::vector<std::u16string_view>& components,
                          bool isVolatile);
  void SetValueLocked(Key& key, std::u16string_view name, ULONG type, const void* data,
                      size_t size);
  bool DeleteValueLocked(Key& key, std::u16string_view name);
  // Deletes a key and everything below it.
  void DeleteTreeLocked(const KeyRef& key);

 private:
  static KeyRef FindSubkey(const Key& key, std::u16string_view name);
  static void DescribeLocked(const Key& key, KeyInfo* info);
  static void Touch(Key& key);
  KeyRef AddSubkeyLocked(const KeyRef& parent, std::u16string_view name, bool isVolatile);
  void DetachLocked(const KeyRef& key);

  std::mutex lock_;
  KeyRef root_;
  KeyRef machine_;
};

}  // namespace sim::cm
