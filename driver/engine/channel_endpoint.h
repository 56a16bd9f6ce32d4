// One client channel attached to the engine's mixer. Wave streams and the
// ASIO service implement it. The mixer calls these from the data cycle at
// DISPATCH_LEVEL under the engine's stream lock; they must not block.
#pragma once

#include <wdm.h>

class CChannelEndpoint {
 public:
  // Capture: `frames` float samples, `stride` bytes apart.
  virtual VOID CaptureWrite(const FLOAT* source, ULONG frames, ULONG stride) = 0;
  // Render: write `frames` contiguous floats; returns nonzero if it wrote.
  virtual ULONG RenderRead(FLOAT* destination, ULONG frames) = 0;
  // Render: add `frames` contiguous floats to the destination.
  virtual VOID RenderMix(FLOAT* destination, ULONG frames) = 0;
  virtual VOID BeginCycle() = 0;
  virtual VOID Advance(ULONG frames) = 0;

  // The mixer's channel list runs through here; only the mixer touches it.
  CChannelEndpoint* Next = nullptr;

 protected:
  ~CChannelEndpoint() = default;
};
