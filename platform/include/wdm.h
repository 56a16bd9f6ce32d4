// Kernel-mode driver interface of the simulated platform.
#pragma once

#include "nt/basetypes.h"
#include "ntstatus.h"
#include "nt/rtl.h"
#include "nt/ke.h"
#include "nt/ex.h"
#include "nt/ob.h"
#include "nt/ps.h"
#include "nt/io.h"
#include "nt/seh.h"
#include "nt/mm.h"
#if __has_include("nt/zw.h")
#include "nt/zw.h"
#endif
#if __has_include("nt/rtlstring.h")
#include "nt/rtlstring.h"
#endif
