// One registry key held by the driver: a kernel handle with case-insensitive
// names, closed when the object goes out of scope. Values are read and
// written as 4-byte REG_DWORD data only. PASSIVE_LEVEL only.
#pragma once

#include <wdm.h>

enum REGISTRY_READ {
  RegistryValueFound,
  RegistryValueMissing,     // the key has no value of that name
  RegistryValueUnreadable,  // present but not 4-byte REG_DWORD data, or not queryable
};

class CRegistryKey {
 public:
  CRegistryKey() = default;
  ~CRegistryKey() { Close(); }
  CRegistryKey(const CRegistryKey&) = delete;
  CRegistryKey& operator=(const CRegistryKey&) = delete;

  // An existing key by its full path ("\Registry\Machine\...").
  NTSTATUS Open(PCUNICODE_STRING path);
  // The subkey `name` of `parent`, created non-volatile when missing.
  NTSTATUS OpenOrCreate(const CRegistryKey& parent, PCUNICODE_STRING name);
  BOOLEAN IsOpen() const { return Handle != nullptr; }
  VOID Close();

  // *value is written only when the result is RegistryValueFound.
  REGISTRY_READ QueryDword(PCWSTR name, ULONG* value) const;
  NTSTATUS SetDword(PCWSTR name, ULONG value) const;

 private:
  HANDLE Handle = nullptr;
};
