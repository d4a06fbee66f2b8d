// Names of the unit's wire protocol, shared by the transport driver and the simulated unit.
// Kernel-safe: plain constants only.
#pragma once

// USB identity of the unit.
#define CV_VENDOR_ID 0x04F1
#define CV_PRODUCT_STARTUP 0x0001   // start-up loader, either model
#define CV_PRODUCT_RUNNING_B 0x0009 // operating program running, model B
#define CV_PRODUCT_RUNNING_A 0x000A // operating program running, model A

// Vendor requests on the default pipe (bmRequestType 0xC0 IN, 0x40 OUT, wValue 0).
#define CV_VENDOR_BOOT_STATUS 0xFF       // IN, 2 status bytes
#define CV_VENDOR_BOOT_SEND 0xFD         // OUT, a block of bytes
#define CV_VENDOR_BOOT_WRITE_MEMORY 0xFE // OUT, wIndex = device address
#define CV_VENDOR_BOOT_READ_MEMORY 0xFC  // IN, wIndex = device address
#define CV_VENDOR_BOOT_RUN 0xFB          // OUT, no data: start the loaded program
#define CV_VENDOR_RESET 0x01             // OUT, no data: running-mode reset

#define CV_VENDOR_REQUEST_TYPE_IN 0xC0
#define CV_VENDOR_REQUEST_TYPE_OUT 0x40

// The loader's memory and its largest single transfer.
#define CV_BOOT_MEMORY_BYTES 65536
#define CV_BOOT_TRANSFER_MAX 4096

// Bulk endpoints of the unit's single interface, in descriptor order.
#define CV_ENDPOINT_COMMAND 0x01  // pipe 0, bulk OUT
#define CV_ENDPOINT_RESPONSE 0x81 // pipe 1, bulk IN
#define CV_ENDPOINT_STREAM 0x82   // pipe 2, bulk IN
#define CV_BULK_PACKET_BYTES 512 // wMaxPacketSize of each bulk endpoint (high speed)
