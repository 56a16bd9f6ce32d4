// The router of the control device's device-control requests: one check of
// the buffer against the code's record, then the USB-device, sample-rate or
// ASIO handler group, then completion with the group's status and the
// caller's output length (unless the ASIO group keeps the request pending).
//
// Called at PASSIVE_LEVEL with the context's ControlRequestEvent held, so at
// most one request per unit is inside the router.
#pragma once

#include <wdm.h>

class CDeviceContext;

// STATUS_INVALID_PARAMETER without completing when the request or the
// context is missing; otherwise the request is completed here (or kept by
// the ASIO group) and the group's status returned.
NTSTATUS DispatchControlRequest(CDeviceContext* context, PIRP irp);
