// VirtualAlloc and friends: whole committed allocations of pages in the
// process's user address space.

#include "platform/win32/win32_calls.h"

#include "platform/sim/address_space.h"
#include "platform/sim/user_heap.h"

namespace {

using sim::Protection;
using sim::UserHeap;
using sim::win32::Fail;

UserHeap& Heap() { return UserHeap::Of(sim::Machine::CurrentChecked()); }

bool ToProtection(DWORD protect, Protection* protection) {
  switch (protect) {
    case PAGE_NOACCESS: *protection = Protection::NoAccess; return true;
    case PAGE_READONLY: *protection = Protection::ReadOnly; return true;
    case PAGE_READWRITE: *protection = Protection::ReadWrite; return true;
    default: return false;
  }
}

DWORD ToPageProtect(Protection protection) {
  switch (protection) {
    case Protection::NoAccess: return PAGE_NOACCESS;
    case Protection::ReadOnly: return PAGE_READONLY;
    case Protection::ReadWrite: break;
  }
  return PAGE_READWRITE;
}

bool FindVirtual(LPVOID address, UserHeap::Block* block) {
  return Heap().Find(*PsGetCurrentProcess(), address, block) && block->kind == UserHeap::Kind::Virtual;
}

}  // namespace

LPVOID VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect) {
  Protection protection;
  if (lpAddress != nullptr) {
    Fail(ERROR_INVALID_ADDRESS);
    return nullptr;
  }
  if (dwSize == 0 || !(flAllocationType & MEM_COMMIT) || (flAllocationType & ~(MEM_COMMIT | MEM_RESERVE)) ||
      !ToProtection(flProtect, &protection)) {
    Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  PEPROCESS process = PsGetCurrentProcess();
  size_t size = ROUND_TO_PAGES(dwSize);
  void* data = Heap().ShouldFail() ? nullptr : sim::UserAddressSpace::Of(*process).Allocate(size, protection);
  if (data == nullptr) {
    Fail(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return Heap().Insert(*process, UserHeap::Kind::Virtual, data, size);
}

BOOL VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType) {
  if (dwFreeType != MEM_RELEASE || dwSize != 0) return Fail(ERROR_INVALID_PARAMETER);
  UserHeap::Block block;
  PEPROCESS process = PsGetCurrentProcess();
  if (!FindVirtual(lpAddress, &block) || !Heap().Remove(*process, lpAddress, &block))
    return Fail(ERROR_INVALID_ADDRESS);
  sim::UserAddressSpace::Of(*process).Free(block.data);
  return TRUE;
}

BOOL VirtualProtect(LPVOID lpAddress, SIZE_T dwSize, DWORD flNewProtect, PDWORD lpflOldProtect) {
  Protection protection;
  if (!ToProtection(flNewProtect, &protection) || lpflOldProtect == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  UserHeap::Block block;
  if (!FindVirtual(lpAddress, &block) || ROUND_TO_PAGES(dwSize) != block.size) return Fail(ERROR_INVALID_ADDRESS);
  Protection old;
  if (!sim::UserAddressSpace::Of(*PsGetCurrentProcess()).Protect(lpAddress, protection, &old))
    return Fail(ERROR_INVALID_ADDRESS);
  *lpflOldProtect = ToPageProtect(old);
  return TRUE;
}
