// The kernel's COM-style base: IUnknown with NTSTATUS results, the method
// macros, and the non-delegating unknown used for aggregation.
#pragma once

#include <wdm.h>

#ifndef STDMETHODCALLTYPE
#define STDMETHODCALLTYPE
#endif
#ifndef PURE
#define PURE = 0
#endif
#ifndef STDMETHOD
#define STDMETHOD(method) virtual NTSTATUS STDMETHODCALLTYPE method
#endif
#ifndef STDMETHOD_
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#endif
#ifndef STDMETHODIMP
#define STDMETHODIMP NTSTATUS STDMETHODCALLTYPE
#endif
#ifndef STDMETHODIMP_
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#endif

// User-mode COM declares the same interface (HRESULT and NTSTATUS are both
// LONG here), so whichever header comes first defines it.
#ifndef __IUnknown_INTERFACE_DEFINED__
#define __IUnknown_INTERFACE_DEFINED__
DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x46);

struct IUnknown {
  STDMETHOD_(NTSTATUS, QueryInterface)(REFIID InterfaceId, PVOID* Interface) PURE;
  STDMETHOD_(ULONG, AddRef)() PURE;
  STDMETHOD_(ULONG, Release)() PURE;

 protected:
  ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;
#endif
typedef IUnknown* PUNKNOWN;

// The inner unknown of an aggregatable object: its own count and interface
// table, reached by the outer object; the object's IUnknown methods forward
// to the outer unknown.
struct INonDelegatingUnknown {
  STDMETHOD_(NTSTATUS, NonDelegatingQueryInterface)(REFIID InterfaceId, PVOID* Interface) PURE;
  STDMETHOD_(ULONG, NonDelegatingAddRef)() PURE;
  STDMETHOD_(ULONG, NonDelegatingRelease)() PURE;

 protected:
  ~INonDelegatingUnknown() = default;
};
typedef INonDelegatingUnknown* PNONDELEGATINGUNKNOWN;

// A creation function of the shape the port class uses for miniports.
typedef NTSTATUS (*PFNCREATEINSTANCE)(PUNKNOWN* Unknown, REFCLSID ClassId, PUNKNOWN OuterUnknown,
                                      POOL_TYPE PoolType);
