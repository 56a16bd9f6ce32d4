// What every command-number service answers for a command it does not list.
#pragma once

#include <wdm.h>

inline constexpr ULONG kServiceUnlisted = 0xFFFFFFFF;
