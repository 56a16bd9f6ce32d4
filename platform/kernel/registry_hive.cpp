// The key tree of a machine's registry and the path-based front that tests
// and tools use.
#include "platform/kernel/registry_hive.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include <nt/rtlstring.h>

namespace sim::cm {

namespace {

uint64_t SystemTimeNow() {
  // 100-ns units since 1601-01-01, as FILETIME counts.
  constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;
  auto sinceUnix = std::chrono::system_clock::now().time_since_epoch();
  return kUnixEpochAsFileTime +
         uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(sinceUnix).count() / 100);
}

bool StartsWithComponent(std::u16string_view path, std::u16string_view prefix,
                         std::u16string_view* rest) {
  if (path.size() < prefix.size() || !NamesEqual(path.substr(0, prefix.size()), prefix))
    return false;
  if (path.size() == prefix.size()) {
    *rest = {};
    return true;
  }
  if (path[prefix.size()] != u'\\') return false;
  *rest = path.substr(prefix.size() + 1);
  return true;
}

}  // namespace

bool HasLineBreak(std::u16string_view name) {
  return name.find_first_of(u"\r\n") != std::u16string_view::npos;
}

int CompareNames(std::u16string_view a, std::u16string_view b) {
  return RtlCompareUnicodeStrings(a.data(), a.size(), b.data(), b.size(), TRUE);
}

bool NamesEqual(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && CompareNames(a, b) == 0;
}

bool SplitPath(std::u16string_view path, std::vector<std::u16string_view>* components) {
  components->clear();
  if (path.empty()) return true;
  size_t start = 0;
  for (;;) {
    size_t end = path.find(u'\\', start);
    std::u16string_view part =
        path.substr(start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start);
    if (part.empty() || part.size() > kMaxKeyNameChars || HasLineBreak(part)) return false;
    components->push_back(part);
    if (end == std::u16string_view::npos) return true;
    start = end + 1;
  }
}

Hive::Hive() {
  root_ = std::make_shared<Key>();
  root_->name = u"REGISTRY";
  root_->lastWriteTime = SystemTimeNow();
  machine_ = AddSubkeyLocked(root_, u"MACHINE", false);
}

Hive::~Hive() {
  std::lock_guard<std::mutex> guard(lock_);
  // Keys held by open handles outlive the tree; cut them loose.
  DeleteTreeLocked(root_);
}

KeyRef Hive::FindSubkey(const Key& key, std::u16string_view name) {
  auto it = std::lower_bound(key.subkeys.begin(), key.subkeys.end(), name,
                             [](const KeyRef& k, std::u16string_view n) {
                               return CompareNames(k->name, n) < 0;
                             });
  if (it != key.subkeys.end() && NamesEqual((*it)->name, name)) return *it;
  return nullptr;
}

void Hive::Touch(Key& key) { key.lastWriteTime = SystemTimeNow(); }

KeyRef Hive::AddSubkeyLocked(const KeyRef& parent, std::u16string_view name, bool isVolatile) {
  auto key = std::make_shared<Key>();
  key->name = std::u16string(name);
  key->parent = parent.get();
  key->isVolatile = isVolatile;
  Touch(*key);
  auto it = std::lower_bound(parent->subkeys.begin(), parent->subkeys.end(), name,
                             [](const KeyRef& k, std::u16string_view n) {
                               return CompareNames(k->name, n) < 0;
                             });
  parent->subkeys.insert(it, key);
  Touch(*parent);
  return key;
}

KeyRef Hive::FindLocked(const KeyRef& base, const std::vector<std::u16string_view>& components) const {
  KeyRef key = base;
  for (std::u16string_view part : components) {
    key = FindSubkey(*key, part);
    if (!key) return nullptr;
  }
  return key;
}

KeyRef Hive::CreatePathLocked(const KeyRef& base, const std::vector<std::u16string_view>& components,
                              bool isVolatile) {
  KeyRef key = base;
  for (std::u16string_view part : components) {
    KeyRef next = FindSubkey(*key, part);
    key = next ? next : AddSubkeyLocked(key, part, isVolatile);
  }
  return key;
}

NTSTATUS Hive::Open(const KeyRef& base, std::u16string_view path, KeyRef* result) {
  std::vector<std::u16string_view> components;
  if (!SplitPath(path, &components)) return STATUS_OBJECT_NAME_INVALID;
  std::lock_guard<std::mutex> guard(lock_);
  if (base->deleted) return STATUS_KEY_DELETED;
  KeyRef key = FindLocked(base, components);
  if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
  *result = key;
  return STATUS_SUCCESS;
}

NTSTATUS Hive::Create(const KeyRef& base, std::u16string_view path, ULONG options,
                      bool createParents, KeyRef* result, ULONG* disposition) {
  if (options & ~ULONG(REG_OPTION_VOLATILE | REG_OPTION_BACKUP_RESTORE))
    return STATUS_INVALID_PARAMETER;
  bool isVolatile = (options & REG_OPTION_VOLATILE) != 0;
  std::vector<std::u16string_view> components;
  if (!SplitPath(path, &components)) return STATUS_OBJECT_NAME_INVALID;
  std::lock_guard<std::mutex> guard(lock_);
  if (base->deleted) return STATUS_KEY_DELETED;
  KeyRef key = base;
  for (size_t i = 0; i < components.size(); ++i) {
    KeyRef next = FindSubkey(*key, components[i]);
    if (!next) {
      bool last = i + 1 == components.size();
      if (!last && !createParents) return STATUS_OBJECT_NAME_NOT_FOUND;
      // A stored key cannot live below one that vanishes at shutdown.
      if (key->isVolatile && !isVolatile) return STATUS_CHILD_MUST_BE_VOLATILE;
      // Keys created on the way take the options of the last one.
      for (size_t k = i; k < components.size(); ++k) key = AddSubkeyLocked(key, components[k], isVolatile);
      *result = key;
      if (disposition) *disposition = REG_CREATED_NEW_KEY;
      return STATUS_SUCCESS;
    }
    key = next;
  }
  *result = key;
  if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
  return STATUS_SUCCESS;
}

void Hive::DetachLocked(const KeyRef& key) {
  Key* parent = key->parent;
  if (parent) {
    auto& siblings = parent->subkeys;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), key), siblings.end());
    Touch(*parent);
  }
  key->parent = nullptr;
  key->deleted = true;
}

NTSTATUS Hive::Delete(const KeyRef& key) {
  std::lock_guard<std::mutex> guard(lock_);
  if (key->deleted) return STATUS_KEY_DELETED;
  if (key == root_ || key == machine_) return STATUS_CANNOT_DELETE;
  if (!key->subkeys.empty()) return STATUS_CANNOT_DELETE;
  DetachLocked(key);
  return STATUS_SUCCESS;
}

void Hive::DeleteTreeLocked(const KeyRef& key) {
  // Copy: DetachLocked edits the parent's list.
  std::vector<KeyRef> children = key->subkeys;
  for (const KeyRef& child : children) DeleteTreeLocked(child);
  DetachLocked(key);
}

void Hive::Clear() {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<KeyRef> children = machine_->subkeys;
  for (const KeyRef& child : children) DeleteTreeLocked(child);
  machine_->values.clear();
}

void Hive::SetValueLocked(Key& key, std::u16string_view name, ULONG type, const void* data,
                          size_t size) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  for (RegistryValue& value : key.values) {
    if (NamesEqual(value.name, name)) {
      value.type = type;
      value.data.assign(bytes, bytes + size);
      Touch(key);
      return;
    }
  }
  key.values.push_back(RegistryValue{std::u16string(name), type, {bytes, bytes + size}});
  Touch(key);
}

bool Hive::DeleteValueLocked(Key& key, std::u16string_view name) {
  for (auto it = key.values.begin(); it != key.values.end(); ++it) {
    if (NamesEqual(it->name, name)) {
      key.values.erase(it);
      Touch(key);
      return true;
    }
  }
  return false;
}

NTSTATUS Hive::SetValue(const KeyRef& key, std::u16string_view name, ULONG type, const void* data,
                        size_t size) {
  if (name.size() > kMaxValueNameChars || HasLineBreak(name)) return STATUS_INVALID_PARAMETER;
  if (size != 0 && data == nullptr) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(lock_);
  if (key->deleted) return STATUS_KEY_DELETED;
  SetValueLocked(*key, name, type, data, size);
  return STATUS_SUCCESS;
}

NTSTATUS Hive::QueryValue(const KeyRef& key, std::u16string_view name, RegistryValue* value) {
  std::lock_guard<std::mutex> guard(lock_);
  if (key->deleted) return STATUS_KEY_DELETED;
  for (const RegistryValue& candidate : key->values) {
    if (NamesEqual(candidate.name, name)) {
      *value = candidate;
      return STATUS_SUCCESS;
    }
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS Hive::DeleteValue(const KeyRef& key, std::u16string_view name) {
  std::lock_guard<std::mutex> guard(lock_);
  if (key->deleted) return STATUS_KEY_DELETED;
  return DeleteValueLocked(*key, name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

void Hive::DescribeLocked(const Key& key, KeyInfo* info) {
  *info = KeyInfo{};
  info->name = key.name;
  info->lastWriteTime = key.lastWriteTime;
  info->subkeys = ULONG(key.subkeys.size());
  for (const KeyRef& subkey : key.subkeys)
    info->maxSubkeyNameBytes = std::max(info->maxSubkeyNameBytes, ULONG(subkey->name.size() * 2));
  info->values = ULONG(key.values.size());
  for (const RegistryValue& value : key.values) {
    info->maxValueNameBytes = std::max(info->maxValueNameBytes, ULONG(value.name.size() * 2));
    info->maxValueDataBytes = std::max(info->maxValueDataBytes, ULONG(value.data.size()));
  }
}

NTSTATUS Hive::EnumerateSubkey(const KeyRef& key, ULONG index, KeyInfo* info) {
  std::lock_guard<std::mutex> guard(lock_);
  if (key->deleted) return STATUS_KEY_DELETED;
  if (index >= key->subkeys.size()) return STATUS_NO_MORE_ENTRIES;
  DescribeLocked(*key->subkeys[index], info);
  return STATUS_SUCCESS;
}

NTSTATUS Hive::EnumerateValue(const KeyRef& key, ULONG index, RegistryValue* value) {
  std::lock_guard<std::mutex> guard(lock_);
  if (key->deleted) return STATUS_KEY_DELETED;
  if (index >= key->values.size()) return STATUS_NO_MORE_ENTRIES;
  *value = key->values[index];
  return STATUS_SUCCESS;
}

NTSTATUS Hive::QueryInfo(const KeyRef& key, KeyInfo* info) {
  std::lock_guard<std::mutex> guard(lock_);
  if (key->deleted) return STATUS_KEY_DELETED;
  DescribeLocked(*key, info);
  return STATUS_SUCCESS;
}

NTSTATUS Hive::FullPath(const KeyRef& key, std::u16string* path) {
  std::lock_guard<std::mutex> guard(lock_);
  if (key->deleted) return STATUS_KEY_DELETED;
  std::vector<const Key*> chain;
  for (const Key* k = key.get(); k; k = k->parent) chain.push_back(k);
  path->clear();
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    path->push_back(u'\\');
    path->append((*it)->name);
  }
  return STATUS_SUCCESS;
}

bool Hive::ResolveRooted(std::u16string_view path, KeyRef* base, std::u16string* relative) const {
  std::u16string_view rest;
  *base = machine_;
  if (StartsWithComponent(path, u"HKEY_LOCAL_MACHINE", &rest) ||
      StartsWithComponent(path, u"HKLM", &rest) ||
      StartsWithComponent(path, u"\\REGISTRY\\MACHINE", &rest)) {
    *relative = std::u16string(rest);
    return true;
  }
  if (StartsWithComponent(path, u"HKEY_CLASSES_ROOT", &rest) ||
      StartsWithComponent(path, u"HKCR", &rest)) {
    *relative = u"SOFTWARE\\Classes";
    if (!rest.empty()) {
      relative->push_back(u'\\');
      relative->append(rest);
    }
    return true;
  }
  return false;
}

}  // namespace sim::cm

namespace sim {

namespace {

// Resolves a path of the test interface to its key; null when it does not exist.
cm::KeyRef FindByPath(cm::Hive& hive, std::string_view keyPath) {
  cm::KeyRef base;
  std::u16string relative;
  if (!hive.ResolveRooted(Utf8ToUtf16(keyPath), &base, &relative)) return nullptr;
  cm::KeyRef key;
  return NT_SUCCESS(hive.Open(base, relative, &key)) ? key : nullptr;
}

// A path the hive cannot hold is a mistake of the test, not a registry state.
cm::KeyRef CreateByPath(cm::Hive& hive, std::string_view keyPath) {
  cm::KeyRef base;
  std::u16string relative;
  cm::KeyRef key;
  if (!hive.ResolveRooted(Utf8ToUtf16(keyPath), &base, &relative) ||
      !NT_SUCCESS(hive.Create(base, relative, REG_OPTION_NON_VOLATILE, true, &key, nullptr)))
    throw std::invalid_argument("not a creatable registry path: " + std::string(keyPath));
  return key;
}

}  // namespace

Registry::Registry(Machine&) : hive_(std::make_unique<cm::Hive>()) {}

Registry::~Registry() = default;

bool Registry::KeyExists(std::string_view keyPath) const {
  return FindByPath(*hive_, keyPath) != nullptr;
}

std::optional<RegistryValue> Registry::ReadValue(std::string_view keyPath,
                                                 std::string_view valueName) const {
  cm::KeyRef key = FindByPath(*hive_, keyPath);
  RegistryValue value;
  if (!key || !NT_SUCCESS(hive_->QueryValue(key, Utf8ToUtf16(valueName), &value)))
    return std::nullopt;
  return value;
}

std::optional<DWORD> Registry::ReadDword(std::string_view keyPath,
                                         std::string_view valueName) const {
  auto value = ReadValue(keyPath, valueName);
  if (!value || value->type != REG_DWORD || value->data.size() != sizeof(DWORD))
    return std::nullopt;
  DWORD result;
  memcpy(&result, value->data.data(), sizeof(result));
  return result;
}

std::optional<std::u16string> Registry::ReadString(std::string_view keyPath,
                                                   std::string_view valueName) const {
  auto value = ReadValue(keyPath, valueName);
  if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
  std::u16string text(value->data.size() / 2, u'\0');
  memcpy(text.data(), value->data.data(), text.size() * 2);
  while (!text.empty() && text.back() == u'\0') text.pop_back();
  return text;
}

std::vector<std::u16string> Registry::SubkeyNames(std::string_view keyPath) const {
  std::vector<std::u16string> names;
  cm::KeyRef key = FindByPath(*hive_, keyPath);
  if (!key) return names;
  cm::KeyInfo info;
  for (ULONG i = 0; NT_SUCCESS(hive_->EnumerateSubkey(key, i, &info)); ++i)
    names.push_back(info.name);
  return names;
}

std::vector<RegistryValue> Registry::Values(std::string_view keyPath) const {
  std::vector<RegistryValue> values;
  cm::KeyRef key = FindByPath(*hive_, keyPath);
  if (!key) return values;
  RegistryValue value;
  for (ULONG i = 0; NT_SUCCESS(hive_->EnumerateValue(key, i, &value)); ++i) values.push_back(value);
  return values;
}

void Registry::CreateKey(std::string_view keyPath) { CreateByPath(*hive_, keyPath); }

void Registry::WriteValue(std::string_view keyPath, std::string_view valueName, ULONG type,
                          std::vector<uint8_t> data) {
  cm::KeyRef key = CreateByPath(*hive_, keyPath);
  hive_->SetValue(key, Utf8ToUtf16(valueName), type, data.data(), data.size());
}

void Registry::WriteDword(std::string_view keyPath, std::string_view valueName, DWORD value) {
  std::vector<uint8_t> data(sizeof(value));
  memcpy(data.data(), &value, sizeof(value));
  WriteValue(keyPath, valueName, REG_DWORD, std::move(data));
}

void Registry::WriteString(std::string_view keyPath, std::string_view valueName,
                           std::u16string_view value) {
  std::vector<uint8_t> data((value.size() + 1) * 2, 0);
  memcpy(data.data(), value.data(), value.size() * 2);
  WriteValue(keyPath, valueName, REG_SZ, std::move(data));
}

void Registry::Clear() { hive_->Clear(); }

void Registry::FailNextSave(SaveStep step) {
  std::lock_guard<std::mutex> guard(saveLock_);
  failNextSave_ = step;
}

}  // namespace sim
