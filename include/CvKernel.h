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
#include <wmilib.h>
// The platform builds x86 drivers with stdcall as the default calling convention, so a
// routine or callback its headers declare without one is stdcall. The toolchain's compiler
// defaults to cdecl, which its headers do not always make up for; where the drivers meet
// such a declaration, the toolchain's is set aside under another name and the name
// declared again below as the platform has it. (On x64 there is one convention and these
// declarations change nothing.)
//
// The selective suspend callback: the bus driver calls it as stdcall.
#define USB_IDLE_CALLBACK CvToolchain_USB_IDLE_CALLBACK
#define _USB_IDLE_CALLBACK_INFO CvToolchain_USB_IDLE_CALLBACK_INFO_
#define USB_IDLE_CALLBACK_INFO CvToolchain_USB_IDLE_CALLBACK_INFO
#define PUSB_IDLE_CALLBACK_INFO CvToolchain_PUSB_IDLE_CALLBACK_INFO
// These headers carry no C++ guards of their own; USBD's routines have C linkage.
extern "C" {
#include <usb.h>
#include <usbdi.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <wmistr.h>
}
#undef USB_IDLE_CALLBACK
#undef _USB_IDLE_CALLBACK_INFO
#undef USB_IDLE_CALLBACK_INFO
#undef PUSB_IDLE_CALLBACK_INFO
typedef VOID(NTAPI* USB_IDLE_CALLBACK)(PVOID Context);
typedef struct _USB_IDLE_CALLBACK_INFO {
  USB_IDLE_CALLBACK IdleCallback;
  PVOID IdleContext;
} USB_IDLE_CALLBACK_INFO, *PUSB_IDLE_CALLBACK_INFO;
#if defined(CV_STREAM_CLASS)
// The stream class minidrivers' headers, for the images built as such (the build defines
// CV_STREAM_CLASS). They fill the global namespace with short names (High, Low, Dispatch,
// ...), which is why other drivers do not see them.
//
// Kernel code is Unicode; ksmedia.h uses TCHAR, which the kernel headers leave undefined.
#ifndef _TCHAR_DEFINED
#define _TCHAR_DEFINED
typedef WCHAR TCHAR, *PTCHAR;
#endif
extern "C" {
// Set aside and declared again below: four routines the toolchain's strmini.h declares
// without the stream class convention (stdcall on the platform, by its default), and the
// device notification, which it declares with a fixed list of six arguments where the
// stream class driver takes the notification type, the device extension and then as many
// arguments as that type needs.
#define StreamClassAbortOutstandingRequests CvToolchain_StreamClassAbortOutstandingRequests
#define StreamClassGetNextEvent CvToolchain_StreamClassGetNextEvent
#define StreamClassQueryMasterClock CvToolchain_StreamClassQueryMasterClock
#define StreamClassRegisterFilterWithNoKSPins CvToolchain_StreamClassRegisterFilterWithNoKSPins
#define StreamClassDeviceNotification CvToolchain_StreamClassDeviceNotification
#include <strmini.h>
#undef StreamClassAbortOutstandingRequests
#undef StreamClassGetNextEvent
#undef StreamClassQueryMasterClock
#undef StreamClassRegisterFilterWithNoKSPins
#undef StreamClassDeviceNotification
VOID STREAMAPI StreamClassAbortOutstandingRequests(PVOID HwDeviceExtension, PHW_STREAM_OBJECT StreamObject,
                                                   NTSTATUS Status);
PKSEVENT_ENTRY STREAMAPI StreamClassGetNextEvent(PVOID Extension, PHW_STREAM_OBJECT StreamObject,
                                                 GUID* EventSet, ULONG EventId, PKSEVENT_ENTRY Current);
VOID STREAMAPI StreamClassQueryMasterClock(PHW_STREAM_OBJECT StreamObject, HANDLE MasterClock,
                                           TIME_FUNCTION Function, PHW_QUERY_CLOCK_ROUTINE Callback);
NTSTATUS STREAMAPI StreamClassRegisterFilterWithNoKSPins(PDEVICE_OBJECT DeviceObject,
                                                         const GUID* InterfaceClass, ULONG PinCount,
                                                         BOOLEAN* PinDirections, KSPIN_MEDIUM* Mediums,
                                                         GUID* Categories);
VOID __cdecl StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                           PVOID HwDeviceExtension, ...);
// strmini.h brings the window types (RECT, SIZE) ksmedia.h needs, so it comes first.
#include <ksmedia.h>
}
#endif
#if defined(__i386__)
// On x86 the compiler turns 64-bit division into calls to helpers of its own runtime, which
// a driver does not link. The kernel exports the same arithmetic under its own names
// (_alldiv and friends: operands on the stack, callee pops, result in edx:eax), so each
// image carries these forwarders, emitted once per image whichever sources need them.
extern "C" {
__declspec(dllimport) LONGLONG __stdcall _alldiv(LONGLONG Dividend, LONGLONG Divisor);
__declspec(dllimport) LONGLONG __stdcall _allrem(LONGLONG Dividend, LONGLONG Divisor);
__declspec(dllimport) ULONGLONG __stdcall _aulldiv(ULONGLONG Dividend, ULONGLONG Divisor);
__declspec(dllimport) ULONGLONG __stdcall _aullrem(ULONGLONG Dividend, ULONGLONG Divisor);

inline __attribute__((used)) LONGLONG __divdi3(LONGLONG a, LONGLONG b) { return _alldiv(a, b); }
inline __attribute__((used)) LONGLONG __moddi3(LONGLONG a, LONGLONG b) { return _allrem(a, b); }
inline __attribute__((used)) ULONGLONG __udivdi3(ULONGLONG a, ULONGLONG b) { return _aulldiv(a, b); }
inline __attribute__((used)) ULONGLONG __umoddi3(ULONGLONG a, ULONGLONG b) { return _aullrem(a, b); }
inline __attribute__((used)) LONGLONG __divmoddi4(LONGLONG a, LONGLONG b, LONGLONG* rem) {
  LONGLONG q = _alldiv(a, b);
  *rem = a - q * b;
  return q;
}
inline __attribute__((used)) ULONGLONG __udivmoddi4(ULONGLONG a, ULONGLONG b, ULONGLONG* rem) {
  ULONGLONG q = _aulldiv(a, b);
  if (rem != nullptr) {
    *rem = a - q * b;
  }
  return q;
}
}
#endif
#else
#include <wdm.h>
#include <usb.h>
#include <usbdi.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <wmilib.h>
#include <wmistr.h>
#endif
