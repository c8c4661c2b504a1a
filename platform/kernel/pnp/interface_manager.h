// Device interfaces of the emulated machine: IoRegisterDeviceInterface and
// IoSetDeviceInterfaceState, with the registry entries under Control\DeviceClasses, the "\??\"
// links to the physical device object, and the list user mode (SetupDi, CreateFile) reads.
//
// One link per device and interface class, "\??\<instance path, '\' as '#'>#{guid}", names the
// physical device object; a reference string is the rest of the path ("\<reference>"), which the
// object manager hands to the device as the file name on open.
#pragma once

#include <wdm.h>

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace emu {

class Kernel;

struct DeviceInterfaceInfo {
    GUID classGuid{};
    std::u16string symbolicLink;     // kernel form: "\??\USB#VID_0403&PID_6001#5&1#{guid}\REF"
    std::u16string devicePath;       // user-mode form: "\\?\usb#vid_0403&pid_6001#5&1#{guid}\REF"
    std::u16string referenceString;  // as registered, empty when none
    std::u16string instancePath;     // "USB\VID_0403&PID_6001\5&1"
    PDEVICE_OBJECT pdo = nullptr;
    bool enabled = false;
};

class InterfaceManager {
public:
    explicit InterfaceManager(Kernel& machine);
    ~InterfaceManager();
    InterfaceManager(const InterfaceManager&) = delete;
    InterfaceManager& operator=(const InterfaceManager&) = delete;

    static constexpr std::u16string_view kDeviceClassesKey =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\DeviceClasses";

    // ---- Kernel entry points ---------------------------------------------------------------
    NTSTATUS Register(PDEVICE_OBJECT pdo, const GUID* classGuid, PCUNICODE_STRING referenceString,
                      PUNICODE_STRING symbolicLinkName);
    NTSTATUS SetState(PCUNICODE_STRING symbolicLinkName, bool enable);

    // ---- Device instances ----------------------------------------------------------------------
    // The device instance path of a physical device object ("USB\VID_0403&PID_6001\5&1"). The
    // Plug and Play manager sets it when it makes the device node; tests may set it themselves.
    void SetInstancePath(PDEVICE_OBJECT pdo, std::u16string_view instancePath);
    std::optional<std::u16string> InstancePath(PDEVICE_OBJECT pdo) const;
    // Disables the interfaces a removed device's drivers left enabled (their links go); the
    // device keeps its instance path, so it may register them again when started again.
    void DisableDevice(PDEVICE_OBJECT pdo);
    // Disables every interface of a device going away and forgets its instance path.
    void ForgetDevice(PDEVICE_OBJECT pdo);

    // ---- User mode ---------------------------------------------------------------------------
    // The interfaces of a class in registration order (only the enabled ones when asked).
    std::vector<DeviceInterfaceInfo> Interfaces(const GUID& classGuid, bool enabledOnly = false) const;
    std::vector<DeviceInterfaceInfo> All() const;
    // The interface named by a kernel link or a user-mode path, compared without regard to case.
    std::optional<DeviceInterfaceInfo> Find(std::u16string_view path) const;

    static std::u16string GuidText(const GUID& guid);  // "{86e0d1e0-8089-11d0-9ce4-08003e301f73}"

private:
    struct Entry {
        DeviceInterfaceInfo info;
        std::u16string baseLink;  // "\??\...#{guid}": the namespace link shared by the references
        std::u16string key;       // its registry key under DeviceClasses\{guid}
    };

    Entry* FindLocked(std::u16string_view path);
    const Entry* FindLocked(std::u16string_view path) const;
    NTSTATUS Enable(Entry& entry);
    NTSTATUS Disable(Entry& entry);
    void WriteLinked(const Entry& entry, bool linked);

    Kernel& m_kernel;
    mutable std::recursive_mutex m_mutex;
    std::vector<Entry> m_entries;
    std::map<PDEVICE_OBJECT, std::u16string> m_instancePaths;
    std::map<std::u16string, size_t> m_linkUsers;  // upper-cased base link -> enabled references
};

}  // namespace emu
