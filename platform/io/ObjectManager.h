// The object manager: the namespace (device names, symbolic links), kernel handles, and the
// reference counts of the objects drivers can reference (device objects, file objects,
// threads). An object whose last reference goes is handed to its kind's delete routine.
#pragma once

#include <wdm.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace host {

enum class ObjectKind { Device, File, Thread, Key, Event };

struct NamespaceEntry {
    bool isLink = false;
    PDEVICE_OBJECT device = nullptr;
    std::u16string target; // for links
    std::u16string name;   // as created
};

class ObjectManager {
public:
    // Names are compared without regard to case. "\DosDevices\X" and "\??\X" are one name.
    NTSTATUS InsertDeviceName(const std::u16string& name, PDEVICE_OBJECT device);
    void RemoveDeviceName(PDEVICE_OBJECT device);
    NTSTATUS CreateLink(const std::u16string& link, const std::u16string& target);
    NTSTATUS DeleteLink(const std::u16string& link);
    // Follows links to a device; returns null and a status when the name leads nowhere.
    PDEVICE_OBJECT Resolve(const std::u16string& name, NTSTATUS* status);
    std::vector<NamespaceEntry> Entries();
    bool LinkExists(const std::u16string& link);

    // Reference counting. Track() starts an object at `references`; the delete routine runs
    // when the count reaches zero. A permanent object (a device object until IoDeleteDevice)
    // keeps one reference of its own that only MakeTemporary drops; a dereference that would
    // take the count below what its holders took is the verifier's bug check.
    void Track(PVOID object, ObjectKind kind, LONG references, std::function<void(PVOID)> deleter,
               bool permanent = false);
    bool Tracked(PVOID object, ObjectKind* kind);
    LONG Reference(PVOID object);
    LONG Dereference(PVOID object);
    // Drops a permanent object's own reference: it goes when the last holder lets go.
    void MakeTemporary(PVOID object);
    LONG References(PVOID object);
    // Thread objects are counted from the first reference a driver takes on one.
    LONG ReferenceThread(PKTHREAD thread);
    // Objects still referenced, and handles still open (for the end-of-run checks), in words.
    std::vector<std::string> Alive();
    std::vector<std::string> HandlesOpen();

    HANDLE CreateHandle(PVOID object, ObjectKind kind); // takes over one reference
    bool LookupHandle(HANDLE handle, PVOID* object, ObjectKind* kind);
    NTSTATUS CloseHandle(HANDLE handle);
    size_t OpenHandles();

private:
    struct Record {
        ObjectKind kind;
        LONG references;
        std::function<void(PVOID)> deleter;
        bool permanent = false;
    };
    static std::string DescribeObject(PVOID object, ObjectKind kind);
    static std::u16string Key(const std::u16string& name);
    std::mutex mutex_;
    std::map<std::u16string, NamespaceEntry> names_;
    std::map<PVOID, Record> objects_;
    std::map<HANDLE, std::pair<PVOID, ObjectKind>> handles_;
    uintptr_t nextHandle_ = 0x80000004;
};

std::u16string ToU16(PCUNICODE_STRING s);
std::u16string ToU16(PCWSTR s);
std::string Narrow(const std::u16string& s);
std::u16string Widen(const std::string& s);

} // namespace host
