// Object namespace of the emulated machine: the directory of named kernel objects ("\Device\Port1",
// "\Driver\cvuvcp", "\Callback\{GUID}"), the symbolic links between names ("\??\COM5" ->
// "\Device\Port1"), and the book of device objects that IoCreateDevice made.
//
// Names are compared without regard to case. "\DosDevices\X", "\GLOBAL??\X" and "\??\GLOBAL\X" are
// other spellings of "\??\X": all of them name one entry. The namespace holds no reference on the
// objects it names; whoever inserts a name removes it before the object goes away.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ob/object_manager.h"

namespace emu {

class Kernel;

// One name in the namespace: a named object, or a symbolic link (object null, target set).
struct NamespaceEntry {
    std::u16string name;  // canonical spelling ("\??\COM5"), in the case it was inserted with
    ObjectType type = ObjectType::Other;
    void* object = nullptr;
    std::u16string target;  // symbolic links only: the target text, unchecked as on Windows
};

struct SymbolicLinkInfo {
    std::u16string name;
    std::u16string target;
};

// What a name comes to after following links: the object named by the longest leading part of the
// path, and the rest of the path after it (the file name a device gets on open: "\CVGENDRV_X").
struct ResolvedName {
    NamespaceEntry entry;
    std::u16string remainder;
};

class ObjectNamespace;

// The platform's own record of a device object made by IoCreateDevice
// (DEVICE_OBJECT::DeviceObjectExtension points here). The object manager owns it: it goes when the
// device object's last reference goes.
struct DeviceRecord {
    PDEVICE_OBJECT device = nullptr;
    std::unique_ptr<std::byte[]> memory;  // the DEVICE_OBJECT and its extension
    std::u16string name;
    ULONG extensionSize = 0;
    bool deleted = false;
    ObjectNamespace* owner = nullptr;  // cleared when the namespace goes before the object
};

struct DeviceInfo {
    std::u16string name;  // empty for an unnamed device object
    PDRIVER_OBJECT driver = nullptr;
    bool deleted = false;     // IoDeleteDevice has run; the memory lives while references remain
    PDEVICE_OBJECT lower = nullptr;  // the device it is attached to, if any
    ULONG extensionSize = 0;
};

class ObjectNamespace {
public:
    explicit ObjectNamespace(Kernel& machine);
    ~ObjectNamespace();
    ObjectNamespace(const ObjectNamespace&) = delete;
    ObjectNamespace& operator=(const ObjectNamespace&) = delete;

    // The canonical spelling of a name: the DOS-device aliases folded into "\??\".
    static std::u16string Canonical(std::u16string_view name);

    // ---- Names ---------------------------------------------------------------------------------
    // Adds a name for an object. STATUS_OBJECT_NAME_COLLISION when the name exists,
    // STATUS_OBJECT_PATH_SYNTAX_BAD for a name not starting with '\' (or with an empty component),
    // STATUS_OBJECT_PATH_NOT_FOUND when the directory it would go in does not exist.
    NTSTATUS Insert(std::u16string_view name, ObjectType type, void* object);
    NTSTATUS InsertLink(std::u16string_view name, std::u16string_view target);
    // Removes a name of any kind; STATUS_OBJECT_NAME_NOT_FOUND when there is none.
    NTSTATUS Remove(std::u16string_view name);
    // Removes the name only while it still names `object` (an object being deleted).
    bool RemoveIfNames(std::u16string_view name, const void* object);
    // Directories beyond the standard ones ("\", "\Device", "\??", "\Driver", "\Callback", ...).
    NTSTATUS CreateDirectory(std::u16string_view name);

    // The entry of exactly this name, links not followed.
    std::optional<NamespaceEntry> Lookup(std::u16string_view name) const;
    bool Contains(std::u16string_view name) const { return Lookup(name).has_value(); }
    // The target text of the link of that name (one step), or nothing if it is no link.
    std::optional<std::u16string> LinkTarget(std::u16string_view name) const;
    // Follows links until the name is no link, and returns that name with the remaining path
    // ("\??\COM5" -> "\Device\Port1"). Nothing when a link loops or the chain ends nowhere.
    std::optional<std::u16string> ResolveLink(std::u16string_view name) const;
    // Parses a path as the object manager opens it: links followed, the object found by the
    // longest leading part, the rest returned as the remainder.
    std::optional<ResolvedName> Resolve(std::u16string_view path) const;
    // The device object a path opens (links followed), or null.
    PDEVICE_OBJECT DeviceByName(std::u16string_view path, std::u16string* remainder = nullptr) const;

    std::vector<SymbolicLinkInfo> Links() const;  // in name order
    // The names directly inside a directory, in order ("\Device" -> "\Device\Port1", ...).
    std::vector<std::u16string> List(std::u16string_view directory) const;

    // ---- Device objects ------------------------------------------------------------------------
    // The next `count` IoCreateDevice calls fail with `status` (nothing is created).
    void FailNextDeviceCreate(NTSTATUS status, size_t count = 1);
    // Device objects whose memory is alive (deleted ones kept by a reference count too).
    size_t LiveDeviceCount() const;
    bool IsLiveDevice(const DEVICE_OBJECT* device) const;
    // Device objects of one driver whose memory is alive.
    size_t LiveDeviceCount(const DRIVER_OBJECT* driver) const;
    std::optional<DeviceInfo> Describe(const DEVICE_OBJECT* device) const;
    // The device a device object is attached to (IoAttachDeviceToDeviceStack), or null.
    PDEVICE_OBJECT AttachedTo(const DEVICE_OBJECT* device) const;

    // ---- For the kernel's device calls (device.cpp) --------------------------------------------
    // One lock orders every change of names, device records and device stacks.
    std::recursive_mutex& DatabaseLock() const { return m_mutex; }
    bool TakeInjectedCreateFailure(NTSTATUS* status);
    ULONG NextAutogeneratedIndex();
    void AddDevice(DeviceRecord* record);
    DeviceRecord* RecordOf(const DEVICE_OBJECT* device) const;
    void ForgetDevice(DeviceRecord* record);
    // Upper device -> lower device, for every attachment (devices made by tests included).
    void SetAttachment(PDEVICE_OBJECT upper, PDEVICE_OBJECT lower, bool referenced);
    // Removes the attachment of `upper`; tells whether it held a reference on the lower device.
    bool ClearAttachment(PDEVICE_OBJECT upper, PDEVICE_OBJECT* lower);

private:
    struct Attachment {
        PDEVICE_OBJECT lower;
        bool referenced;
    };

    static std::u16string Key(std::u16string_view canonical);
    static NTSTATUS CheckSyntax(std::u16string_view canonical);
    bool ParentExists(std::u16string_view canonical) const;
    NTSTATUS InsertEntry(NamespaceEntry entry);
    const NamespaceEntry* Find(std::u16string_view canonical) const;

    Kernel& m_kernel;
    mutable std::recursive_mutex m_mutex;
    std::unordered_map<std::u16string, NamespaceEntry> m_entries;  // by upper-cased canonical name
    std::map<std::u16string, std::u16string> m_directories;  // upper-cased name -> spelling
    std::unordered_map<const DEVICE_OBJECT*, DeviceRecord*> m_devices;
    std::unordered_map<const DEVICE_OBJECT*, Attachment> m_attachments;
    std::vector<NTSTATUS> m_createFailures;
    ULONG m_autogeneratedIndex = 0;
};

}  // namespace emu
