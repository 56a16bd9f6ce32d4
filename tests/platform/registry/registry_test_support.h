// Helpers shared by the registry tests: kernel-side key access by path.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/registry.h"

namespace registry_test {

// Creates (or opens) one key as a kernel handle, relative to `root` when given.
inline NTSTATUS ZwCreate(const char16_t* path, HANDLE* handle, HANDLE root = nullptr,
                         ULONG* disposition = nullptr, ULONG options = REG_OPTION_NON_VOLATILE) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                             nullptr);
  return ZwCreateKey(handle, KEY_ALL_ACCESS, &attributes, 0, nullptr, options, disposition);
}

inline NTSTATUS ZwOpen(const char16_t* path, HANDLE* handle, HANDLE root = nullptr) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root,
                             nullptr);
  return ZwOpenKey(handle, KEY_ALL_ACCESS, &attributes);
}

inline NTSTATUS ZwSet(HANDLE key, const char16_t* valueName, ULONG type, const void* data,
                      ULONG size) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, valueName);
  return ZwSetValueKey(key, &name, 0, type, const_cast<void*>(data), size);
}

inline NTSTATUS ZwSetDword(HANDLE key, const char16_t* valueName, ULONG value) {
  return ZwSet(key, valueName, REG_DWORD, &value, sizeof(value));
}

inline std::vector<uint8_t> Utf16Bytes(std::u16string_view text, bool terminate = true) {
  std::vector<uint8_t> bytes((text.size() + (terminate ? 1 : 0)) * 2, 0);
  memcpy(bytes.data(), text.data(), text.size() * 2);
  return bytes;
}

// The data of REG_MULTI_SZ: each string terminated, then one more terminator.
inline std::vector<uint8_t> MultiString(std::initializer_list<std::u16string_view> items) {
  std::u16string all;
  for (auto item : items) {
    all.append(item);
    all.push_back(u'\0');
  }
  return Utf16Bytes(all);
}

}  // namespace registry_test
