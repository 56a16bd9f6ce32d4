// Safe-string functions of the kernel run-time library.
#pragma once

#include "nt/rtlstring.h"
