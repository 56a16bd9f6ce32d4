// User mode's view of the same hive through the Win32 registry functions:
// what the kernel writes, user mode reads, and back; the predefined roots;
// the size protocol of RegQueryValueEx; handle and access checking; and the
// enumerate-and-delete walk that COM unregistration does.
#include <gtest/gtest.h>

#include <winreg.h>

#include <cstring>

#include "platform/sim/objects.h"
#include "tests/platform/registry/registry_test_support.h"

namespace {

using namespace registry_test;

class Win32RegistryTest : public ::testing::Test {
 protected:
  sim::Machine machine;
  sim::Registry& registry = machine.service<sim::Registry>();
};

TEST_F(Win32RegistryTest, KernelWritesAreSeenByUserModeAndBack) {
  registry.CreateKey("HKLM\\SYSTEM\\Services\\Movakern\\Parameters");
  HANDLE kernelKey = nullptr;
  ASSERT_EQ(ZwOpen(u"\\Registry\\Machine\\SYSTEM\\Services\\Movakern\\Parameters", &kernelKey), STATUS_SUCCESS);
  ASSERT_EQ(ZwSetDword(kernelKey, u"BufSize2", 4), STATUS_SUCCESS);
  std::vector<uint8_t> path = Utf16Bytes(u"C:\\Program Files\\Tarvik");
  ASSERT_EQ(ZwSet(kernelKey, u"InstallDir", REG_SZ, path.data(), ULONG(path.size())), STATUS_SUCCESS);

  HKEY user = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"system\\services\\MOVAKERN\\Parameters", 0, KEY_ALL_ACCESS, &user),
            ERROR_SUCCESS);
  DWORD type = 0, value = 0, size = sizeof(value);
  ASSERT_EQ(RegQueryValueExW(user, u"BufSize2", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, DWORD(REG_DWORD));
  EXPECT_EQ(value, 4u);
  char narrow[64];
  size = sizeof(narrow);
  ASSERT_EQ(RegQueryValueExA(user, "InstallDir", nullptr, &type, reinterpret_cast<BYTE*>(narrow), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(narrow, "C:\\Program Files\\Tarvik");
  EXPECT_EQ(size, strlen(narrow) + 1);

  const char description[] = "Gr\xC3\xBC\xC3\x9F";  // "Grüß" in UTF-8
  ASSERT_EQ(RegSetValueExA(user, "Description", 0, REG_SZ, reinterpret_cast<const BYTE*>(description),
                           sizeof(description)),
            ERROR_SUCCESS);
  value = 9;
  ASSERT_EQ(RegSetValueExW(user, u"BufSize2", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(user), ERROR_SUCCESS);

  alignas(8) uint8_t buffer[128];
  ULONG result = 0;
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"Description");
  ASSERT_EQ(ZwQueryValueKey(kernelKey, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &result),
            STATUS_SUCCESS);
  auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
  EXPECT_EQ(info->Type, ULONG(REG_SZ));
  EXPECT_EQ(std::vector<uint8_t>(info->Data, info->Data + info->DataLength), Utf16Bytes(u"Grüß"));
  EXPECT_EQ(registry.ReadDword("HKLM\\SYSTEM\\Services\\Movakern\\Parameters", "BufSize2"), 9u);
  EXPECT_EQ(ZwClose(kernelKey), STATUS_SUCCESS);
}

TEST_F(Win32RegistryTest, ClassesRootIsTheMachinesSoftwareClasses) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  const char* clsidPath = "CLSID\\{5B3D9F20-71C4-4e8a-B612-93F0A7D1C2E8}\\InprocServer32";
  // Win32 creation makes every missing key on the way.
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, clsidPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
  const char threading[] = "Apartment";
  ASSERT_EQ(RegSetValueExA(key, "ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(threading), 10),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, clsidPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(registry.ReadString(
                "HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{5B3D9F20-71C4-4e8a-B612-93F0A7D1C2E8}\\InprocServer32",
                "ThreadingModel"),
            u"Apartment");
  // Predefined keys are not handles: closing one is a no-op.
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

// RegQueryValueEx's size protocol for a REG_SZ "Tarvik ASIO" (24 bytes as
// UTF-16 with its terminator, 12 as UTF-8).
TEST_F(Win32RegistryTest, QueryValueSizesAndMoreData) {
  registry.WriteString("HKLM\\SOFTWARE\\ASIO\\Tarvik ASIO", "Description", u"Tarvik ASIO");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Tarvik ASIO", 0, KEY_READ, &key), ERROR_SUCCESS);
  struct {
    bool wide;
    bool withBuffer;
    DWORD size;
    LONG expected;
    DWORD reported;
  } cases[] = {
      {true, false, 0, ERROR_SUCCESS, 24},   {true, true, 23, ERROR_MORE_DATA, 24},
      {true, true, 24, ERROR_SUCCESS, 24},   {true, true, 100, ERROR_SUCCESS, 24},
      {false, false, 0, ERROR_SUCCESS, 12},  {false, true, 11, ERROR_MORE_DATA, 12},
      {false, true, 12, ERROR_SUCCESS, 12},
  };
  for (const auto& c : cases) {
    uint8_t buffer[128];
    memset(buffer, 0xCC, sizeof(buffer));
    DWORD type = 0, size = c.size;
    LONG error = c.wide ? RegQueryValueExW(key, u"Description", nullptr, &type, c.withBuffer ? buffer : nullptr, &size)
                        : RegQueryValueExA(key, "Description", nullptr, &type, c.withBuffer ? buffer : nullptr, &size);
    EXPECT_EQ(error, c.expected) << c.wide << " " << c.size;
    EXPECT_EQ(size, c.reported) << c.wide << " " << c.size;
    EXPECT_EQ(type, DWORD(REG_SZ));
    if (error == ERROR_MORE_DATA) {
      EXPECT_EQ(buffer[0], 0xCC);
    }
  }
  DWORD size = 4;
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
  uint8_t byte;
  EXPECT_EQ(RegQueryValueExA(key, "Description", nullptr, nullptr, &byte, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(Win32RegistryTest, HandlesThatAreNotUserKeysAreInvalid) {
  registry.CreateKey("HKLM\\SOFTWARE");
  HANDLE kernelKey = nullptr;
  ASSERT_EQ(ZwOpen(u"\\Registry\\Machine\\SOFTWARE", &kernelKey), STATUS_SUCCESS);
  PVOID event = machine.objects().CreateObject(*ExEventObjectType, sizeof(KEVENT));
  HANDLE eventHandle = nullptr;
  ASSERT_EQ(machine.objects().CreateHandle(event, EVENT_ALL_ACCESS, false, nullptr, &eventHandle), STATUS_SUCCESS);
  machine.objects().Dereference(event);
  HKEY closed = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &closed), ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);

  for (HKEY bad : {static_cast<HKEY>(nullptr), static_cast<HKEY>(kernelKey), static_cast<HKEY>(eventHandle), closed,
                   HKEY_CURRENT_USER}) {
    HKEY out = reinterpret_cast<HKEY>(1);
    DWORD size = 0, index = 0;
    char name[8];
    DWORD nameSize = sizeof(name);
    EXPECT_EQ(RegOpenKeyExA(bad, "x", 0, KEY_READ, &out), ERROR_INVALID_HANDLE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(RegQueryValueExA(bad, "x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegSetValueExA(bad, "x", 0, REG_BINARY, nullptr, 0), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegEnumKeyExA(bad, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegDeleteKeyA(bad, "x"), ERROR_INVALID_HANDLE);
    if (bad != HKEY_CURRENT_USER) {
      EXPECT_EQ(RegCloseKey(bad), ERROR_INVALID_HANDLE);
    }
  }
  // RegCloseKey refused the event handle and left it open.
  EXPECT_EQ(machine.objects().Close(eventHandle, UserMode), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(kernelKey), STATUS_SUCCESS);
}

TEST_F(Win32RegistryTest, UserModeRightsAreChecked) {
  registry.WriteDword("HKLM\\SOFTWARE\\Tarvik", "BufSize2", 5);
  HKEY readOnly = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvik", 0, KEY_READ, &readOnly), ERROR_SUCCESS);
  DWORD value = 1;
  EXPECT_EQ(RegSetValueExA(readOnly, "BufSize2", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4),
            ERROR_ACCESS_DENIED);
  HKEY child = nullptr;
  EXPECT_EQ(RegCreateKeyExA(readOnly, "New", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
            ERROR_ACCESS_DENIED);
  EXPECT_FALSE(registry.KeyExists("HKLM\\SOFTWARE\\Tarvik\\New"));
  HKEY writeOnly = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tarvik", 0, KEY_SET_VALUE, &writeOnly), ERROR_SUCCESS);
  DWORD size = 4;
  EXPECT_EQ(RegQueryValueExA(writeOnly, "BufSize2", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegSetValueExA(writeOnly, "BufSize2", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(writeOnly), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(readOnly), ERROR_SUCCESS);
  EXPECT_EQ(registry.ReadDword("HKLM\\SOFTWARE\\Tarvik", "BufSize2"), 1u);
}

// A 32-bit process sees SOFTWARE through the 32-bit view, so the 64-bit
// and 32-bit builds of one COM server keep separate registrations.
TEST_F(Win32RegistryTest, ThirtyTwoBitProcessesRegisterInTheirOwnView) {
  auto setDefault = [](HKEY root, const char* path, const char* text, REGSAM view = 0) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), DWORD(strlen(text) + 1)),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  };
  const char* server = "CLSID\\{5B3D9F20-71C4-4e8a-B612-93F0A7D1C2E8}\\InprocServer32";
  setDefault(HKEY_CLASSES_ROOT, server, "C:\\Windows\\system32\\Movlink6.dll");
  setDefault(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Tarvik ASIO", "64");

  machine.objects().userProcess().is32Bit = true;
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, server, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  setDefault(HKEY_CLASSES_ROOT, server, "C:\\Windows\\SysWOW64\\Movlink3.dll");
  // Relative to a key opened through the view, the view holds.
  HKEY software = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS, &software), ERROR_SUCCESS);
  setDefault(software, "ASIO\\Tarvik ASIO", "32");
  EXPECT_EQ(RegCloseKey(software), ERROR_SUCCESS);
  setDefault(HKEY_CLASSES_ROOT, ".reg", "regfile");  // file types are shared
  setDefault(HKEY_LOCAL_MACHINE, "SOFTWARE\\Native", "64", KEY_WOW64_64KEY);
  machine.objects().userProcess().is32Bit = false;

  const std::string clsid = "HKLM\\SOFTWARE\\Classes\\CLSID\\{5B3D9F20-71C4-4e8a-B612-93F0A7D1C2E8}\\InprocServer32";
  const std::string clsid32 =
      "HKLM\\SOFTWARE\\Classes\\WOW6432Node\\CLSID\\{5B3D9F20-71C4-4e8a-B612-93F0A7D1C2E8}\\InprocServer32";
  EXPECT_EQ(registry.ReadString(clsid, ""), u"C:\\Windows\\system32\\Movlink6.dll");
  EXPECT_EQ(registry.ReadString(clsid32, ""), u"C:\\Windows\\SysWOW64\\Movlink3.dll");
  EXPECT_EQ(registry.ReadString("HKLM\\SOFTWARE\\ASIO\\Tarvik ASIO", ""), u"64");
  EXPECT_EQ(registry.ReadString("HKLM\\SOFTWARE\\WOW6432Node\\ASIO\\Tarvik ASIO", ""), u"32");
  EXPECT_EQ(registry.ReadString("HKLM\\SOFTWARE\\Classes\\.reg", ""), u"regfile");
  EXPECT_TRUE(registry.KeyExists("HKLM\\SOFTWARE\\Native"));
  EXPECT_FALSE(registry.KeyExists("HKLM\\SOFTWARE\\WOW6432Node\\Classes"));
  // A 64-bit process may ask for the 32-bit view.
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Tarvik ASIO", 0, KEY_READ | KEY_WOW64_32KEY, &key),
            ERROR_SUCCESS);
  char text[8];
  DWORD size = sizeof(text);
  ASSERT_EQ(RegQueryValueExA(key, "", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size), ERROR_SUCCESS);
  EXPECT_STREQ(text, "32");
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

// Deletes a key tree the way COM unregistration does: enumerate index 0,
// delete that subtree, until no subkey is left; then the key itself.
LONG DeleteTree(HKEY parent, const char* name) {
  HKEY key = nullptr;
  LONG error = RegOpenKeyExA(parent, name, 0, KEY_READ | KEY_CREATE_SUB_KEY | KEY_SET_VALUE, &key);
  if (error != ERROR_SUCCESS) return error;
  for (;;) {
    char child[256];
    DWORD size = sizeof(child);
    error = RegEnumKeyExA(key, 0, child, &size, nullptr, nullptr, nullptr, nullptr);
    if (error != ERROR_SUCCESS) break;
    if ((error = DeleteTree(key, child)) != ERROR_SUCCESS) break;
  }
  RegCloseKey(key);
  return error == ERROR_NO_MORE_ITEMS ? RegDeleteKeyA(parent, name) : error;
}

TEST_F(Win32RegistryTest, EnumerateAndDeleteATree) {
  for (const char* path : {"A\\B\\C", "A\\B\\D", "A\\Gerät", "A\\E"})
    registry.CreateKey(std::string("HKLM\\SOFTWARE\\Classes\\CLSID\\") + path);
  HKEY clsid = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_ALL_ACCESS, &clsid), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(clsid, "A"), ERROR_ACCESS_DENIED);  // it has subkeys

  HKEY a = nullptr;
  ASSERT_EQ(RegOpenKeyExA(clsid, "A", 0, KEY_READ, &a), ERROR_SUCCESS);
  std::vector<std::string> names;
  char name[16];
  DWORD size;
  LONG error;
  for (DWORD index = 0; (error = RegEnumKeyExA(a, index, name, &(size = sizeof(name)), nullptr, nullptr, nullptr,
                                               nullptr)) == ERROR_SUCCESS;
       ++index) {
    EXPECT_EQ(size, strlen(name));
    names.push_back(name);
  }
  EXPECT_EQ(error, ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(names, (std::vector<std::string>{"B", "E", "Gerät"}));
  WCHAR wide[6];
  size = 6;
  ASSERT_EQ(RegEnumKeyExW(a, 2, wide, &size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(std::u16string(wide), u"Gerät");
  EXPECT_EQ(size, 5u);
  size = 5;  // no room for the terminator
  EXPECT_EQ(RegEnumKeyExW(a, 2, wide, &size, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(RegCloseKey(a), ERROR_SUCCESS);

  EXPECT_EQ(DeleteTree(clsid, "A"), ERROR_SUCCESS);
  EXPECT_FALSE(registry.KeyExists("HKCR\\CLSID\\A"));
  EXPECT_TRUE(registry.KeyExists("HKCR\\CLSID"));
  EXPECT_EQ(DeleteTree(clsid, "A"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(clsid), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);  // the root stays
}

}  // namespace
