// The one place that picks the platform headers for driver code.
//
// The Windows build takes the DDK headers of the cross toolchain; the host build takes the
// declarations in platform/include/, which spell every name as the platform does. Nothing
// else in driver code depends on which build it is.
#pragma once

#if defined(_WIN32)
// The DDK's wdm.h declares these two interlocked bit operations, which the compiler already
// provides as intrinsics when compiling C++.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <wdm.h>
#include <usb.h>
#include <usbdi.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <wmilib.h>
#include <wmistr.h>
#else
#include <wdm.h>
#include <usb.h>
#include <usbdi.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <wmilib.h>
#include <wmistr.h>
#endif
