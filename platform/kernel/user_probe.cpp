// ProbeForRead and ProbeForWrite: a range is user memory only when the
// current process's address space registers every byte of it.

#include <wdm.h>

#include "platform/sim/address_space.h"

namespace {

void Probe(const volatile void* address, SIZE_T length, ULONG alignment, bool write) {
  if (length == 0) return;
  if (alignment != 0 && reinterpret_cast<ULONG_PTR>(address) % alignment != 0)
    ExRaiseStatus(STATUS_DATATYPE_MISALIGNMENT);
  if (!sim::UserAddressSpace::Current().IsAccessible(const_cast<const void*>(address), length, write))
    ExRaiseStatus(STATUS_ACCESS_VIOLATION);
}

}  // namespace

VOID ProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment) {
  Probe(Address, Length, Alignment, false);
}

VOID ProbeForWrite(volatile VOID* Address, SIZE_T Length, ULONG Alignment) { Probe(Address, Length, Alignment, true); }
