// Device files: CreateFile on \\.\NAME and DeviceIoControl, handed to the
// machine's I/O manager, which builds the requests and waits for them.

#include "platform/win32/win32_calls.h"

#include <string>

#include "platform/sim/io_manager.h"
#include "platform/sim/registry.h"

namespace {

using sim::win32::Fail;
using sim::win32::FailStatus;

constexpr char16_t kDevicePrefix[] = u"\\\\.\\";

HANDLE OpenDevice(const std::u16string& path, DWORD access, DWORD disposition) {
  if (path.rfind(kDevicePrefix, 0) != 0) {
    // The machine has devices but no file system.
    Fail(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (disposition != OPEN_EXISTING) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  sim::Machine& machine = sim::Machine::CurrentChecked();
  HANDLE handle = nullptr;
  NTSTATUS status = sim::IoManager::Of(machine).OpenFile(path, access, PsGetCurrentProcess(), &handle);
  if (!NT_SUCCESS(status)) {
    FailStatus(status);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

}  // namespace

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD, HANDLE) {
  if (lpFileName == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  return OpenDevice(sim::Utf8ToUtf16(lpFileName), dwDesiredAccess, dwCreationDisposition);
}

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD, HANDLE) {
  if (lpFileName == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  return OpenDevice(lpFileName, dwDesiredAccess, dwCreationDisposition);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  ULONG_PTR information = 0;
  NTSTATUS status = sim::IoManager::Of(sim::Machine::CurrentChecked())
                        .DeviceControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                       nOutBufferSize, &information);
  // An error moves no data; a warning (a partial transfer) reports its bytes.
  DWORD transferred = NT_ERROR(status) ? 0 : static_cast<DWORD>(information);
  if (lpBytesReturned != nullptr) *lpBytesReturned = transferred;
  if (lpOverlapped != nullptr) {
    lpOverlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(status));
    lpOverlapped->InternalHigh = transferred;
    if (lpOverlapped->hEvent != nullptr) SetEvent(lpOverlapped->hEvent);
  }
  return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}

BOOL GetOverlappedResult(HANDLE, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL) {
  if (lpOverlapped == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  // Requests complete inside DeviceIoControl, so there is never one to wait for.
  auto status = static_cast<NTSTATUS>(static_cast<ULONG>(lpOverlapped->Internal));
  if (lpNumberOfBytesTransferred != nullptr) *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}
