// Control codes of the transport driver's device object, shared by every driver and by the
// programs that open a unit. Kernel-safe: constants only.
#pragma once

// Transport-level codes (FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, FILE_ANY_ACCESS).
#define IOCTL_CORV_READ_CONFIG 0x220000 // the configuration descriptor
#define IOCTL_CORV_RECOVER 0x220004     // reset the port if it is connected but disabled
#define IOCTL_CORV_RESET_PIPE 0x220008  // reset the pipe the handle is bound to
