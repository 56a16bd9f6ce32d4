// The kernel's view of the registry: ZwCreateKey / ZwOpenKey with absolute
// and relative names, the query statuses a driver sizes its buffers by,
// enumeration, deletion and handle checking.
#include <gtest/gtest.h>

#include <wdm.h>

#include <cstring>

#include "platform/sim/objects.h"
#include "tests/platform/registry/registry_test_support.h"

namespace {

using namespace registry_test;

class ZwRegistryTest : public ::testing::Test {
 protected:
  sim::Machine machine;
  sim::Registry& registry = machine.service<sim::Registry>();
};

TEST_F(ZwRegistryTest, CreateMakesOneLevelAndReportsNewOrExisting) {
  HANDLE key = nullptr;
  ULONG disposition = 0;
  // The kernel does not create missing parents.
  EXPECT_EQ(ZwCreate(u"\\Registry\\Machine\\SYSTEM\\Services", &key, nullptr, &disposition),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(key, nullptr);

  ASSERT_EQ(ZwCreate(u"\\Registry\\Machine\\SYSTEM", &key, nullptr, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
  HANDLE again = nullptr;
  ASSERT_EQ(ZwCreate(u"\\REGISTRY\\MACHINE\\system", &again, nullptr, &disposition), STATUS_SUCCESS);
  EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
  EXPECT_NE(again, key);
  EXPECT_TRUE(sim::ObjectManager::IsKernelHandle(key));
  EXPECT_EQ(ZwClose(again), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_TRUE(registry.KeyExists("HKEY_LOCAL_MACHINE\\SYSTEM"));
}

TEST_F(ZwRegistryTest, RelativeNamesResolveBelowTheRootHandle) {
  HANDLE service = nullptr, parameters = nullptr, common = nullptr;
  registry.CreateKey("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Movakern");
  ASSERT_EQ(ZwOpen(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Movakern", &service),
            STATUS_SUCCESS);
  ASSERT_EQ(ZwCreate(u"Parameters", &parameters, service), STATUS_SUCCESS);
  ASSERT_EQ(ZwCreate(u"Common", &common, parameters), STATUS_SUCCESS);
  EXPECT_TRUE(registry.KeyExists("HKLM\\SYSTEM\\CurrentControlSet\\Services\\Movakern\\Parameters\\Common"));

  // The key's own name comes back as stored, from the root.
  union {
    KEY_NAME_INFORMATION info;
    uint8_t bytes[512];
  } name;
  ULONG length = 0;
  ASSERT_EQ(ZwQueryKey(common, KeyNameInformation, &name, sizeof(name), &length), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(name.info.Name, name.info.NameLength / 2),
            u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Movakern\\Parameters\\Common");

  // An empty name opens the root key again.
  HANDLE same = nullptr;
  ASSERT_EQ(ZwOpen(u"", &same, common), STATUS_SUCCESS);
  EXPECT_EQ(ZwSetDword(same, u"BufSize2", 3), STATUS_SUCCESS);
  EXPECT_EQ(registry.ReadDword("HKLM\\SYSTEM\\CurrentControlSet\\Services\\Movakern\\Parameters\\Common",
                               "BufSize2"),
            3u);
  for (HANDLE h : {same, common, parameters, service}) EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, NamesThatCannotBeResolvedAreRefused) {
  registry.CreateKey("HKLM\\SOFTWARE");
  HANDLE software = nullptr;
  ASSERT_EQ(ZwOpen(u"\\Registry\\Machine\\SOFTWARE", &software), STATUS_SUCCESS);
  struct {
    const char16_t* name;
    bool relative;
    NTSTATUS expected;
  } cases[] = {
      {u"SOFTWARE", false, STATUS_OBJECT_PATH_SYNTAX_BAD},     // relative without a root
      {u"\\Registry\\Machine", true, STATUS_OBJECT_PATH_SYNTAX_BAD},  // absolute with a root
      {u"\\Device\\Movakern001", false, STATUS_OBJECT_PATH_NOT_FOUND},
      {u"\\RegistryX\\Machine", false, STATUS_OBJECT_PATH_NOT_FOUND},
      {u"\\Registry\\Machine\\\\SOFTWARE", false, STATUS_OBJECT_NAME_INVALID},
      {u"\\Registry\\Machine\\SOFTWARE\\", false, STATUS_OBJECT_NAME_INVALID},
      {u"Missing", true, STATUS_OBJECT_NAME_NOT_FOUND},
  };
  for (const auto& c : cases) {
    HANDLE key = reinterpret_cast<HANDLE>(1);
    EXPECT_EQ(ZwOpen(c.name, &key, c.relative ? software : nullptr), c.expected)
        << sim::Utf16ToUtf8(c.name);
    EXPECT_EQ(key, nullptr);
  }
  EXPECT_EQ(ZwClose(software), STATUS_SUCCESS);
}

// The buffer-size statuses, for a REG_DWORD "BufSize2" = 7.
TEST_F(ZwRegistryTest, QueryValueReportsTheSizeItNeeds) {
  HANDLE key = nullptr;
  ASSERT_EQ(ZwCreate(u"\\Registry\\Machine\\Common", &key), STATUS_SUCCESS);
  ASSERT_EQ(ZwSetDword(key, u"BufSize2", 7), STATUS_SUCCESS);
  constexpr ULONG kNameBytes = 16;
  constexpr ULONG kPartialFixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
  constexpr ULONG kFullFixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
  constexpr ULONG kBasicFixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
  constexpr ULONG kFullSize = kFullFixed + kNameBytes + 4;  // 20 + 16 is already 4-aligned
  struct {
    KEY_VALUE_INFORMATION_CLASS cls;
    ULONG length;
    NTSTATUS expected;
    ULONG needed;
  } cases[] = {
      {KeyValuePartialInformation, 0, STATUS_BUFFER_TOO_SMALL, kPartialFixed + 4},
      {KeyValuePartialInformation, kPartialFixed - 1, STATUS_BUFFER_TOO_SMALL, kPartialFixed + 4},
      {KeyValuePartialInformation, kPartialFixed, STATUS_BUFFER_OVERFLOW, kPartialFixed + 4},
      {KeyValuePartialInformation, kPartialFixed + 3, STATUS_BUFFER_OVERFLOW, kPartialFixed + 4},
      {KeyValuePartialInformation, kPartialFixed + 4, STATUS_SUCCESS, kPartialFixed + 4},
      {KeyValueFullInformation, kFullFixed - 1, STATUS_BUFFER_TOO_SMALL, kFullSize},
      {KeyValueFullInformation, kFullFixed, STATUS_BUFFER_OVERFLOW, kFullSize},
      {KeyValueFullInformation, kFullSize - 1, STATUS_BUFFER_OVERFLOW, kFullSize},
      {KeyValueFullInformation, 44 + 2 * 8, STATUS_SUCCESS, kFullSize},  // the driver's buffer
      {KeyValueBasicInformation, kBasicFixed - 1, STATUS_BUFFER_TOO_SMALL, kBasicFixed + kNameBytes},
      {KeyValueBasicInformation, kBasicFixed + 2, STATUS_BUFFER_OVERFLOW, kBasicFixed + kNameBytes},
      {KeyValueBasicInformation, kBasicFixed + kNameBytes, STATUS_SUCCESS, kBasicFixed + kNameBytes},
  };
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"bufsize2");  // value names ignore case too
  for (const auto& c : cases) {
    alignas(8) uint8_t buffer[128];
    memset(buffer, 0xCC, sizeof(buffer));
    ULONG result = 0;
    EXPECT_EQ(ZwQueryValueKey(key, &name, c.cls, c.length ? buffer : nullptr, c.length, &result),
              c.expected)
        << "class " << c.cls << " length " << c.length;
    EXPECT_EQ(result, c.needed) << "class " << c.cls << " length " << c.length;
    if (c.expected == STATUS_BUFFER_TOO_SMALL && c.length) {
      EXPECT_EQ(buffer[0], 0xCC);  // untouched
    }
    if (c.expected == STATUS_BUFFER_OVERFLOW && c.cls == KeyValuePartialInformation) {
      auto* partial = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
      EXPECT_EQ(partial->Type, ULONG(REG_DWORD));
      EXPECT_EQ(partial->DataLength, 4u);
    }
    if (c.expected == STATUS_SUCCESS && c.cls == KeyValueFullInformation) {
      auto* full = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
      EXPECT_EQ(full->Type, ULONG(REG_DWORD));
      EXPECT_EQ(full->NameLength, kNameBytes);
      EXPECT_EQ(std::u16string(full->Name, full->NameLength / 2), u"BufSize2");
      ASSERT_EQ(full->DataLength, 4u);
      ULONG value;
      memcpy(&value, buffer + full->DataOffset, 4);
      EXPECT_EQ(value, 7u);
    }
  }
  UNICODE_STRING missing = RTL_CONSTANT_STRING(u"AsioSmaller");
  ULONG result = 0;
  EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValuePartialInformation, nullptr, 0, &result),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, ValuesKeepTheirTypeAndBytes) {
  HANDLE key = nullptr;
  ASSERT_EQ(ZwCreate(u"\\Registry\\Machine\\Values", &key), STATUS_SUCCESS);
  const std::vector<uint8_t> text = Utf16Bytes(u"Tarvik ASIO");
  const std::vector<uint8_t> multi = MultiString({u"a", u"bc"});
  const std::vector<uint8_t> binary = {0, 1, 2, 0xFF};
  struct {
    const char16_t* name;
    ULONG type;
    const std::vector<uint8_t>& data;
  } cases[] = {{u"", REG_SZ, text}, {u"Multi", REG_MULTI_SZ, multi}, {u"Raw", REG_BINARY, binary}};
  for (const auto& c : cases) ASSERT_EQ(ZwSet(key, c.name, c.type, c.data.data(), ULONG(c.data.size())), STATUS_SUCCESS);
  for (const auto& c : cases) {
    alignas(8) uint8_t buffer[128];
    ULONG result = 0;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, c.name);
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof(buffer), &result),
              STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    EXPECT_EQ(info->Type, c.type);
    EXPECT_EQ(std::vector<uint8_t>(info->Data, info->Data + info->DataLength), c.data);
  }
  // Setting again replaces type and data.
  ASSERT_EQ(ZwSetDword(key, u"Raw", 9), STATUS_SUCCESS);
  EXPECT_EQ(registry.ReadDword("HKLM\\Values", "Raw"), 9u);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, EnumerationListsSubkeysInNameOrderIgnoringCase) {
  for (const char* name : {"Device1", "common", "Device0", "Zeta"}) registry.CreateKey(std::string("HKLM\\P\\") + name);
  HANDLE key = nullptr;
  ASSERT_EQ(ZwOpen(u"\\Registry\\Machine\\P", &key), STATUS_SUCCESS);
  std::vector<std::u16string> names;
  alignas(8) uint8_t buffer[256];
  ULONG result = 0;
  ULONG index = 0;
  NTSTATUS status;
  while ((status = ZwEnumerateKey(key, index++, KeyBasicInformation, buffer, sizeof(buffer), &result)) ==
         STATUS_SUCCESS) {
    auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
    names.emplace_back(info->Name, info->NameLength / 2);
  }
  EXPECT_EQ(status, STATUS_NO_MORE_ENTRIES);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"common", u"Device0", u"Device1", u"Zeta"}));

  ULONG fixed = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
  EXPECT_EQ(ZwEnumerateKey(key, 0, KeyBasicInformation, buffer, fixed - 1, &result), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(result, fixed + 12);
  EXPECT_EQ(ZwEnumerateKey(key, 0, KeyBasicInformation, buffer, fixed, &result), STATUS_BUFFER_OVERFLOW);

  KEY_FULL_INFORMATION full;
  ASSERT_EQ(ZwQueryKey(key, KeyFullInformation, &full, sizeof(full), &result), STATUS_SUCCESS);
  EXPECT_EQ(full.SubKeys, 4u);
  EXPECT_EQ(full.MaxNameLen, 14u);  // "Device0" in bytes
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, DeletedKeyRefusesWorkThroughHandlesStillOpen) {
  registry.CreateKey("HKLM\\Tree\\Leaf");
  HANDLE tree = nullptr, leaf = nullptr;
  ASSERT_EQ(ZwOpen(u"\\Registry\\Machine\\Tree", &tree), STATUS_SUCCESS);
  ASSERT_EQ(ZwOpen(u"Leaf", &leaf, tree), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteKey(tree), STATUS_CANNOT_DELETE);  // it has a subkey
  EXPECT_EQ(ZwDeleteKey(leaf), STATUS_SUCCESS);
  EXPECT_FALSE(registry.KeyExists("HKLM\\Tree\\Leaf"));
  EXPECT_EQ(ZwSetDword(leaf, u"x", 1), STATUS_KEY_DELETED);
  EXPECT_EQ(ZwDeleteKey(leaf), STATUS_KEY_DELETED);
  HANDLE reopened = nullptr;
  EXPECT_EQ(ZwOpen(u"Leaf", &reopened, tree), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwDeleteKey(tree), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(leaf), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(tree), STATUS_SUCCESS);

  HANDLE machineKey = nullptr;
  ASSERT_EQ(ZwOpen(u"\\Registry\\Machine", &machineKey), STATUS_SUCCESS);
  EXPECT_EQ(ZwDeleteKey(machineKey), STATUS_CANNOT_DELETE);
  EXPECT_EQ(ZwClose(machineKey), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, HandlesThatAreNotKeysAreRefused) {
  PVOID event = machine.objects().CreateObject(*ExEventObjectType, sizeof(KEVENT));
  HANDLE eventHandle = nullptr;
  ASSERT_EQ(machine.objects().CreateHandle(event, EVENT_ALL_ACCESS, true, nullptr, &eventHandle), STATUS_SUCCESS);
  machine.objects().Dereference(event);
  HANDLE closedKey = nullptr;
  ASSERT_EQ(ZwCreate(u"\\Registry\\Machine\\Gone", &closedKey), STATUS_SUCCESS);
  ASSERT_EQ(ZwClose(closedKey), STATUS_SUCCESS);

  struct {
    HANDLE handle;
    NTSTATUS expected;
  } cases[] = {
      {nullptr, STATUS_INVALID_HANDLE},
      {reinterpret_cast<HANDLE>(0x1234), STATUS_INVALID_HANDLE},
      {closedKey, STATUS_INVALID_HANDLE},
      {eventHandle, STATUS_OBJECT_TYPE_MISMATCH},
  };
  for (const auto& c : cases) {
    ULONG result = 0;
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"x");
    EXPECT_EQ(ZwQueryValueKey(c.handle, &name, KeyValuePartialInformation, nullptr, 0, &result), c.expected);
    EXPECT_EQ(ZwSetDword(c.handle, u"x", 1), c.expected);
    EXPECT_EQ(ZwEnumerateKey(c.handle, 0, KeyBasicInformation, nullptr, 0, &result), c.expected);
    EXPECT_EQ(ZwDeleteKey(c.handle), c.expected);
    HANDLE child = nullptr;
    if (c.handle) {
      EXPECT_EQ(ZwOpen(u"x", &child, c.handle), c.expected);
    }
  }
  EXPECT_EQ(ZwClose(eventHandle), STATUS_SUCCESS);
}

TEST_F(ZwRegistryTest, MalformedCallerArgumentsAreRefusedNotFollowed) {
  HANDLE key = nullptr;
  ASSERT_EQ(ZwCreate(u"\\Registry\\Machine\\Args", &key), STATUS_SUCCESS);
  ULONG result = 0;
  UNICODE_STRING odd{3, 4, const_cast<PWSTR>(u"ab")};
  UNICODE_STRING noBuffer{4, 4, nullptr};
  EXPECT_EQ(ZwQueryValueKey(key, &odd, KeyValuePartialInformation, nullptr, 0, &result),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ZwQueryValueKey(key, &noBuffer, KeyValuePartialInformation, nullptr, 0, &result),
            STATUS_INVALID_PARAMETER);
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"v");
  EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_BINARY, nullptr, 4), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(ZwSetDword(key, u"v", 1), STATUS_SUCCESS);
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 0, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 64, &result),
            STATUS_INVALID_PARAMETER);  // a length without a buffer
  EXPECT_EQ(ZwQueryValueKey(key, &name, MaxKeyValueInfoClass, nullptr, 0, &result),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

void OpenKeyAtDispatchLevel() {
  sim::Machine machine;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  HANDLE key;
  ZwOpen(u"\\Registry\\Machine", &key);
}

TEST(ZwRegistryDeathTest, CallsAbovePassiveLevelFailAtOnce) {
  EXPECT_DEATH(OpenKeyAtDispatchLevel(), "PASSIVE_LEVEL_ONLY.*ZwOpenKey");
}

}  // namespace
