// The USBD library: descriptor parsing and configuration request building.
#include <usbdlib.h>

#include <cstring>

#include "../host/Machine.h"
#include "../kernel/Pool.h"
#include "../verifier/IrqlRules.h"

namespace {
constexpr ULONG kUsbdTag = 0x44425355; // "USBD"
}

extern "C" {

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                   PVOID StartPosition, LONG DescriptorType)
{
    host::CheckCallerIrql("USBD_ParseDescriptors");
    auto* p = static_cast<PUCHAR>(StartPosition);
    auto* end = static_cast<PUCHAR>(DescriptorBuffer) + TotalLength;
    while (p + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto* d = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(p);
        if (d->bLength == 0 || p + d->bLength > end)
            return nullptr;
        if (d->bDescriptorType == DescriptorType)
            return d;
        p += d->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol)
{
    host::CheckCallerIrql("USBD_ParseConfigurationDescriptorEx");
    auto* p = static_cast<PUCHAR>(StartPosition);
    ULONG total = ConfigurationDescriptor->wTotalLength;
    for (;;) {
        auto* d = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(
            USBD_ParseDescriptors(ConfigurationDescriptor, total, p, USB_INTERFACE_DESCRIPTOR_TYPE));
        if (d == nullptr || d->bLength < sizeof(USB_INTERFACE_DESCRIPTOR))
            return nullptr;
        bool match = (InterfaceNumber == -1 || d->bInterfaceNumber == InterfaceNumber) &&
                     (AlternateSetting == -1 || d->bAlternateSetting == AlternateSetting) &&
                     (InterfaceClass == -1 || d->bInterfaceClass == InterfaceClass) &&
                     (InterfaceSubClass == -1 || d->bInterfaceSubClass == InterfaceSubClass) &&
                     (InterfaceProtocol == -1 || d->bInterfaceProtocol == InterfaceProtocol);
        if (match)
            return d;
        p = reinterpret_cast<PUCHAR>(d) + d->bLength;
    }
}

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList)
{
    host::CheckCallerIrql("USBD_CreateConfigurationRequestEx");
    size_t size = sizeof(struct _URB_SELECT_CONFIGURATION) - sizeof(USBD_INTERFACE_INFORMATION);
    size_t interfaces = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
        size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
        ++interfaces;
    }
    if (interfaces == 0)
        size += sizeof(USBD_INTERFACE_INFORMATION);
    auto* urb = static_cast<PURB>(host::M().PoolManager().Allocate(NonPagedPool, size, kUsbdTag,
                                                                  __builtin_return_address(0)));
    if (urb == nullptr)
        return nullptr;
    std::memset(urb, 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;
    auto* info = &urb->UrbSelectConfiguration.Interface;
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
        PUSB_INTERFACE_DESCRIPTOR d = e->InterfaceDescriptor;
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = d->bNumEndpoints;
        for (ULONG i = 0; i < d->bNumEndpoints; ++i) {
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            info->Pipes[i].PipeFlags = 0;
        }
        e->Interface = info;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) +
                                                             info->Length);
    }
    return urb;
}

} // extern "C"
