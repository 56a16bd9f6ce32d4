// GlobalAlloc and friends: fixed and movable blocks in the process's user
// address space, placed after a heap header as a heap places them, so they
// are neither page aligned nor followed by registered bytes.

#include "platform/win32/win32_calls.h"

#include <cstring>

#include "platform/sim/address_space.h"
#include "platform/sim/user_heap.h"

namespace {

using sim::UserHeap;
using sim::win32::Fail;

constexpr size_t kHeapHeader = 16;
constexpr UINT kKnownFlags = GMEM_MOVEABLE | GMEM_ZEROINIT | GMEM_NOCOMPACT | GMEM_NODISCARD;
// What a heap leaves in memory it did not clear, so code that forgets
// GMEM_ZEROINIT reads garbage, not zeros.
constexpr unsigned char kUninitialisedFill = 0xCD;

UserHeap& Heap() { return UserHeap::Of(sim::Machine::CurrentChecked()); }

// The block of a global memory handle, or of a fixed block's address.
bool FindGlobal(HGLOBAL handle, UserHeap::Block* block) {
  return Heap().Find(*PsGetCurrentProcess(), handle, block) && block->kind != UserHeap::Kind::Virtual;
}

}  // namespace

HGLOBAL GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  if (uFlags & ~kKnownFlags) {
    Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  PEPROCESS process = PsGetCurrentProcess();
  void* data = Heap().ShouldFail()
                   ? nullptr
                   : sim::UserAddressSpace::Of(*process).Allocate(dwBytes, sim::Protection::ReadWrite, kHeapHeader);
  if (data == nullptr) {
    Fail(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (!(uFlags & GMEM_ZEROINIT)) std::memset(data, kUninitialisedFill, dwBytes);
  auto kind = (uFlags & GMEM_MOVEABLE) ? UserHeap::Kind::Movable : UserHeap::Kind::Fixed;
  return Heap().Insert(*process, kind, data, dwBytes);
}

LPVOID GlobalLock(HGLOBAL hMem) {
  UserHeap::Block block;
  if (!FindGlobal(hMem, &block)) {
    Fail(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (block.kind == UserHeap::Kind::Movable &&
      !Heap().Update(*PsGetCurrentProcess(), hMem, [](UserHeap::Block& entry) { ++entry.locks; })) {
    Fail(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return block.data;
}

BOOL GlobalUnlock(HGLOBAL hMem) {
  UserHeap::Block block;
  if (!FindGlobal(hMem, &block)) return Fail(ERROR_INVALID_HANDLE);
  if (block.kind == UserHeap::Kind::Fixed) return TRUE;
  int before = 0;
  bool found = Heap().Update(*PsGetCurrentProcess(), hMem, [&before](UserHeap::Block& entry) {
    before = entry.locks;
    if (entry.locks > 0) --entry.locks;
  });
  if (!found) return Fail(ERROR_INVALID_HANDLE);
  if (before == 0) return Fail(ERROR_NOT_LOCKED);
  if (before > 1) return TRUE;
  SetLastError(NO_ERROR);  // FALSE with no error: now unlocked
  return FALSE;
}

HGLOBAL GlobalFree(HGLOBAL hMem) {
  PEPROCESS process = PsGetCurrentProcess();
  UserHeap::Block block;
  if (!FindGlobal(hMem, &block) || !Heap().Remove(*process, hMem, &block)) {
    Fail(ERROR_INVALID_HANDLE);
    return hMem;
  }
  // A block still locked is freed too, as Windows does.
  sim::UserAddressSpace::Of(*process).Free(block.data);
  return nullptr;
}

SIZE_T GlobalSize(HGLOBAL hMem) {
  UserHeap::Block block;
  if (!FindGlobal(hMem, &block)) {
    Fail(ERROR_INVALID_HANDLE);
    return 0;
  }
  return block.size;
}
