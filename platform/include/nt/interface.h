// The header every interface returned by IRP_MN_QUERY_INTERFACE begins with.
#pragma once

#include "nt/basetypes.h"

#ifndef TARVIK_NT_INTERFACE_DEFINED
#define TARVIK_NT_INTERFACE_DEFINED

typedef VOID (*PINTERFACE_REFERENCE)(PVOID Context);
typedef VOID (*PINTERFACE_DEREFERENCE)(PVOID Context);

typedef struct _INTERFACE {
  USHORT Size;
  USHORT Version;
  PVOID Context;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  // Interface-specific entries follow.
} INTERFACE, *PINTERFACE;

#endif
