// A driver that keeps a pool block from DriverEntry on past its unload: the verifier's case.
#include "CvKernel.h"

namespace {
PVOID kept;
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    kept = ExAllocatePoolWithTag(NonPagedPool, 64, 0x6B61654C /* "Leak" */);
    driver->DriverUnload = [](PDRIVER_OBJECT) {};
    return kept != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}
