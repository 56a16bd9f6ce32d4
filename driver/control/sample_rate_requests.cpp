// The sample-rate group: the driver rate and the state of the unit's rate
// controller, read and chosen through the stream engine.

#include "driver/control/control_groups.h"
#include "driver/engine/stream_engine.h"

NTSTATUS HandleSampleRateRequest(CStreamEngine* engine, const CONTROL_REQUEST& request) {
  UNREFERENCED_PARAMETER(engine);
  UNREFERENCED_PARAMETER(request);
  return STATUS_NOT_IMPLEMENTED;
}
