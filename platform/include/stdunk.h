// CUnknown: the standard reference-counted base of kernel COM-style objects.
//
// The count starts at 0; Release of the last reference holds the count at 1
// while the deleting destructor runs (so a QueryInterface/Release pair inside
// the destructor cannot delete twice) and returns 0. Objects come from pool:
// `new (NonPagedPoolNx, 'Tag1') CFoo(outer)` returns zeroed memory or null.
#pragma once

#include <punknown.h>

class CUnknown : public INonDelegatingUnknown {
 public:
  explicit CUnknown(PUNKNOWN OuterUnknown)
      : m_ReferenceCount(0), m_UnknownOuter(OuterUnknown ? OuterUnknown : &m_Inner) {
    m_Inner.m_Owner = this;
  }
  virtual ~CUnknown() = default;
  CUnknown(const CUnknown&) = delete;
  CUnknown& operator=(const CUnknown&) = delete;

  PUNKNOWN GetOuterUnknown() const { return m_UnknownOuter; }

  STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface) override {
    if (IsEqualGUID(InterfaceId, IID_IUnknown)) {
      *Interface = static_cast<PUNKNOWN>(&m_Inner);
      NonDelegatingAddRef();
      return STATUS_SUCCESS;
    }
    *Interface = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  STDMETHODIMP_(ULONG) NonDelegatingAddRef() override {
    return static_cast<ULONG>(InterlockedIncrement(&m_ReferenceCount));
  }
  STDMETHODIMP_(ULONG) NonDelegatingRelease() override {
    LONG remaining = InterlockedDecrement(&m_ReferenceCount);
    if (remaining == 0) {
      InterlockedExchange(&m_ReferenceCount, 1);
      delete this;
      return 0;
    }
    return static_cast<ULONG>(remaining);
  }

  // Pool allocation for every derived class; the memory is zeroed.
  static void* operator new(size_t Size, POOL_TYPE PoolType, ULONG Tag) noexcept {
    POOL_FLAGS flags = (PoolType & 1) ? POOL_FLAG_PAGED : POOL_FLAG_NON_PAGED;
    return ExAllocatePool2(flags, Size, Tag);
  }
  static void* operator new(size_t Size, POOL_FLAGS Flags, ULONG Tag) noexcept {
    return ExAllocatePool2(Flags & ~POOL_FLAG_UNINITIALIZED, Size, Tag);
  }
  static void operator delete(void* Block) { ExFreePool(Block); }
  static void operator delete(void* Block, POOL_TYPE, ULONG) { ExFreePool(Block); }
  static void operator delete(void* Block, POOL_FLAGS, ULONG) { ExFreePool(Block); }

 protected:
  LONG m_ReferenceCount;

 private:
  // The object's own IUnknown when it is not aggregated: answers with the
  // non-delegating methods, without reinterpreting the interface table.
  struct InnerUnknown : IUnknown {
    CUnknown* m_Owner = nullptr;
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID InterfaceId, PVOID* Interface) override {
      return m_Owner->NonDelegatingQueryInterface(InterfaceId, Interface);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return m_Owner->NonDelegatingAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return m_Owner->NonDelegatingRelease(); }
  };

  InnerUnknown m_Inner;
  PUNKNOWN m_UnknownOuter;
};

// The three IUnknown methods of a class derived from CUnknown, forwarding to
// the outer unknown, and its NonDelegatingQueryInterface declaration.
#define DECLARE_STD_UNKNOWN()                                                      \
  STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID InterfaceId,         \
                                                      PVOID* Interface) override; \
  STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID InterfaceId, PVOID* Interface) override { \
    return GetOuterUnknown()->QueryInterface(InterfaceId, Interface);             \
  }                                                                               \
  STDMETHODIMP_(ULONG) AddRef() override { return GetOuterUnknown()->AddRef(); }  \
  STDMETHODIMP_(ULONG) Release() override { return GetOuterUnknown()->Release(); }

#define DEFINE_STD_CONSTRUCTOR(Class) \
  explicit Class(PUNKNOWN OuterUnknown) : CUnknown(OuterUnknown) {}
