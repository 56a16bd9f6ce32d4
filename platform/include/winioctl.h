// Device I/O control codes for user mode.
#pragma once

#include "nt/ctlcode.h"
