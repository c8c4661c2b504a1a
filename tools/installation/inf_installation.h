// The driver package installed on an emulated machine from its INF files, as Setup installs it:
// both INF files copied into the driver store (SetupCopyOEMInfW, so the machine holds oemN.inf
// copies and every driver key names its copy), the installation engine given the store's copies
// with the package's files, and the program, libraries and help file the package leaves in the
// system folders. A plugged adapter is installed through the engine: the bus device, its port
// child with its COM name claimed in the COM-name database.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace emu {
class Machine;
namespace devices {
class FtdiChip;
}
namespace setup {
class InstallEngine;
}
}  // namespace emu

namespace cvinstall {

struct InfPackageFiles {
    std::filesystem::path infFolder;  // ENUMDRV.INF and PORTDRV.INF
    std::filesystem::path enumdrv;    // the bus driver's image
    std::filesystem::path portdrv;    // the port driver's image (or a stand-in)
};

class InfInstallation {
public:
    InfInstallation(emu::Machine& machine, const InfPackageFiles& files);
    ~InfInstallation();
    InfInstallation(const InfInstallation&) = delete;
    InfInstallation& operator=(const InfInstallation&) = delete;

    emu::setup::InstallEngine& Engine() { return *m_engine; }
    // The store's names of the bus and the port INF ("oem0.inf", "oem1.inf").
    const std::vector<std::u16string>& OemInfNames() const { return m_oemNames; }
    // The files the package leaves in the system folders, as full paths.
    const std::vector<std::u16string>& PackageFiles() const { return m_packageFiles; }

    // Plugs a one-port adapter and installs its devices; the instance paths of the bus device and
    // of its port.
    std::vector<std::u16string> PlugSinglePortAdapter();

private:
    emu::Machine& m_machine;
    std::unique_ptr<emu::setup::InstallEngine> m_engine;
    std::vector<std::u16string> m_oemNames;
    std::vector<std::u16string> m_packageFiles;
    std::vector<std::unique_ptr<emu::devices::FtdiChip>> m_chips;
};

}  // namespace cvinstall
