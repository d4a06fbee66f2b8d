// The contract between the faulty test driver and its tests: the rule the driver breaks, chosen
// by the REG_DWORD "Fault" under ...\Services\FAULTY\Parameters and read at DriverEntry, and the
// device-control request that makes it commit the fault. Include after the platform headers.
#pragma once

enum FaultyDriverFault : ULONG {
    FaultNone = 0,
    // Committed by the commit request, on the thread that sends it.
    FaultCompleteWithPending = 1,        // completes the request with STATUS_PENDING
    FaultCompleteTwice = 2,              // completes the request twice
    FaultPendingNotMarked = 3,           // keeps the request, returns STATUS_PENDING unmarked
    FaultPendingNotMarkedCompleted = 4,  // completes the request, then returns STATUS_PENDING
    FaultMarkedPendingReturnsSuccess = 5, // marks it pending, completes it, returns success
    FaultFreeWithWrongTag = 6,
    FaultDoubleFree = 7,
    FaultFreeOfForeignAddress = 8,       // frees memory the pool never gave out
    FaultReleaseUnownedSpinLock = 9,     // at DISPATCH_LEVEL, a lock nobody holds
    FaultReleaseOtherThreadsSpinLock = 10, // a lock a system thread of the driver holds
    FaultReleaseSpinLockBelowDispatch = 11,
    FaultWaitAtDispatch = 12,
    FaultPagedPoolAtDispatch = 13,
    FaultDispatchRaisesIrql = 14,        // the dispatch routine returns at DISPATCH_LEVEL
    // Committed on another platform thread, after the commit request has completed.
    FaultDpcLowersIrql = 20,             // the DPC routine returns at PASSIVE_LEVEL
    FaultDpcKeepsSpinLock = 21,          // the DPC routine returns holding a spin lock
    FaultDpcCompletesWithPending = 22,   // a DPC completes the pended request with STATUS_PENDING
    FaultWorkItemDoubleFree = 23,
    FaultSystemThreadWaitsAtDispatch = 24,
    // Prepared by the commit request and committed when the device is removed.
    FaultDeleteWithOutstandingRequest = 30, // the commit request stays pending at IoDeleteDevice
    FaultDeleteAttachedDevice = 31,      // IoDeleteDevice without IoDetachDevice
    FaultLeakPoolAtUnload = 32,          // a pool block kept past the driver's unload
    FaultUnloadWithTimerSet = 33,        // a timer with a DPC still set at unload
};

// Device control, kernel-mode callers only: commit the fault (prepare it, for removal faults).
#define IOCTL_FAULTY_COMMIT CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_NEITHER, FILE_ANY_ACCESS)
