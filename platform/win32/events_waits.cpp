// Events, waits and Sleep over the machine's dispatcher objects.

#include "platform/win32/win32_calls.h"

#include <thread>

#include "platform/sim/dispatcher.h"
#include "platform/sim/machine.h"
#include "platform/sim/objects.h"

namespace {

using sim::win32::Fail;
using sim::win32::FailStatus;
using sim::win32::ReferenceUserHandle;

HANDLE CreateEventObject(BOOL manualReset, BOOL initialState, bool named) {
  if (named) {
    Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  sim::ObjectManager& objects = sim::Machine::CurrentChecked().objects();
  auto* event = static_cast<PKEVENT>(objects.CreateObject(*ExEventObjectType, sizeof(KEVENT)));
  if (event == nullptr) {
    Fail(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  KeInitializeEvent(event, manualReset ? NotificationEvent : SynchronizationEvent, initialState ? TRUE : FALSE);
  HANDLE handle = nullptr;
  NTSTATUS status = objects.CreateHandle(event, EVENT_ALL_ACCESS, false, nullptr, &handle);
  objects.Dereference(event);  // the handle holds the object now
  if (!NT_SUCCESS(status)) {
    FailStatus(status);
    return nullptr;
  }
  return handle;
}

bool IsWaitable(PVOID object) {
  POBJECT_TYPE type = sim::ObjectManager::TypeOf(object);
  return type == *ExEventObjectType || type == *PsThreadType;
}

// Takes a reference on each object, or none when one handle is unusable.
bool ReferenceWaitables(DWORD count, const HANDLE* handles, PVOID* objects) {
  for (DWORD i = 0; i < count; ++i) {
    objects[i] = ReferenceUserHandle(handles[i], SYNCHRONIZE, nullptr);
    if (objects[i] != nullptr && !IsWaitable(objects[i])) {
      ObDereferenceObject(objects[i]);
      objects[i] = nullptr;
      Fail(ERROR_INVALID_HANDLE);
    }
    if (objects[i] == nullptr) {
      while (i > 0) ObDereferenceObject(objects[--i]);
      return false;
    }
  }
  return true;
}

DWORD WaitResult(NTSTATUS status) {
  if (status == STATUS_TIMEOUT) return WAIT_TIMEOUT;
  if (status >= STATUS_WAIT_0 && status < STATUS_WAIT_0 + MAXIMUM_WAIT_OBJECTS)
    return WAIT_OBJECT_0 + static_cast<DWORD>(status - STATUS_WAIT_0);
  FailStatus(status);
  return WAIT_FAILED;
}

}  // namespace

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
  return CreateEventObject(bManualReset, bInitialState, lpName != nullptr);
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
  return CreateEventObject(bManualReset, bInitialState, lpName != nullptr);
}

BOOL SetEvent(HANDLE hEvent) {
  auto* event = static_cast<PKEVENT>(ReferenceUserHandle(hEvent, EVENT_MODIFY_STATE, *ExEventObjectType));
  if (event == nullptr) return FALSE;
  KeSetEvent(event, 0, FALSE);
  ObDereferenceObject(event);
  return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
  auto* event = static_cast<PKEVENT>(ReferenceUserHandle(hEvent, EVENT_MODIFY_STATE, *ExEventObjectType));
  if (event == nullptr) return FALSE;
  KeResetEvent(event);
  ObDereferenceObject(event);
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
  if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  PVOID objects[MAXIMUM_WAIT_OBJECTS];
  if (!ReferenceWaitables(nCount, lpHandles, objects)) return WAIT_FAILED;
  DWORD result = WAIT_FAILED;
  bool duplicate = false;
  for (DWORD i = 0; bWaitAll && i < nCount; ++i)
    for (DWORD j = i + 1; j < nCount; ++j) duplicate |= objects[i] == objects[j];
  if (duplicate) {
    // Waiting for all of a list that names one object twice is refused.
    Fail(ERROR_INVALID_PARAMETER);
  } else {
    LARGE_INTEGER storage;
    NTSTATUS status = sim::Machine::CurrentChecked().dispatcher().Wait(
        sim::CurrentThreadForWait(), nCount, objects, bWaitAll ? WaitAll : WaitAny,
        sim::win32::RelativeTimeout(dwMilliseconds, &storage));
    result = WaitResult(status);
  }
  for (DWORD i = 0; i < nCount; ++i) ObDereferenceObject(objects[i]);
  return result;
}

VOID Sleep(DWORD dwMilliseconds) {
  LARGE_INTEGER storage;
  const LARGE_INTEGER* timeout = sim::win32::RelativeTimeout(dwMilliseconds, &storage);
  if (timeout != nullptr && timeout->QuadPart == 0) {
    std::this_thread::yield();
    return;
  }
  sim::Machine::CurrentChecked().dispatcher().Wait(sim::CurrentThreadForWait(), 0, nullptr, WaitAny, timeout);
}
