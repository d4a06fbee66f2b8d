// The contract between the probe driver (ProbeDriver.cpp) and the platform tests that drive
// it: its device-control codes and its device extension, which the tests read and signal.
#pragma once

#define PROBE_IOCTL(n) CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900 + (n), METHOD_BUFFERED, FILE_ANY_ACCESS)

// Queues a work item on the probe's device whose routine waits for `release`.
#define IOCTL_PROBE_QUEUE_WORK_ITEM PROBE_IOCTL(1)
// Sets a timer without a DPC that lives in the image's own memory, due in a second.
#define IOCTL_PROBE_SET_IMAGE_TIMER PROBE_IOCTL(2)
// Input: the address of a PROBE_WAIT_CONTEXT in the caller's memory. Starts a system thread
// that sets its `started`, waits for its `release` and returns; closes the thread's handle.
#define IOCTL_PROBE_START_THREAD PROBE_IOCTL(3)
// The same with an executive work item (the context's `item`) in place of the thread.
#define IOCTL_PROBE_QUEUE_EX_WORK_ITEM PROBE_IOCTL(6)
// Input: a ULONG byte count. Output: the address of a new pool block of that size, tag 'Prob'.
#define IOCTL_PROBE_ALLOCATE PROBE_IOCTL(4)
// Input: the address of a block IOCTL_PROBE_ALLOCATE returned; frees it.
#define IOCTL_PROBE_FREE PROBE_IOCTL(5)

#define PROBE_POOL_TAG 0x626F7250 /* "Prob" */

typedef struct _PROBE_EXTENSION {
    KEVENT release;      // set by the test to let a waiting work item or thread return
    KEVENT started;      // set by the work item or thread once it runs
    LONG routinesDone;   // work items that returned
} PROBE_EXTENSION, *PPROBE_EXTENSION;

typedef struct _PROBE_WAIT_CONTEXT {
    KEVENT release;
    KEVENT started;
    WORK_QUEUE_ITEM item;
} PROBE_WAIT_CONTEXT, *PPROBE_WAIT_CONTEXT;
