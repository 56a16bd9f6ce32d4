// For the small function drivers tests load: a request the lower drivers
// must see first, such as a start.
#pragma once

#include <wdm.h>

namespace test_support {

// Passes the request down and waits until the lower drivers are done with
// it; the caller still owns it and completes it.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp);

}  // namespace test_support
