// Kernel threads, user threads and a saver working on one hive at once:
// the hive lock keeps each caller's view whole (run under ThreadSanitizer).
#include <gtest/gtest.h>

#include <winreg.h>

#include <atomic>
#include <thread>

#include "tests/platform/registry/registry_test_support.h"

namespace {

using namespace registry_test;

constexpr int kRounds = 1000;

void KernelRounds(int id, std::atomic<int>* mismatches) {
  HANDLE shared = nullptr;
  ASSERT_EQ(ZwOpen(u"\\Registry\\Machine\\SOFTWARE\\Shared", &shared), STATUS_SUCCESS);
  std::u16string name = u"Kernel" + std::u16string(1, char16_t(u'0' + id));
  for (int i = 0; i < kRounds; ++i) {
    HANDLE key = nullptr;
    ASSERT_EQ(ZwCreate(name.c_str(), &key, shared), STATUS_SUCCESS);
    ASSERT_EQ(ZwSetDword(key, u"n", ULONG(i)), STATUS_SUCCESS);
    alignas(8) uint8_t buffer[32];
    ULONG length = 0;
    UNICODE_STRING value = RTL_CONSTANT_STRING(u"n");
    ASSERT_EQ(ZwQueryValueKey(key, &value, KeyValuePartialInformation, buffer, sizeof(buffer), &length),
              STATUS_SUCCESS);
    ULONG read;
    memcpy(&read, reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer)->Data, 4);
    if (read != ULONG(i)) ++*mismatches;
    ASSERT_EQ(ZwDeleteKey(key), STATUS_SUCCESS);
    ASSERT_EQ(ZwClose(key), STATUS_SUCCESS);
  }
  ASSERT_EQ(ZwSetDword(shared, (name + u"Done").c_str(), kRounds), STATUS_SUCCESS);
  ASSERT_EQ(ZwClose(shared), STATUS_SUCCESS);
}

void UserRounds(int id, std::atomic<int>* mismatches) {
  std::string path = "SOFTWARE\\Shared\\User" + std::to_string(id);
  for (int i = 0; i < kRounds; ++i) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    DWORD value = DWORD(i), read = 0, size = sizeof(read);
    ASSERT_EQ(RegSetValueExA(key, "n", 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), 4), ERROR_SUCCESS);
    ASSERT_EQ(RegQueryValueExA(key, "n", nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size), ERROR_SUCCESS);
    if (read != value) ++*mismatches;
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str()), ERROR_SUCCESS);
  }
  HKEY shared = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared", 0, KEY_SET_VALUE, &shared), ERROR_SUCCESS);
  DWORD done = kRounds;
  ASSERT_EQ(RegSetValueExA(shared, ("User" + std::to_string(id) + "Done").c_str(), 0, REG_DWORD,
                           reinterpret_cast<BYTE*>(&done), 4),
            ERROR_SUCCESS);
  ASSERT_EQ(RegCloseKey(shared), ERROR_SUCCESS);
}

TEST(RegistryConcurrency, KernelUserAndSaverInterleave) {
  sim::Machine machine;
  sim::Registry& registry = machine.service<sim::Registry>();
  registry.CreateKey("HKLM\\SOFTWARE\\Shared");
  std::atomic<int> mismatches{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int id = 0; id < 4; ++id) {
    threads.emplace_back([&, id] {
      sim::ThreadScope scope(machine);
      if (id % 2 == 0)
        KernelRounds(id, &mismatches);
      else
        UserRounds(id, &mismatches);
    });
  }
  std::thread saver([&] {
    while (!stop.load()) {
      std::string text = registry.SaveRegText();
      if (text.size() < 2 || text.substr(0, 2) != "\xFF\xFE") ++mismatches;
    }
  });
  for (auto& thread : threads) thread.join();
  stop = true;
  saver.join();

  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_TRUE(registry.SubkeyNames("HKLM\\SOFTWARE\\Shared").empty());
  for (const char* done : {"Kernel0Done", "User1Done", "Kernel2Done", "User3Done"})
    EXPECT_EQ(registry.ReadDword("HKLM\\SOFTWARE\\Shared", done), DWORD(kRounds)) << done;
}

}  // namespace
