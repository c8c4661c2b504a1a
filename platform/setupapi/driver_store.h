// The driver store: the third-party INF files copied into the system's INF folder as oem<N>.inf
// (with their precompiled .pnf beside them), each remembered with the file it came from. An INF
// whose bytes are already in the store is not copied again.
//
// Installing a driver on a device is the INF engine's work; UpdateDriverForPlugAndPlayDevicesW
// hands each matching present device to the installer registered here (none by default: the
// request is recorded and succeeds without changing the device).
#pragma once

#include <windows.h>

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace emu::setupapi {

struct StoredInf {
    std::u16string name;  // "oem3.inf"
    std::u16string source;  // the path it was copied from
    std::vector<uint8_t> bytes;
};

struct DriverUpdateRecord {
    std::u16string hardwareId;
    std::u16string infPath;
    std::vector<std::u16string> devices;  // instance paths handed to the installer
    BOOL result = FALSE;
};

// Installs the INF's driver on one present device; returns a Win32 error (0 for success).
using DeviceDriverInstaller = std::function<DWORD(const std::u16string& instancePath, const std::u16string& infPath)>;
// Told of each INF newly copied into the store (the INF engine reads its models from it).
using InfCopyObserver = std::function<void(const StoredInf& inf)>;
// Told of each INF removed from the store (the INF engine forgets its models).
using InfRemovalObserver = std::function<void(const std::u16string& name)>;

class DriverStore {
public:
    static DriverStore& Current();

    // Copies an INF into the INF folder (see SetupCopyOEMInfW); the error, or 0 with the name.
    // `existed` tells an INF whose bytes were in the store already.
    DWORD Add(const std::u16string& source, std::u16string& name, bool& existed);
    // Removes oem<N>.inf and its .pnf; ERROR_FILE_NOT_FOUND when the store has no such INF.
    DWORD Remove(const std::u16string& name);
    std::vector<StoredInf> Infs() const;

    // A test's switch: copying this source fails with that error (a broken INF).
    void MarkBroken(const std::u16string& source, DWORD error);

    void SetCopyObserver(InfCopyObserver observer);
    void SetRemovalObserver(InfRemovalObserver observer);

    void SetInstaller(DeviceDriverInstaller installer);
    DeviceDriverInstaller Installer() const;
    void Record(DriverUpdateRecord record);
    std::vector<DriverUpdateRecord> Updates() const;

private:
    std::u16string InfFolder() const;

    mutable std::mutex m_mutex;  // guards what follows
    std::vector<StoredInf> m_infs;
    std::vector<std::pair<std::u16string, DWORD>> m_broken;  // upper-cased source -> error
    DeviceDriverInstaller m_installer;
    InfCopyObserver m_copyObserver;
    InfRemovalObserver m_removalObserver;
    std::vector<DriverUpdateRecord> m_updates;
};

}  // namespace emu::setupapi
