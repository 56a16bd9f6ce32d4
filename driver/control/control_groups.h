// The three handler groups the control router hands requests to. Each gets
// the request's one record (the system buffer, input and output at once)
// and returns the status the router completes the request with.
//
// The router has already checked the record: for the USB-device and
// sample-rate groups Buffer is non-null and both lengths cover the code's
// record; for the ASIO group a buffer that is present covers the record, but
// Buffer may be null (each ASIO code decides what no record means).
//
// All run at PASSIVE_LEVEL with the context's ControlRequestEvent held, one
// request per unit at a time. Inside it they take the driver state's
// SettingsLock or the ASIO group's lock only briefly and alone, and block
// (USB requests, the device's PipeEvent, engine commands) only with no spin
// lock held.
#pragma once

#include <wdm.h>

class CUsbDevice;
class CStreamEngine;

struct CONTROL_REQUEST {
  PIRP Irp;
  ULONG Code;
  PUCHAR Buffer;
  ULONG InputLength;
  ULONG OutputLength;
};

// Facts about the unit and its connection, and the settings record.
NTSTATUS HandleUsbDeviceRequest(CUsbDevice* device, const CONTROL_REQUEST& request);

// The driver rate and the rate controller's state.
NTSTATUS HandleSampleRateRequest(CStreamEngine* engine, const CONTROL_REQUEST& request);

// The unit's ASIO service and the driver-wide ASIO group. `keepPending` is
// clear on entry; a handler that sets it owns the request and completes it
// later.
NTSTATUS HandleAsioRequest(CStreamEngine* engine, const CONTROL_REQUEST& request,
                           BOOLEAN* keepPending);
