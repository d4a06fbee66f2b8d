#include "ObjectManager.h"

#include <sstream>

#include "../host/Machine.h"
#include "IoManager.h"

namespace host {

namespace {
const char* KindName(ObjectKind k)
{
    switch (k) {
    case ObjectKind::Device: return "device object";
    case ObjectKind::File: return "file object";
    case ObjectKind::Thread: return "thread";
    case ObjectKind::Key: return "registry key";
    case ObjectKind::Event: return "event";
    }
    return "object";
}
} // namespace

std::u16string ToU16(PCUNICODE_STRING s)
{
    if (s == nullptr || s->Buffer == nullptr)
        return {};
    return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / 2);
}

std::u16string ToU16(PCWSTR s)
{
    if (s == nullptr)
        return {};
    return std::u16string(reinterpret_cast<const char16_t*>(s));
}

std::string Narrow(const std::u16string& s)
{
    std::string out;
    for (char16_t c : s)
        out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::u16string Widen(const std::string& s)
{
    std::u16string out;
    for (unsigned char c : s)
        out += static_cast<char16_t>(c);
    return out;
}

std::u16string ObjectManager::Key(const std::u16string& name)
{
    std::u16string k;
    for (char16_t c : name)
        k += (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
    const std::u16string dos = u"\\DOSDEVICES\\";
    if (k.rfind(dos, 0) == 0)
        k = u"\\??\\" + k.substr(dos.size());
    const std::u16string global = u"\\GLOBAL??\\";
    if (k.rfind(global, 0) == 0)
        k = u"\\??\\" + k.substr(global.size());
    return k;
}

NTSTATUS ObjectManager::InsertDeviceName(const std::u16string& name, PDEVICE_OBJECT device)
{
    if (name.empty() || name[0] != u'\\')
        return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> lk(mutex_);
    auto key = Key(name);
    if (names_.count(key) != 0)
        return STATUS_OBJECT_NAME_COLLISION;
    NamespaceEntry e;
    e.device = device;
    e.name = name;
    names_[key] = e;
    return STATUS_SUCCESS;
}

void ObjectManager::RemoveDeviceName(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> lk(mutex_);
    for (auto it = names_.begin(); it != names_.end();) {
        if (!it->second.isLink && it->second.device == device)
            it = names_.erase(it);
        else
            ++it;
    }
}

NTSTATUS ObjectManager::CreateLink(const std::u16string& link, const std::u16string& target)
{
    if (link.empty() || link[0] != u'\\')
        return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard<std::mutex> lk(mutex_);
    auto key = Key(link);
    if (names_.count(key) != 0)
        return STATUS_OBJECT_NAME_COLLISION;
    NamespaceEntry e;
    e.isLink = true;
    e.target = target;
    e.name = link;
    names_[key] = e;
    return STATUS_SUCCESS;
}

NTSTATUS ObjectManager::DeleteLink(const std::u16string& link)
{
    std::lock_guard<std::mutex> lk(mutex_);
    auto it = names_.find(Key(link));
    if (it == names_.end() || !it->second.isLink)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    names_.erase(it);
    return STATUS_SUCCESS;
}

bool ObjectManager::LinkExists(const std::u16string& link)
{
    std::lock_guard<std::mutex> lk(mutex_);
    auto it = names_.find(Key(link));
    return it != names_.end() && it->second.isLink;
}

PDEVICE_OBJECT ObjectManager::Resolve(const std::u16string& name, NTSTATUS* status)
{
    std::lock_guard<std::mutex> lk(mutex_);
    std::u16string current = name;
    for (int hops = 0; hops < 8; ++hops) {
        auto it = names_.find(Key(current));
        if (it == names_.end()) {
            *status = STATUS_OBJECT_NAME_NOT_FOUND;
            return nullptr;
        }
        if (!it->second.isLink) {
            *status = STATUS_SUCCESS;
            return it->second.device;
        }
        current = it->second.target;
    }
    *status = STATUS_OBJECT_PATH_NOT_FOUND;
    return nullptr;
}

std::vector<NamespaceEntry> ObjectManager::Entries()
{
    std::lock_guard<std::mutex> lk(mutex_);
    std::vector<NamespaceEntry> out;
    for (auto& [k, e] : names_)
        out.push_back(e);
    return out;
}

void ObjectManager::Track(PVOID object, ObjectKind kind, LONG references,
                          std::function<void(PVOID)> deleter, bool permanent)
{
    std::lock_guard<std::mutex> lk(mutex_);
    objects_[object] = Record{kind, references + (permanent ? 1 : 0), std::move(deleter), permanent};
}

bool ObjectManager::Tracked(PVOID object, ObjectKind* kind)
{
    std::lock_guard<std::mutex> lk(mutex_);
    auto it = objects_.find(object);
    if (it == objects_.end())
        return false;
    if (kind != nullptr)
        *kind = it->second.kind;
    return true;
}

LONG ObjectManager::Reference(PVOID object)
{
    std::unique_lock<std::mutex> lk(mutex_);
    auto it = objects_.find(object);
    if (it == objects_.end()) {
        lk.unlock();
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_BAD_OBJECT_REFERENCE,
                 reinterpret_cast<uintptr_t>(object), 0, 0,
                 "reference taken on something that is not a live object");
    }
    return ++it->second.references;
}

LONG ObjectManager::ReferenceThread(PKTHREAD thread)
{
    {
        std::lock_guard<std::mutex> lk(mutex_);
        if (objects_.count(thread) == 0)
            objects_[thread] = Record{ObjectKind::Thread, 0, nullptr, false};
    }
    return Reference(thread);
}

LONG ObjectManager::Dereference(PVOID object)
{
    std::unique_lock<std::mutex> lk(mutex_);
    auto it = objects_.find(object);
    if (it == objects_.end() || it->second.references <= (it->second.permanent ? 1 : 0)) {
        std::string what = it == objects_.end()
                               ? std::string("something that is not a live object")
                               : DescribeObject(object, it->second.kind);
        lk.unlock();
        BugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, VERIFIER_BAD_OBJECT_REFERENCE,
                 reinterpret_cast<uintptr_t>(object), 0, 0,
                 "reference dropped below zero on " + what +
                     ": more dereferences than references taken");
    }
    LONG left = --it->second.references;
    if (left == 0) {
        auto deleter = std::move(it->second.deleter);
        objects_.erase(it);
        lk.unlock();
        if (deleter)
            deleter(object);
    }
    return left;
}

void ObjectManager::MakeTemporary(PVOID object)
{
    {
        std::lock_guard<std::mutex> lk(mutex_);
        auto it = objects_.find(object);
        if (it == objects_.end() || !it->second.permanent)
            return;
        it->second.permanent = false;
    }
    Dereference(object);
}

LONG ObjectManager::References(PVOID object)
{
    std::lock_guard<std::mutex> lk(mutex_);
    auto it = objects_.find(object);
    return it == objects_.end() ? 0 : it->second.references;
}

std::string ObjectManager::DescribeObject(PVOID object, ObjectKind kind)
{
    std::ostringstream os;
    os << KindName(kind);
    if (kind == ObjectKind::Device) {
        auto device = static_cast<PDEVICE_OBJECT>(object);
        DeviceRecord* rec = IoManager::RecordOf(device);
        if (!rec->name.empty())
            os << " " << Narrow(rec->name);
        DriverRecord* driver = rec->deleted || device->DriverObject == nullptr
                                   ? nullptr
                                   : IoManager::RecordOf(device->DriverObject);
        if (driver != nullptr)
            os << " of " << Narrow(driver->name);
        if (rec->deleted)
            os << " (deleted)";
    } else if (kind == ObjectKind::Thread) {
        os << " \"" << static_cast<PKTHREAD>(object)->name << "\"";
    } else if (kind == ObjectKind::File) {
        auto file = static_cast<PFILE_OBJECT>(object);
        DeviceRecord* rec = IoManager::RecordOf(file->DeviceObject);
        if (!rec->name.empty())
            os << " on " << Narrow(rec->name);
    }
    os << " at " << object;
    return os.str();
}

std::vector<std::string> ObjectManager::Alive()
{
    std::lock_guard<std::mutex> lk(mutex_);
    std::vector<std::string> out;
    for (auto& [object, record] : objects_) {
        LONG held = record.references - (record.permanent ? 1 : 0);
        if (held <= 0)
            continue; // a device object that only its own name keeps
        std::ostringstream os;
        os << DescribeObject(object, record.kind) << " with " << held << " reference(s) held";
        out.push_back(os.str());
    }
    return out;
}

std::vector<std::string> ObjectManager::HandlesOpen()
{
    std::lock_guard<std::mutex> lk(mutex_);
    std::vector<std::string> out;
    for (auto& [handle, target] : handles_) {
        std::ostringstream os;
        os << "handle " << handle << " to " << DescribeObject(target.first, target.second);
        out.push_back(os.str());
    }
    return out;
}

HANDLE ObjectManager::CreateHandle(PVOID object, ObjectKind kind)
{
    std::lock_guard<std::mutex> lk(mutex_);
    auto h = reinterpret_cast<HANDLE>(nextHandle_);
    nextHandle_ += 4;
    handles_[h] = {object, kind};
    return h;
}

bool ObjectManager::LookupHandle(HANDLE handle, PVOID* object, ObjectKind* kind)
{
    std::lock_guard<std::mutex> lk(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end())
        return false;
    *object = it->second.first;
    *kind = it->second.second;
    return true;
}

NTSTATUS ObjectManager::CloseHandle(HANDLE handle)
{
    PVOID object;
    ObjectKind kind;
    {
        std::lock_guard<std::mutex> lk(mutex_);
        auto it = handles_.find(handle);
        if (it == handles_.end())
            return STATUS_INVALID_HANDLE;
        object = it->second.first;
        kind = it->second.second;
        handles_.erase(it);
    }
    (void)kind;
    Dereference(object);
    return STATUS_SUCCESS;
}

size_t ObjectManager::OpenHandles()
{
    std::lock_guard<std::mutex> lk(mutex_);
    return handles_.size();
}

} // namespace host
