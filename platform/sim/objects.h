// The object manager as seen by the rest of the platform: typed,
// reference-counted objects with a header before the body, handle tables per
// process plus the kernel handle table, and the processes themselves.
//
// Lock: each handle table has its own mutex; object reference counts are
// atomic. Neither is held while a type's close or delete procedure runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include <wdm.h>

struct _OBJECT_TYPE {
  const char* name;
  // Runs when the last reference goes; destroys the body (not the storage).
  void (*deleteProcedure)(PVOID body);
  // Runs after a handle to the object is closed; `remainingHandles` counts
  // the handles still open in all processes.
  void (*closeProcedure)(PVOID body, ULONG remainingHandles, struct _EPROCESS* process);
  // Full access mask for this type; GENERIC_ALL and MAXIMUM_ALLOWED map to it.
  ACCESS_MASK allAccess;
};

namespace sim {

class Machine;

class HandleTable {
 public:
  struct Entry {
    PVOID object = nullptr;
    ACCESS_MASK access = 0;
    ULONG attributes = 0;
  };
  HANDLE Insert(PVOID object, ACCESS_MASK access, ULONG attributes, bool kernel);
  bool Lookup(HANDLE handle, Entry* entry) const;
  bool Remove(HANDLE handle, Entry* entry);
  std::vector<Entry> RemoveAll();
  size_t Count() const;

 private:
  mutable std::mutex lock_;
  std::vector<Entry> entries_;
  std::vector<size_t> free_;
};

}  // namespace sim

// A simulated process: its id, its handle table and whether it is a 32-bit
// process (IoIs32bitProcess). The user address space is attached by the
// memory manager.
struct _EPROCESS {
  ULONG id = 0;
  bool is32Bit = false;
  bool isSystem = false;
  sim::HandleTable handles;
  void* addressSpace = nullptr;  // owned by the memory manager
};

namespace sim {

using Process = _EPROCESS;

class ObjectManager {
 public:
  explicit ObjectManager(Machine& machine);
  ~ObjectManager();

  // Allocates an object with a zeroed body of `bodySize` bytes and one
  // reference, owned by the caller.
  PVOID CreateObject(POBJECT_TYPE type, size_t bodySize);

  // Constructs a T as the body; the type's delete procedure must run ~T
  // (see DestroyBody).
  template <typename T, typename... Args>
  T* New(POBJECT_TYPE type, Args&&... args) {
    void* body = CreateObject(type, sizeof(T));
    return new (body) T(std::forward<Args>(args)...);
  }
  template <typename T>
  static void DestroyBody(PVOID body) {
    static_cast<T*>(body)->~T();
  }

  static bool IsObject(PVOID body);
  static POBJECT_TYPE TypeOf(PVOID body);
  static LONG_PTR ReferenceCount(PVOID body);
  static ULONG HandleCount(PVOID body);
  LONG_PTR Reference(PVOID body);
  LONG_PTR Dereference(PVOID body);

  // Inserts a handle and takes a reference for it. Kernel handles go to the
  // kernel table, others to `process` (the current process when null).
  NTSTATUS CreateHandle(PVOID body, ACCESS_MASK access, bool kernelHandle, Process* process,
                        HANDLE* handle);
  // Looks a handle up in the current process (or the kernel table for kernel
  // handles) and returns the object with a new reference.
  NTSTATUS ReferenceByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE type,
                             KPROCESSOR_MODE mode, PVOID* object, ACCESS_MASK* granted);
  NTSTATUS Close(HANDLE handle, KPROCESSOR_MODE mode);
  static bool IsKernelHandle(HANDLE handle);

  Process& systemProcess() { return *system_; }
  Process& userProcess() { return *user_; }
  Process* CreateProcess(bool is32Bit);
  // Closes every handle of a process, as process exit does.
  void CloseAllHandles(Process& process);
  size_t kernelHandleCount() const { return system_->handles.Count(); }
  size_t liveObjects() const { return live_.load(); }

 private:
  Machine& machine_;
  std::atomic<size_t> live_{0};
  std::atomic<ULONG> nextProcessId_{4};
  Process* system_;
  Process* user_;
  std::mutex processesLock_;
  std::vector<Process*> processes_;
};

}  // namespace sim
