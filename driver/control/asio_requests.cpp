// The ASIO group: the unit's ASIO service and the driver-wide ASIO group,
// reached through the stream engine. The router sends these only for a unit
// at high speed.

#include "common/control_codes.h"
#include "driver/control/control_groups.h"
#include "driver/engine/stream_engine.h"

NTSTATUS HandleAsioRequest(CStreamEngine* engine, const CONTROL_REQUEST& request,
                           BOOLEAN* keepPending) {
  UNREFERENCED_PARAMETER(engine);
  UNREFERENCED_PARAMETER(keepPending);
  switch (request.Code) {
    case IOCTL_ASIO_NOP:
      return STATUS_SUCCESS;
    // Routed here by the code table, answered by nobody.
    case IOCTL_ASIO_RESERVED1:
    case IOCTL_ASIO_RESERVED2:
      return STATUS_INVALID_PARAMETER;
    default:
      return STATUS_NOT_IMPLEMENTED;
  }
}
