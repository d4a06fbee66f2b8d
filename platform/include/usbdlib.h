// The USBD library routines and the URB building helpers.
#pragma once

#include <usb.h>

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

CV_EXTERN_C_BEGIN
PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol);
PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                   PVOID StartPosition, LONG DescriptorType);
PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList);
CV_EXTERN_C_END

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId,  \
                                     transferBuffer, transferBufferMDL, transferBufferLength,   \
                                     link)                                                      \
    do {                                                                                        \
        (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                    \
        (urb)->UrbHeader.Length = (length);                                                     \
        (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);       \
        (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);             \
        (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                   \
        (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                   \
        (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                           \
        (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                           \
        (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                    \
    } while (0)

#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer,         \
                                               transferBufferMDL, transferBufferLength,         \
                                               transferFlags, link)                             \
    do {                                                                                        \
        (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                    \
        (urb)->UrbHeader.Length = (length);                                                     \
        (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                            \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);        \
        (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);              \
        (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                    \
        (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                      \
        (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                     \
    } while (0)

#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedBits, request, value,    \
                              index, transferBuffer, transferBufferMDL, transferBufferLength,   \
                              link)                                                             \
    do {                                                                                        \
        (urb)->UrbHeader.Function = (cmd);                                                      \
        (urb)->UrbHeader.Length = (length);                                                     \
        (urb)->UrbControlVendorClassRequest.TransferBufferLength = (transferBufferLength);      \
        (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);            \
        (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                  \
        (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reservedBits);           \
        (urb)->UrbControlVendorClassRequest.Request = (request);                                \
        (urb)->UrbControlVendorClassRequest.Value = (value);                                    \
        (urb)->UrbControlVendorClassRequest.Index = (index);                                    \
        (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);                    \
        (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                   \
    } while (0)

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)               \
    do {                                                                                        \
        (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                          \
        (urb)->UrbHeader.Length = (length);                                                     \
        (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor);      \
    } while (0)
