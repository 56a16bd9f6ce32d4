// USB types for kernel-mode clients: descriptors, URBs and status values.
#pragma once

#include "usbspec.h"
#include "usbdi.h"
