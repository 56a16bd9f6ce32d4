// Raising a status: the platform's stand-in for a structured exception,
// caught by the __try/__except mapping of nt/seh.h.

#include <nt/seh.h>

VOID ExRaiseStatus(NTSTATUS Status) { throw NtRaisedException{Status}; }
