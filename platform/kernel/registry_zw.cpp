// The configuration manager's system calls: Zw* over the machine's hive.
// PASSIVE_LEVEL only; each call takes the hive lock inside the hive.
#include <wdm.h>

#include <cstring>

#include "platform/kernel/registry_keys.h"
#include "platform/sim/objects.h"
#include "platform/sim/verifier.h"

namespace {

void DeleteKeyObject(PVOID body) { sim::ObjectManager::DestroyBody<sim::cm::KeyObject>(body); }

void CloseKeyObject(PVOID, ULONG, struct _EPROCESS*) {}

_OBJECT_TYPE keyObjectType = {"Key", DeleteKeyObject, CloseKeyObject, KEY_ALL_ACCESS};
POBJECT_TYPE keyObjectTypePointer = &keyObjectType;

}  // namespace

POBJECT_TYPE* CmKeyObjectType = &keyObjectTypePointer;

namespace sim::cm {

Hive& CurrentHive() { return Machine::CurrentChecked().service<Registry>().hive(); }

ACCESS_MASK MapKeyAccess(ACCESS_MASK desired) {
  ACCESS_MASK access = desired & ~ACCESS_MASK(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE |
                                              GENERIC_ALL | MAXIMUM_ALLOWED | KEY_WOW64_RES);
  if (desired & GENERIC_READ) access |= KEY_READ;
  if (desired & GENERIC_WRITE) access |= KEY_WRITE;
  if (desired & GENERIC_EXECUTE) access |= KEY_EXECUTE;
  if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= KEY_ALL_ACCESS;
  return access;
}

NTSTATUS InsertKeyHandle(Hive& hive, const KeyRef& key, ACCESS_MASK desired, bool kernelHandle,
                         HANDLE* handle) {
  ObjectManager& objects = Machine::CurrentChecked().objects();
  KeyObject* object = objects.New<KeyObject>(*CmKeyObjectType, KeyObject{key, &hive});
  NTSTATUS status = objects.CreateHandle(object, MapKeyAccess(desired), kernelHandle, nullptr, handle);
  objects.Dereference(object);  // the handle holds the object now
  return status;
}

NTSTATUS ReferenceKey(HANDLE handle, ACCESS_MASK access, KPROCESSOR_MODE mode, KeyObject** object,
                      ACCESS_MASK* granted) {
  ObjectManager& objects = Machine::CurrentChecked().objects();
  PVOID body = nullptr;
  ACCESS_MASK rights = 0;
  NTSTATUS status = objects.ReferenceByHandle(handle, 0, *CmKeyObjectType, mode, &body, &rights);
  if (!NT_SUCCESS(status)) return status;
  if (mode == UserMode && (rights & access) != access) {
    objects.Dereference(body);
    return STATUS_ACCESS_DENIED;
  }
  *object = static_cast<KeyObject*>(body);
  if (granted) *granted = rights;
  return STATUS_SUCCESS;
}

void DereferenceKey(KeyObject* object) { Machine::CurrentChecked().objects().Dereference(object); }

}  // namespace sim::cm

namespace {

using sim::cm::KeyInfo;
using sim::cm::KeyReference;
using sim::cm::KeyRef;

void RequirePassive(const char* routine, const std::source_location& caller) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql != PASSIVE_LEVEL)
    sim::VerifierFail(sim::rule::kPassiveOnly,
                      std::string(routine) + " called at IRQL " + std::to_string(irql), caller);
}

// A counted name from the caller: even length, a buffer when not empty.
bool ReadName(PCUNICODE_STRING name, std::u16string_view* out) {
  if (name == nullptr) return false;
  if ((name->Length & 1) != 0 || (name->Length != 0 && name->Buffer == nullptr)) return false;
  *out = std::u16string_view(name->Buffer, name->Length / sizeof(WCHAR));
  return true;
}

// What an OBJECT_ATTRIBUTES names: a key to start from and the path below
// it. Absolute names must lie under \REGISTRY.
NTSTATUS ResolveAttributes(POBJECT_ATTRIBUTES attributes, KeyReference* root, KeyRef* base,
                           std::u16string_view* relative) {
  if (attributes == nullptr || !ReadName(attributes->ObjectName, relative))
    return STATUS_INVALID_PARAMETER;
  if (attributes->RootDirectory != nullptr) {
    if (!relative->empty() && relative->front() == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    NTSTATUS status = root->Acquire(attributes->RootDirectory, 0, KernelMode);
    if (!NT_SUCCESS(status)) return status;
    *base = (*root)->key;
    return STATUS_SUCCESS;
  }
  if (relative->empty() || relative->front() != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  std::u16string_view path = relative->substr(1);
  constexpr std::u16string_view kRoot = u"REGISTRY";
  if (path.size() < kRoot.size() || !sim::cm::NamesEqual(path.substr(0, kRoot.size()), kRoot) ||
      (path.size() > kRoot.size() && path[kRoot.size()] != u'\\'))
    return STATUS_OBJECT_PATH_NOT_FOUND;
  *base = sim::cm::CurrentHive().root();
  *relative = path.size() > kRoot.size() ? path.substr(kRoot.size() + 1) : std::u16string_view{};
  return STATUS_SUCCESS;
}

NTSTATUS OpenOrCreate(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES attributes,
                      bool create, ULONG createOptions, PULONG disposition) {
  if (keyHandle == nullptr) return STATUS_INVALID_PARAMETER;
  *keyHandle = nullptr;
  KeyReference root;
  KeyRef base;
  std::u16string_view relative;
  NTSTATUS status = ResolveAttributes(attributes, &root, &base, &relative);
  if (!NT_SUCCESS(status)) return status;
  sim::cm::Hive& hive = sim::cm::CurrentHive();
  KeyRef key;
  ULONG result = REG_OPENED_EXISTING_KEY;
  status = create ? hive.Create(base, relative, createOptions, false, &key, &result)
                  : hive.Open(base, relative, &key);
  if (!NT_SUCCESS(status)) return status;
  bool kernelHandle = (attributes->Attributes & OBJ_KERNEL_HANDLE) != 0;
  status = sim::cm::InsertKeyHandle(hive, key, desiredAccess, kernelHandle, keyHandle);
  if (NT_SUCCESS(status) && disposition) *disposition = result;
  return status;
}

// Writes a variable-length information record: a fixed part of `fixedSize`
// bytes (already laid out in `fixed`) followed by up to two pieces at given
// offsets. Nothing is written when the fixed part does not fit; the pieces
// are cut to the buffer when they do not.
struct Piece {
  ULONG offset;
  const void* bytes;
  ULONG size;
};

NTSTATUS WriteRecord(const void* fixed, ULONG fixedSize, const Piece* pieces, int pieceCount,
                     PVOID buffer, ULONG length, PULONG resultLength) {
  ULONG total = fixedSize;
  for (int i = 0; i < pieceCount; ++i)
    if (pieces[i].offset + pieces[i].size > total) total = pieces[i].offset + pieces[i].size;
  *resultLength = total;
  if (length < fixedSize) return STATUS_BUFFER_TOO_SMALL;
  if (buffer == nullptr) return STATUS_INVALID_PARAMETER;
  auto* out = static_cast<uint8_t*>(buffer);
  memcpy(out, fixed, fixedSize);
  for (int i = 0; i < pieceCount; ++i) {
    if (pieces[i].size == 0 || pieces[i].offset >= length) continue;  // empty data has no bytes to copy
    ULONG room = length - pieces[i].offset;
    memcpy(out + pieces[i].offset, pieces[i].bytes, pieces[i].size < room ? pieces[i].size : room);
  }
  return total > length ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

// A record whose fixed part is followed directly by one piece.
NTSTATUS WriteRecordWithTail(const void* fixed, ULONG fixedSize, const void* tail, ULONG tailSize,
                             PVOID buffer, ULONG length, PULONG resultLength) {
  Piece piece{fixedSize, tail, tailSize};
  return WriteRecord(fixed, fixedSize, &piece, 1, buffer, length, resultLength);
}

ULONG AlignUp(ULONG value, ULONG alignment) { return (value + alignment - 1) & ~(alignment - 1); }

NTSTATUS WriteValueInformation(const sim::RegistryValue& value, KEY_VALUE_INFORMATION_CLASS cls,
                               PVOID buffer, ULONG length, PULONG resultLength) {
  ULONG nameBytes = ULONG(value.name.size() * sizeof(WCHAR));
  ULONG dataBytes = ULONG(value.data.size());
  switch (cls) {
    case KeyValueBasicInformation: {
      KEY_VALUE_BASIC_INFORMATION fixed{0, value.type, nameBytes, {0}};
      return WriteRecordWithTail(&fixed, FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name),
                                 value.name.data(), nameBytes, buffer, length, resultLength);
    }
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
      ULONG fixedSize = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
      ULONG alignment = cls == KeyValueFullInformation ? sizeof(ULONG) : 8;
      ULONG dataOffset = AlignUp(fixedSize + nameBytes, alignment);
      KEY_VALUE_FULL_INFORMATION fixed{0, value.type, dataOffset, dataBytes, nameBytes, {0}};
      Piece pieces[] = {{fixedSize, value.name.data(), nameBytes},
                        {dataOffset, value.data.data(), dataBytes}};
      return WriteRecord(&fixed, fixedSize, pieces, 2, buffer, length, resultLength);
    }
    case KeyValuePartialInformation: {
      KEY_VALUE_PARTIAL_INFORMATION fixed{0, value.type, dataBytes, {0}};
      return WriteRecordWithTail(&fixed, FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data),
                                 value.data.data(), dataBytes, buffer, length, resultLength);
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

constexpr ULONG kNoClass = 0xFFFFFFFF;

NTSTATUS WriteKeyInformation(const KeyInfo& info, KEY_INFORMATION_CLASS cls, PVOID buffer,
                             ULONG length, PULONG resultLength) {
  ULONG nameBytes = ULONG(info.name.size() * sizeof(WCHAR));
  LARGE_INTEGER lastWrite;
  lastWrite.QuadPart = LONGLONG(info.lastWriteTime);
  switch (cls) {
    case KeyBasicInformation: {
      KEY_BASIC_INFORMATION fixed{lastWrite, 0, nameBytes, {0}};
      return WriteRecordWithTail(&fixed, FIELD_OFFSET(KEY_BASIC_INFORMATION, Name),
                                 info.name.data(), nameBytes, buffer, length, resultLength);
    }
    case KeyNodeInformation: {
      KEY_NODE_INFORMATION fixed{lastWrite, 0, kNoClass, 0, nameBytes, {0}};
      return WriteRecordWithTail(&fixed, FIELD_OFFSET(KEY_NODE_INFORMATION, Name),
                                 info.name.data(), nameBytes, buffer, length, resultLength);
    }
    case KeyFullInformation: {
      KEY_FULL_INFORMATION fixed{lastWrite,   0,           kNoClass,
                                 0,           info.subkeys, info.maxSubkeyNameBytes,
                                 0,           info.values,  info.maxValueNameBytes,
                                 info.maxValueDataBytes,    {0}};
      return WriteRecord(&fixed, FIELD_OFFSET(KEY_FULL_INFORMATION, Class), nullptr, 0, buffer,
                         length, resultLength);
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

// The key of an information query, taken with `access`; the query also
// needs somewhere to put the record's size.
NTSTATUS AcquireForQuery(HANDLE handle, ACCESS_MASK access, PULONG resultLength,
                         KeyReference* key) {
  NTSTATUS status = key->Acquire(handle, access, KernelMode);
  if (!NT_SUCCESS(status)) return status;
  return resultLength ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// A value information query: the value `find` looks up in the key's hive,
// written in class `cls`.
template <typename Find>
NTSTATUS QueryValueInformation(HANDLE handle, KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer,
                               ULONG length, PULONG resultLength, Find find) {
  KeyReference key;
  NTSTATUS status = AcquireForQuery(handle, KEY_QUERY_VALUE, resultLength, &key);
  if (!NT_SUCCESS(status)) return status;
  sim::RegistryValue value;
  status = find(*key->hive, key->key, &value);
  if (!NT_SUCCESS(status)) return status;
  return WriteValueInformation(value, cls, buffer, length, resultLength);
}

// The key of a change to one value, taken with `access`, and the value's name.
NTSTATUS AcquireForValue(HANDLE handle, ACCESS_MASK access, PUNICODE_STRING valueName,
                         KeyReference* key, std::u16string_view* name) {
  NTSTATUS status = key->Acquire(handle, access, KernelMode);
  if (!NT_SUCCESS(status)) return status;
  return ReadName(valueName, name) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

}  // namespace

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                     POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex, PUNICODE_STRING Class,
                     ULONG CreateOptions, PULONG Disposition, const std::source_location& Caller) {
  RequirePassive("ZwCreateKey", Caller);
  return OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, true, CreateOptions, Disposition);
}

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                   POBJECT_ATTRIBUTES ObjectAttributes, const std::source_location& Caller) {
  RequirePassive("ZwOpenKey", Caller);
  return OpenOrCreate(KeyHandle, DesiredAccess, ObjectAttributes, false, 0, nullptr);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength,
                         const std::source_location& Caller) {
  RequirePassive("ZwQueryValueKey", Caller);
  return QueryValueInformation(
      KeyHandle, KeyValueInformationClass, KeyValueInformation, Length, ResultLength,
      [ValueName](sim::cm::Hive& hive, const KeyRef& key, sim::RegistryValue* value) {
        std::u16string_view name;
        if (!ReadName(ValueName, &name)) return STATUS_INVALID_PARAMETER;
        return hive.QueryValue(key, name, value);
      });
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize, const std::source_location& Caller) {
  RequirePassive("ZwSetValueKey", Caller);
  KeyReference key;
  std::u16string_view name;
  NTSTATUS status = AcquireForValue(KeyHandle, KEY_SET_VALUE, ValueName, &key, &name);
  if (!NT_SUCCESS(status)) return status;
  return key->hive->SetValue(key->key, name, Type, Data, DataSize);
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                          const std::source_location& Caller) {
  RequirePassive("ZwDeleteValueKey", Caller);
  KeyReference key;
  std::u16string_view name;
  NTSTATUS status = AcquireForValue(KeyHandle, KEY_SET_VALUE, ValueName, &key, &name);
  if (!NT_SUCCESS(status)) return status;
  return key->hive->DeleteValue(key->key, name);
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle, const std::source_location& Caller) {
  RequirePassive("ZwDeleteKey", Caller);
  KeyReference key;
  NTSTATUS status = key.Acquire(KeyHandle, DELETE, KernelMode);
  if (!NT_SUCCESS(status)) return status;
  return key->hive->Delete(key->key);
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength,
                        const std::source_location& Caller) {
  RequirePassive("ZwEnumerateKey", Caller);
  KeyReference key;
  NTSTATUS status = AcquireForQuery(KeyHandle, KEY_ENUMERATE_SUB_KEYS, ResultLength, &key);
  if (!NT_SUCCESS(status)) return status;
  KeyInfo info;
  status = key->hive->EnumerateSubkey(key->key, Index, &info);
  if (!NT_SUCCESS(status)) return status;
  return WriteKeyInformation(info, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                             KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength,
                             const std::source_location& Caller) {
  RequirePassive("ZwEnumerateValueKey", Caller);
  return QueryValueInformation(
      KeyHandle, KeyValueInformationClass, KeyValueInformation, Length, ResultLength,
      [Index](sim::cm::Hive& hive, const KeyRef& key, sim::RegistryValue* value) {
        return hive.EnumerateValue(key, Index, value);
      });
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                    PVOID KeyInformation, ULONG Length, PULONG ResultLength,
                    const std::source_location& Caller) {
  RequirePassive("ZwQueryKey", Caller);
  KeyReference key;
  ACCESS_MASK needed = KeyInformationClass == KeyNameInformation ? 0 : KEY_QUERY_VALUE;
  NTSTATUS status = AcquireForQuery(KeyHandle, needed, ResultLength, &key);
  if (!NT_SUCCESS(status)) return status;
  if (KeyInformationClass == KeyNameInformation) {
    std::u16string path;
    status = key->hive->FullPath(key->key, &path);
    if (!NT_SUCCESS(status)) return status;
    KEY_NAME_INFORMATION fixed{ULONG(path.size() * sizeof(WCHAR)), {0}};
    return WriteRecordWithTail(&fixed, FIELD_OFFSET(KEY_NAME_INFORMATION, Name), path.data(),
                               fixed.NameLength, KeyInformation, Length, ResultLength);
  }
  KeyInfo info;
  status = key->hive->QueryInfo(key->key, &info);
  if (!NT_SUCCESS(status)) return status;
  return WriteKeyInformation(info, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle, const std::source_location& Caller) {
  RequirePassive("ZwFlushKey", Caller);
  // The hive reaches disk only through the machine's SaveRegFile.
  KeyReference key;
  return key.Acquire(KeyHandle, 0, KernelMode);
}
