// Object manager: headers, references, handle tables and processes.

#include "platform/sim/objects.h"

#include <cstdlib>
#include <cstring>

#include "platform/sim/address_space.h"
#include "platform/sim/dispatcher.h"
#include "platform/sim/machine.h"
#include "platform/sim/verifier.h"

namespace {

constexpr uint32_t kObjectMagic = 0x4F424A48;  // "HJBO"
constexpr ULONG_PTR kKernelHandleBits = ~ULONG_PTR{0x7FFFFFFF};

// Precedes every object body; 16-byte multiple so bodies stay aligned.
struct alignas(16) ObjectHeader {
  uint32_t magic;
  POBJECT_TYPE type;
  std::atomic<LONG_PTR> references;
  std::atomic<ULONG> handles;
  size_t bodySize;
};

ObjectHeader* HeaderOf(PVOID body) {
  return reinterpret_cast<ObjectHeader*>(static_cast<char*>(body) - sizeof(ObjectHeader));
}

void DeleteEvent(PVOID) {}
_OBJECT_TYPE eventType = {"Event", DeleteEvent, nullptr, EVENT_ALL_ACCESS};
_OBJECT_TYPE* eventTypePointer = &eventType;
_OBJECT_TYPE processType = {"Process", nullptr, nullptr, STANDARD_RIGHTS_ALL | 0xFFFF};
_OBJECT_TYPE* processTypePointer = &processType;

ACCESS_MASK MapGeneric(ACCESS_MASK access, POBJECT_TYPE type) {
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) return type->allAccess;
  ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE);
  if (access & (GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE)) mapped |= type->allAccess & ~DELETE;
  return mapped;
}

}  // namespace

POBJECT_TYPE* ExEventObjectType = &eventTypePointer;
POBJECT_TYPE* PsProcessType = &processTypePointer;

namespace sim {

// ---------------------------------------------------------------------------
// Handle tables

HANDLE HandleTable::Insert(PVOID object, ACCESS_MASK access, ULONG attributes, bool kernel) {
  std::lock_guard<std::mutex> guard(lock_);
  size_t index;
  if (!free_.empty()) {
    index = free_.back();
    free_.pop_back();
    entries_[index] = Entry{object, access, attributes};
  } else {
    index = entries_.size();
    entries_.push_back(Entry{object, access, attributes});
  }
  ULONG_PTR value = (index + 1) << 2;
  if (kernel) value |= kKernelHandleBits;
  return reinterpret_cast<HANDLE>(value);
}

namespace {
bool IndexOf(HANDLE handle, size_t* index) {
  ULONG_PTR value = reinterpret_cast<ULONG_PTR>(handle) & 0x7FFFFFFF;
  if (value == 0 || (value & 3) != 0) return false;
  *index = (value >> 2) - 1;
  return true;
}
}  // namespace

bool HandleTable::Lookup(HANDLE handle, Entry* entry) const {
  size_t index;
  if (!IndexOf(handle, &index)) return false;
  std::lock_guard<std::mutex> guard(lock_);
  if (index >= entries_.size() || entries_[index].object == nullptr) return false;
  *entry = entries_[index];
  return true;
}

bool HandleTable::Remove(HANDLE handle, Entry* entry) {
  size_t index;
  if (!IndexOf(handle, &index)) return false;
  std::lock_guard<std::mutex> guard(lock_);
  if (index >= entries_.size() || entries_[index].object == nullptr) return false;
  *entry = entries_[index];
  entries_[index] = Entry{};
  free_.push_back(index);
  return true;
}

std::vector<HandleTable::Entry> HandleTable::RemoveAll() {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<Entry> removed;
  for (auto& entry : entries_)
    if (entry.object != nullptr) removed.push_back(entry);
  entries_.clear();
  free_.clear();
  return removed;
}

size_t HandleTable::Count() const {
  std::lock_guard<std::mutex> guard(lock_);
  size_t count = 0;
  for (const auto& entry : entries_) count += entry.object != nullptr;
  return count;
}

// ---------------------------------------------------------------------------
// Objects

ObjectManager::ObjectManager(Machine& machine) : machine_(machine) {
  system_ = CreateProcess(false);
  system_->isSystem = true;
  user_ = CreateProcess(false);
}

ObjectManager::~ObjectManager() {
  for (Process* process : processes_) {
    ReleaseAddressSpace(*process);
    delete process;
  }
}

PVOID ObjectManager::CreateObject(POBJECT_TYPE type, size_t bodySize) {
  size_t total = sizeof(ObjectHeader) + ((bodySize + 15) & ~size_t{15});
  void* storage = std::aligned_alloc(alignof(ObjectHeader), total);
  if (storage == nullptr) return nullptr;
  std::memset(storage, 0, total);
  auto* header = new (storage) ObjectHeader;
  header->magic = kObjectMagic;
  header->type = type;
  header->references.store(1);
  header->handles.store(0);
  header->bodySize = bodySize;
  ++live_;
  return reinterpret_cast<char*>(header) + sizeof(ObjectHeader);
}

bool ObjectManager::IsObject(PVOID body) { return body != nullptr && HeaderOf(body)->magic == kObjectMagic; }

POBJECT_TYPE ObjectManager::TypeOf(PVOID body) { return HeaderOf(body)->type; }

LONG_PTR ObjectManager::ReferenceCount(PVOID body) { return HeaderOf(body)->references.load(); }

ULONG ObjectManager::HandleCount(PVOID body) { return HeaderOf(body)->handles.load(); }

LONG_PTR ObjectManager::Reference(PVOID body) {
  if (!IsObject(body)) VerifierFail(rule::kObjectReference, "reference to something that is not an object");
  return HeaderOf(body)->references.fetch_add(1) + 1;
}

LONG_PTR ObjectManager::Dereference(PVOID body) {
  if (!IsObject(body)) VerifierFail(rule::kObjectReference, "dereference of something that is not an object");
  ObjectHeader* header = HeaderOf(body);
  LONG_PTR remaining = header->references.fetch_sub(1) - 1;
  if (remaining < 0) VerifierFail(rule::kObjectReference, "object dereferenced below zero");
  if (remaining == 0) {
    if (header->type->deleteProcedure) header->type->deleteProcedure(body);
    header->magic = 0;
    header->~ObjectHeader();
    std::free(header);
    --live_;
  }
  return remaining;
}

bool ObjectManager::IsKernelHandle(HANDLE handle) {
  return (reinterpret_cast<ULONG_PTR>(handle) & kKernelHandleBits) == kKernelHandleBits &&
         reinterpret_cast<LONG_PTR>(handle) < -2;
}

NTSTATUS ObjectManager::CreateHandle(PVOID body, ACCESS_MASK access, bool kernelHandle, Process* process,
                                     HANDLE* handle) {
  if (process == nullptr) process = PsGetCurrentProcess();
  ObjectHeader* header = HeaderOf(body);
  Reference(body);
  header->handles.fetch_add(1);
  HandleTable& table = kernelHandle ? system_->handles : process->handles;
  *handle = table.Insert(body, MapGeneric(access, header->type), 0, kernelHandle);
  return STATUS_SUCCESS;
}

NTSTATUS ObjectManager::ReferenceByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE type,
                                          KPROCESSOR_MODE mode, PVOID* object, ACCESS_MASK* granted) {
  if (object == nullptr) return STATUS_INVALID_PARAMETER;
  *object = nullptr;
  // The current-thread pseudo handle.
  if (handle == reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2))) {
    PKTHREAD thread = CurrentThreadState().thread;
    if (thread == nullptr || !IsObject(thread)) return STATUS_INVALID_HANDLE;
    if (type != nullptr && type != *PsThreadType) return STATUS_OBJECT_TYPE_MISMATCH;
    Reference(thread);
    *object = thread;
    if (granted) *granted = THREAD_ALL_ACCESS;
    return STATUS_SUCCESS;
  }
  bool kernel = IsKernelHandle(handle);
  if (kernel && mode == UserMode) return STATUS_INVALID_HANDLE;
  HandleTable::Entry entry;
  HandleTable& table = kernel ? system_->handles : PsGetCurrentProcess()->handles;
  if (!table.Lookup(handle, &entry)) return STATUS_INVALID_HANDLE;
  if (type != nullptr && TypeOf(entry.object) != type) return STATUS_OBJECT_TYPE_MISMATCH;
  if (mode == UserMode) {
    ACCESS_MASK wanted = MapGeneric(desiredAccess, TypeOf(entry.object));
    if ((entry.access & wanted) != wanted) return STATUS_ACCESS_DENIED;
  }
  Reference(entry.object);
  *object = entry.object;
  if (granted) *granted = entry.access;
  return STATUS_SUCCESS;
}

NTSTATUS ObjectManager::Close(HANDLE handle, KPROCESSOR_MODE mode) {
  bool kernel = IsKernelHandle(handle);
  if (kernel && mode == UserMode) return STATUS_INVALID_HANDLE;
  Process* process = kernel ? system_ : PsGetCurrentProcess();
  HandleTable::Entry entry;
  if (!process->handles.Remove(handle, &entry)) return STATUS_INVALID_HANDLE;
  ObjectHeader* header = HeaderOf(entry.object);
  ULONG remaining = header->handles.fetch_sub(1) - 1;
  if (header->type->closeProcedure) header->type->closeProcedure(entry.object, remaining, process);
  Dereference(entry.object);
  return STATUS_SUCCESS;
}

Process* ObjectManager::CreateProcess(bool is32Bit) {
  auto* process = new Process;
  process->id = nextProcessId_.fetch_add(4);
  process->is32Bit = is32Bit;
  std::lock_guard<std::mutex> guard(processesLock_);
  processes_.push_back(process);
  return process;
}

void ObjectManager::CloseAllHandles(Process& process) {
  for (auto& entry : process.handles.RemoveAll()) {
    ObjectHeader* header = HeaderOf(entry.object);
    ULONG remaining = header->handles.fetch_sub(1) - 1;
    if (header->type->closeProcedure) header->type->closeProcedure(entry.object, remaining, &process);
    Dereference(entry.object);
  }
}

}  // namespace sim

// ---------------------------------------------------------------------------
// Kernel entry points

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation) {
  ACCESS_MASK granted = 0;
  NTSTATUS status = sim::Machine::CurrentChecked().objects().ReferenceByHandle(Handle, DesiredAccess, ObjectType,
                                                                               AccessMode, Object, &granted);
  if (NT_SUCCESS(status) && HandleInformation) {
    HandleInformation->GrantedAccess = granted;
    HandleInformation->HandleAttributes = 0;
  }
  return status;
}

LONG_PTR ObfReferenceObject(PVOID Object, const std::source_location& Caller) {
  if (!sim::ObjectManager::IsObject(Object))
    sim::VerifierFail(sim::rule::kObjectReference, "ObReferenceObject on something that is not an object", Caller);
  return sim::Machine::CurrentChecked().objects().Reference(Object);
}

LONG_PTR ObfDereferenceObject(PVOID Object, const std::source_location& Caller) {
  if (!sim::ObjectManager::IsObject(Object))
    sim::VerifierFail(sim::rule::kObjectReference, "ObDereferenceObject on something that is not an object",
                      Caller);
  return sim::Machine::CurrentChecked().objects().Dereference(Object);
}

NTSTATUS ZwClose(HANDLE Handle) { return sim::Machine::CurrentChecked().objects().Close(Handle, KernelMode); }

NTSTATUS NtClose(HANDLE Handle) { return ZwClose(Handle); }
