// The Win32 registry functions over the machine's hive. Handles live in the
// calling process's table, so a kernel handle or another object's handle is
// refused; the predefined roots are resolved here and are not handles.
#include <winreg.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <wdm.h>

#include "platform/kernel/registry_keys.h"
#include "platform/sim/objects.h"

namespace {

using sim::cm::Hive;
using sim::cm::KeyRef;

LONG ToError(NTSTATUS status) { return LONG(RtlNtStatusToDosError(status)); }

// Only the four common roots count: the values above them coincide with
// kernel handles here, which user mode must see refused as handles.
bool IsPredefined(HKEY hKey) {
  return hKey == HKEY_CLASSES_ROOT || hKey == HKEY_CURRENT_USER || hKey == HKEY_LOCAL_MACHINE ||
         hKey == HKEY_USERS;
}

// The key an HKEY names for the length of one call.
class KeyTarget {
 public:
  // Checks `access` against the handle's rights; the predefined roots grant all.
  LONG Resolve(HKEY hKey, ACCESS_MASK access) {
    Hive& hive = sim::cm::CurrentHive();
    hive_ = &hive;
    granted_ = KEY_ALL_ACCESS;
    if (hKey == HKEY_LOCAL_MACHINE) {
      key_ = hive.machine();
      return ERROR_SUCCESS;
    }
    if (hKey == HKEY_CLASSES_ROOT) {
      // Always present on Windows; made on first use here.
      return ToError(hive.Create(hive.machine(), u"SOFTWARE\\Classes", REG_OPTION_NON_VOLATILE,
                                 true, &key_, nullptr));
    }
    if (hKey == nullptr || IsPredefined(hKey)) return ERROR_INVALID_HANDLE;
    NTSTATUS status = reference_.Acquire(hKey, access, UserMode);
    if (!NT_SUCCESS(status)) return ToError(status);
    key_ = reference_->key;
    hive_ = reference_->hive;
    granted_ = reference_.granted();
    return ERROR_SUCCESS;
  }
  const KeyRef& key() const { return key_; }
  Hive& hive() const { return *hive_; }
  ACCESS_MASK granted() const { return granted_; }

 private:
  sim::cm::KeyReference reference_;
  KeyRef key_;
  Hive* hive_ = nullptr;
  ACCESS_MASK granted_ = 0;
};

// Sub-key paths may not start with a backslash; trailing ones are dropped.
LONG NormalizeSubKey(std::u16string_view path, std::u16string_view* normalized) {
  if (!path.empty() && path.front() == u'\\') return ERROR_BAD_PATHNAME;
  while (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
  *normalized = path;
  return ERROR_SUCCESS;
}

// The 32-bit registry view. A 32-bit process (or a call with
// KEY_WOW64_32KEY) sees HKLM\SOFTWARE\X at SOFTWARE\WOW6432Node\X and the
// class registrations SOFTWARE\Classes\CLSID (and the other per-bitness
// class keys) at SOFTWARE\Classes\WOW6432Node\...; the rest of Classes and
// everything outside SOFTWARE are shared. KEY_WOW64_64KEY asks for the
// native view.
constexpr std::u16string_view kWow64Node = u"WOW6432Node";

bool Uses32BitView(REGSAM samDesired) {
  if (samDesired & KEY_WOW64_64KEY) return false;
  if (samDesired & KEY_WOW64_32KEY) return true;
  return PsGetCurrentProcess()->is32Bit;
}

bool IsRedirectedClass(std::u16string_view name) {
  for (std::u16string_view redirected : {u"CLSID", u"DirectShow", u"Interface", u"Media Type", u"MediaFoundation"})
    if (sim::cm::NamesEqual(name, redirected)) return true;
  return false;
}

// Where, below HKLM, the 32-bit view keeps `subKey` of `base`. The base's
// own path is read back to its logical form first, so that keys opened
// through the 32-bit view stay in it.
LONG Wow64Path(Hive& hive, const KeyRef& base, std::u16string_view subKey, std::u16string* physical) {
  std::u16string basePath;
  NTSTATUS status = hive.FullPath(base, &basePath);
  if (!NT_SUCCESS(status)) return ToError(status);
  constexpr std::u16string_view kMachine = u"\\REGISTRY\\MACHINE";
  std::u16string_view below = std::u16string_view(basePath).substr(kMachine.size());
  if (!below.empty()) below.remove_prefix(1);
  std::vector<std::u16string_view> baseParts, subParts;
  if (!sim::cm::SplitPath(below, &baseParts) || !sim::cm::SplitPath(subKey, &subParts))
    return ERROR_INVALID_NAME;
  using sim::cm::NamesEqual;
  auto isSoftware = [&](const std::vector<std::u16string_view>& p) { return !p.empty() && NamesEqual(p[0], u"SOFTWARE"); };
  auto isClasses = [&](const std::vector<std::u16string_view>& p) { return isSoftware(p) && p.size() > 1 && NamesEqual(p[1], u"Classes"); };
  // Physical to logical.
  if (isClasses(baseParts) && baseParts.size() > 2 && NamesEqual(baseParts[2], kWow64Node))
    baseParts.erase(baseParts.begin() + 2);
  else if (isSoftware(baseParts) && baseParts.size() > 1 && NamesEqual(baseParts[1], kWow64Node))
    baseParts.erase(baseParts.begin() + 1);
  std::vector<std::u16string_view> parts = baseParts;
  parts.insert(parts.end(), subParts.begin(), subParts.end());
  // Logical to the 32-bit view.
  size_t node = 0;
  if (isClasses(parts)) {
    if (parts.size() > 2 && IsRedirectedClass(parts[2])) node = 2;
  } else if (isSoftware(parts)) {
    node = 1;
  }
  if (node) parts.insert(parts.begin() + node, kWow64Node);
  physical->clear();
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) physical->push_back(u'\\');
    physical->append(parts[i]);
    // The redirection keys exist on every 64-bit system.
    if (node && i == node) {
      KeyRef ignored;
      hive.Create(hive.machine(), *physical, REG_OPTION_NON_VOLATILE, true, &ignored, nullptr);
    }
  }
  return ERROR_SUCCESS;
}

// The key to start from and the path below it for an open, create or
// delete of `subKey` below the resolved target, in the caller's view.
LONG PlaceInView(const KeyTarget& target, std::u16string_view subKey, REGSAM samDesired, KeyRef* base,
                 std::u16string* path) {
  if (!Uses32BitView(samDesired)) {
    *base = target.key();
    *path = std::u16string(subKey);
    return ERROR_SUCCESS;
  }
  *base = target.hive().machine();
  return Wow64Path(target.hive(), target.key(), subKey, path);
}

std::u16string_view WideView(LPCWSTR s) { return s ? std::u16string_view(s) : std::u16string_view(); }

std::optional<std::u16string> Widen(LPCSTR s) {
  if (s == nullptr) return std::nullopt;
  return sim::Utf8ToUtf16(s);
}

std::u16string_view View(const std::optional<std::u16string>& s) {
  return s ? std::u16string_view(*s) : std::u16string_view();
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

LONG InsertHandle(const KeyTarget& target, const KeyRef& key, REGSAM samDesired, PHKEY phkResult) {
  HANDLE handle = nullptr;
  NTSTATUS status = sim::cm::InsertKeyHandle(target.hive(), key, samDesired, false, &handle);
  if (!NT_SUCCESS(status)) return ToError(status);
  *phkResult = static_cast<HKEY>(handle);
  return ERROR_SUCCESS;
}

// Resolves hKey (no rights needed on it) and places `subKey` below it in
// the caller's view, for an open, create or delete.
LONG ResolveSubKey(HKEY hKey, std::u16string_view subKey, REGSAM samDesired, KeyTarget* target,
                   KeyRef* base, std::u16string* path) {
  LONG error = target->Resolve(hKey, 0);
  if (error != ERROR_SUCCESS) return error;
  if ((error = NormalizeSubKey(subKey, &subKey)) != ERROR_SUCCESS) return error;
  return PlaceInView(*target, subKey, samDesired, base, path);
}

// Opens `subKey`; with `createOptions`, makes it when it is missing.
LONG OpenKey(HKEY hKey, std::u16string_view subKey, REGSAM samDesired, PHKEY phkResult,
             std::optional<DWORD> createOptions = std::nullopt,
             LPDWORD lpdwDisposition = nullptr) {
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  KeyTarget target;
  KeyRef base;
  std::u16string path;
  LONG error = ResolveSubKey(hKey, subKey, samDesired, &target, &base, &path);
  if (error != ERROR_SUCCESS) return error;
  KeyRef key;
  NTSTATUS status = target.hive().Open(base, path, &key);
  ULONG disposition = REG_OPENED_EXISTING_KEY;
  if (status == STATUS_OBJECT_NAME_NOT_FOUND && createOptions) {
    // Opening through a handle needs no rights on it; creating below it does.
    if ((target.granted() & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
    status = target.hive().Create(base, path, *createOptions, true, &key, &disposition);
  }
  if (!NT_SUCCESS(status)) return ToError(status);
  error = InsertHandle(target, key, samDesired, phkResult);
  if (error == ERROR_SUCCESS && lpdwDisposition) *lpdwDisposition = disposition;
  return error;
}

LONG QueryValue(HKEY hKey, std::u16string_view name, LPDWORD lpReserved, LPBYTE lpData,
                LPDWORD lpcbData, sim::RegistryValue* value) {
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
    return ERROR_INVALID_PARAMETER;
  KeyTarget target;
  LONG error = target.Resolve(hKey, KEY_QUERY_VALUE);
  if (error != ERROR_SUCCESS) return error;
  return ToError(target.hive().QueryValue(target.key(), name, value));
}

// Size query without a buffer, ERROR_MORE_DATA with the size needed when
// the buffer is short (its contents then undefined, here untouched).
LONG CopyOut(const std::vector<uint8_t>& data, DWORD type, LPDWORD lpType, LPBYTE lpData,
             LPDWORD lpcbData) {
  if (lpType) *lpType = type;
  DWORD size = DWORD(data.size());
  if (lpData == nullptr) {
    if (lpcbData) *lpcbData = size;
    return ERROR_SUCCESS;
  }
  bool fits = *lpcbData >= size;
  *lpcbData = size;
  if (!fits) return ERROR_MORE_DATA;
  if (size) memcpy(lpData, data.data(), size);
  return ERROR_SUCCESS;
}

LONG SetValue(HKEY hKey, std::u16string_view name, DWORD dwType, const BYTE* lpData, DWORD cbData) {
  if (lpData == nullptr && cbData != 0) return ERROR_INVALID_PARAMETER;
  KeyTarget target;
  LONG error = target.Resolve(hKey, KEY_SET_VALUE);
  if (error != ERROR_SUCCESS) return error;
  return ToError(target.hive().SetValue(target.key(), name, dwType, lpData, cbData));
}

LONG DeleteValue(HKEY hKey, std::u16string_view name) {
  KeyTarget target;
  LONG error = target.Resolve(hKey, KEY_SET_VALUE);
  if (error != ERROR_SUCCESS) return error;
  return ToError(target.hive().DeleteValue(target.key(), name));
}

LONG DeleteKey(HKEY hKey, std::u16string_view subKey) {
  KeyTarget target;
  KeyRef base;
  std::u16string path;
  LONG error = ResolveSubKey(hKey, subKey, 0, &target, &base, &path);
  if (error != ERROR_SUCCESS) return error;
  KeyRef key;
  NTSTATUS status = target.hive().Open(base, path, &key);
  if (!NT_SUCCESS(status)) return ToError(status);
  return ToError(target.hive().Delete(key));
}

// Copies a name with its terminator into a buffer of *count characters;
// on success *count is the length without the terminator.
template <typename Char>
LONG CopyName(const std::basic_string<Char>& name, Char* buffer, LPDWORD count) {
  if (name.size() + 1 > *count) return ERROR_MORE_DATA;
  memcpy(buffer, name.data(), name.size() * sizeof(Char));
  buffer[name.size()] = 0;
  *count = DWORD(name.size());
  return ERROR_SUCCESS;
}

// Keys carry no class; an empty one is reported. `nameOf` turns the
// key's name into the caller's characters.
template <typename Char, typename NameOf>
LONG EnumerateKey(HKEY hKey, DWORD dwIndex, Char* lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                  Char* lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime, NameOf nameOf) {
  if (lpName == nullptr || lpcchName == nullptr) return ERROR_INVALID_PARAMETER;
  if (lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
  KeyTarget target;
  LONG error = target.Resolve(hKey, KEY_ENUMERATE_SUB_KEYS);
  if (error != ERROR_SUCCESS) return error;
  sim::cm::KeyInfo info;
  NTSTATUS status = target.hive().EnumerateSubkey(target.key(), dwIndex, &info);
  if (!NT_SUCCESS(status)) return ToError(status);
  if (lpftLastWriteTime) {
    lpftLastWriteTime->dwLowDateTime = DWORD(info.lastWriteTime);
    lpftLastWriteTime->dwHighDateTime = DWORD(info.lastWriteTime >> 32);
  }
  if (lpClass && lpcchClass && *lpcchClass > 0) lpClass[0] = 0;
  if (lpcchClass) *lpcchClass = 0;
  return CopyName(nameOf(info.name), lpName, lpcchName);
}

std::vector<uint8_t> WideBytesToNarrow(const std::vector<uint8_t>& wide) {
  std::u16string text(wide.size() / 2, u'\0');
  memcpy(text.data(), wide.data(), text.size() * 2);
  std::string narrow = sim::Utf16ToUtf8(text);
  return std::vector<uint8_t>(narrow.begin(), narrow.end());
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                      PHKEY phkResult) {
  return OpenKey(hKey, WideView(lpSubKey), samDesired, phkResult);
}

LSTATUS RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                      PHKEY phkResult) {
  return OpenKey(hKey, View(Widen(lpSubKey)), samDesired, phkResult);
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                        DWORD dwOptions, REGSAM samDesired,
                        const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
  return OpenKey(hKey, WideView(lpSubKey), samDesired, phkResult, dwOptions, lpdwDisposition);
}

LSTATUS RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass,
                        DWORD dwOptions, REGSAM samDesired,
                        const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
  return OpenKey(hKey, View(Widen(lpSubKey)), samDesired, phkResult, dwOptions, lpdwDisposition);
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData) {
  sim::RegistryValue value;
  LONG error = QueryValue(hKey, WideView(lpValueName), lpReserved, lpData, lpcbData, &value);
  if (error != ERROR_SUCCESS) return error;
  return CopyOut(value.data, value.type, lpType, lpData, lpcbData);
}

LSTATUS RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                         LPBYTE lpData, LPDWORD lpcbData) {
  sim::RegistryValue value;
  LONG error = QueryValue(hKey, View(Widen(lpValueName)), lpReserved, lpData, lpcbData, &value);
  if (error != ERROR_SUCCESS) return error;
  if (IsStringType(value.type)) value.data = WideBytesToNarrow(value.data);
  return CopyOut(value.data, value.type, lpType, lpData, lpcbData);
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                       const BYTE* lpData, DWORD cbData) {
  return SetValue(hKey, WideView(lpValueName), dwType, lpData, cbData);
}

LSTATUS RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                       const BYTE* lpData, DWORD cbData) {
  std::optional<std::u16string> name = Widen(lpValueName);
  if (!IsStringType(dwType) || lpData == nullptr)
    return SetValue(hKey, View(name), dwType, lpData, cbData);
  std::u16string wide =
      sim::Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(lpData), cbData));
  return SetValue(hKey, View(name), dwType, reinterpret_cast<const BYTE*>(wide.data()),
                  DWORD(wide.size() * sizeof(char16_t)));
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  return DeleteValue(hKey, WideView(lpValueName));
}

LSTATUS RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  return DeleteValue(hKey, View(Widen(lpValueName)));
}

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  return DeleteKey(hKey, lpSubKey);
}

LSTATUS RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  return DeleteKey(hKey, View(Widen(lpSubKey)));
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                      LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                      PFILETIME lpftLastWriteTime) {
  return EnumerateKey(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass,
                      lpftLastWriteTime,
                      [](const std::u16string& name) -> const std::u16string& { return name; });
}

LSTATUS RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                      LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                      PFILETIME lpftLastWriteTime) {
  return EnumerateKey(hKey, dwIndex, lpName, lpcchName, lpReserved, lpClass, lpcchClass,
                      lpftLastWriteTime,
                      [](const std::u16string& name) { return sim::Utf16ToUtf8(name); });
}

LSTATUS RegCloseKey(HKEY hKey) {
  if (IsPredefined(hKey)) return ERROR_SUCCESS;
  {
    // Only a key handle may be closed here.
    sim::cm::KeyReference key;
    NTSTATUS status = key.Acquire(hKey, 0, UserMode);
    if (!NT_SUCCESS(status)) return ToError(status);
  }
  return ToError(sim::Machine::CurrentChecked().objects().Close(hKey, UserMode));
}
