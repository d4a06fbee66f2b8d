// Bug check codes the host platform raises, with the first parameter's sub-codes where the
// verifier distinguishes several violations under one code.
#pragma once

#include <cstdint>
#include <string>

namespace host {

enum BugCheckCode : uint32_t {
    IRQL_NOT_GREATER_OR_EQUAL = 0x09,
    IRQL_NOT_LESS_OR_EQUAL = 0x0A,
    SPIN_LOCK_ALREADY_OWNED = 0x0F,
    SPIN_LOCK_NOT_OWNED = 0x10,
    THREAD_NOT_MUTEX_OWNER = 0x11,
    BAD_POOL_HEADER = 0x19,
    NO_MORE_IRP_STACK_LOCATIONS = 0x35,
    MULTIPLE_IRP_COMPLETE_REQUESTS = 0x44,
    SYSTEM_THREAD_EXCEPTION_NOT_HANDLED = 0x7E,
    BAD_POOL_CALLER = 0xC2,
    DRIVER_VERIFIER_DETECTED_VIOLATION = 0xC4,
    TIMER_OR_DPC_INVALID = 0xC7,
    IRQL_UNEXPECTED_VALUE = 0xC8,
    DRIVER_VERIFIER_IOMANAGER_VIOLATION = 0xC9,
    DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS = 0xCE,
    // Not platform codes: the simulated machine found every thread blocked with nothing due,
    // or only the DPC context running (timers firing) for longer than the machine's hang limit.
    SIMULATION_DEADLOCK = 0xDEAD0001,
    SIMULATION_HANG = 0xDEAD0002,
};

// BAD_POOL_CALLER, parameter 1.
enum : uintptr_t {
    POOL_FREE_OF_UNKNOWN_ADDRESS = 0x46,
    POOL_DOUBLE_FREE = 0x07,
    POOL_FREE_WRONG_TAG = 0x0A,
    POOL_PAGED_AT_DISPATCH = 0x08,
};

// BAD_POOL_HEADER, parameter 1.
enum : uintptr_t {
    POOL_PATTERN_CHECK_FAILED = 0x02, // a guard or a freed block's fill was overwritten
};

// DRIVER_VERIFIER_DETECTED_VIOLATION, parameter 1.
enum : uintptr_t {
    VERIFIER_ZERO_BYTE_POOL_ALLOCATION = 0x00,
    VERIFIER_POOL_LEAK_AT_UNLOAD = 0x62,
    VERIFIER_IRQL_CHANGED_BY_ROUTINE = 0x100,
    VERIFIER_SPIN_LOCK_HELD_ON_RETURN = 0x101,
    VERIFIER_WAIT_AT_RAISED_IRQL = 0x102,
    VERIFIER_PAGED_CODE_AT_DISPATCH = 0x103,
    VERIFIER_BAD_OBJECT_REFERENCE = 0x104,
    VERIFIER_SEMAPHORE_LIMIT = 0x105,
    VERIFIER_WORK_ITEM_IN_USE = 0x106,
    VERIFIER_UNLOAD_WITH_DEVICES = 0x107,
    VERIFIER_FLOAT_STATE_NOT_SAVED = 0x108,
    VERIFIER_FREE_OF_UNKNOWN_MDL = 0x109,
    VERIFIER_MDL_FREED_LOCKED = 0x10A,
    VERIFIER_WAIT_BLOCKS_MISSING = 0x10B,
};

// DRIVER_VERIFIER_IOMANAGER_VIOLATION, parameter 1.
enum : uintptr_t {
    IO_COMPLETED_WITH_PENDING = 0x0E,
    IO_PENDING_NOT_MARKED = 0x0F,
    IO_MARKED_PENDING_NOT_RETURNED = 0x10,
    IO_FREE_OF_OUTSTANDING_IRP = 0x11,
    IO_DELETE_DEVICE_WITH_OUTSTANDING_IRP = 0x12,
    IO_DELETE_ATTACHED_DEVICE = 0x13,
    IO_RETURNED_WITHOUT_COMPLETING = 0x14,
    IO_ALLOCATED_IRP_COMPLETED_TO_TOP = 0x15,
    IO_BAD_IRP = 0x16,
    IO_DRIVER_LEAKED_IRP = 0x17,
};

const char* BugCheckName(uint32_t code);

struct BugCheckInfo {
    uint32_t code = 0;
    uintptr_t parameters[4] = {};
    std::string thread;       // platform thread that hit it
    uint64_t threadId = 0;    // its creation number
    std::string startRoutine; // a system thread's start routine, by symbol
    std::string routine;      // the DPC or work routine it was running, by symbol
    std::string detail;       // what the platform knows about it, in words
};

std::string Describe(const BugCheckInfo& info);

} // namespace host
