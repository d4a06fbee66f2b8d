// USB driver interface: the pipe and interface records live with the URBs.
#pragma once

#include <usb.h>
