#include "driver/core/registry_key.h"

namespace {

constexpr ULONG kRegistryQueryTag = 'qRvM';

// Room for the fixed part of the full information, the name and a DWORD
// with slack to spare; longer data overflows and reads as unreadable.
constexpr ULONG kQueryBufferSlack = 44;

constexpr ULONG kKeyAttributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;

}  // namespace

NTSTATUS CRegistryKey::Open(PCUNICODE_STRING path) {
  Close();
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, const_cast<PUNICODE_STRING>(path), kKeyAttributes,
                             nullptr, nullptr);
  NTSTATUS status = ZwOpenKey(&Handle, KEY_ALL_ACCESS, &attributes);
  if (!NT_SUCCESS(status)) Handle = nullptr;
  return status;
}

NTSTATUS CRegistryKey::OpenOrCreate(const CRegistryKey& parent, PCUNICODE_STRING name) {
  Close();
  if (!parent.IsOpen()) return STATUS_INVALID_HANDLE;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, const_cast<PUNICODE_STRING>(name), kKeyAttributes,
                             parent.Handle, nullptr);
  ULONG disposition = 0;
  NTSTATUS status = ZwCreateKey(&Handle, KEY_ALL_ACCESS, &attributes, 0, nullptr,
                                REG_OPTION_NON_VOLATILE, &disposition);
  if (!NT_SUCCESS(status)) Handle = nullptr;
  return status;
}

VOID CRegistryKey::Close() {
  if (Handle == nullptr) return;
  ZwClose(Handle);
  Handle = nullptr;
}

REGISTRY_READ CRegistryKey::QueryDword(PCWSTR name, ULONG* value) const {
  if (!IsOpen()) return RegistryValueUnreadable;
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  const ULONG bufferLength = kQueryBufferSlack + valueName.Length;
  auto* info = static_cast<PKEY_VALUE_FULL_INFORMATION>(
      ExAllocatePool2(POOL_FLAG_NON_PAGED, bufferLength, kRegistryQueryTag));
  if (info == nullptr) return RegistryValueUnreadable;

  REGISTRY_READ result = RegistryValueUnreadable;
  ULONG resultLength = 0;
  NTSTATUS status = ZwQueryValueKey(Handle, &valueName, KeyValueFullInformation, info,
                                    bufferLength, &resultLength);
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
    result = RegistryValueMissing;
  } else if (NT_SUCCESS(status) && info->Type == REG_DWORD && info->DataLength == sizeof(ULONG) &&
             info->DataOffset <= bufferLength - sizeof(ULONG)) {
    RtlCopyMemory(value, reinterpret_cast<const UCHAR*>(info) + info->DataOffset, sizeof(ULONG));
    result = RegistryValueFound;
  }
  ExFreePoolWithTag(info, kRegistryQueryTag);
  return result;
}

NTSTATUS CRegistryKey::SetDword(PCWSTR name, ULONG value) const {
  if (!IsOpen()) return STATUS_INVALID_HANDLE;
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  return ZwSetValueKey(Handle, &valueName, 0, REG_DWORD, &value, sizeof(value));
}
