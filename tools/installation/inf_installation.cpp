#include "inf_installation.h"

#include <fstream>
#include <sstream>

#include <setupapi.h>

#include "adapter_table.h"
#include "file_system.h"
#include "ftdi_chip.h"
#include "ftdi_chip_device.h"
#include "install_engine.h"
#include "machine.h"
#include "pnp/pnp_manager.h"
#include "system_profile.h"
#include "usb_host.h"

namespace cvinstall {
namespace {

constexpr const char* kInfNames[] = {"ENUMDRV.INF", "PORTDRV.INF"};
constexpr char16_t kMediaFolder[] = u"C:\\Media";

std::vector<uint8_t> ReadHostFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The file a system folder holds for a package file: its name's bytes stand in for its contents.
std::vector<uint8_t> StandInBytes(std::u16string_view name)
{
    return std::vector<uint8_t>(name.begin(), name.end());
}

}  // namespace

InfInstallation::InfInstallation(emu::Machine& machine, const InfPackageFiles& files) : m_machine(machine)
{
    m_engine = std::make_unique<emu::setup::InstallEngine>(machine);
    emu::files::FileSystem& fileSystem = emu::files::FileSystem::Current();
    // The co-installer libraries are not loadable here: the chain leaves them out.
    const emu::setup::PackageFiles packageFiles = {{u"Enumdrv39.sys", files.enumdrv},
                                                   {u"Portdrv39.sys", files.portdrv},
                                                   {u"Cfgdll39.dll", files.infFolder / "ENUMDRV.INF"},
                                                   {u"Portpanel39.dll", files.infFolder / "ENUMDRV.INF"}};
    for (const char* infName : kInfNames) {
        const std::vector<uint8_t> bytes = ReadHostFile(files.infFolder / infName);
        const std::u16string source = std::u16string(kMediaFolder) + u"\\" + emu::setup::Widen(infName);
        fileSystem.WriteFile(source, bytes);
        WCHAR destination[260] = {};
        PWSTR component = nullptr;
        if (!SetupCopyOEMInfW(source.c_str(), nullptr, SPOST_PATH, 0, destination, 260, nullptr, &component)) continue;
        m_oemNames.emplace_back(component);
        const std::string text(bytes.begin(), bytes.end());
        m_engine->AddInf(emu::setup::InfFile::Parse(m_oemNames.back(), text), packageFiles);
    }
    // What Setup's package leaves beside the drivers: the libraries and the Remover in the system
    // folder, the help file in the Windows help folder.
    emu::process::SystemProfile& profile = emu::process::SystemProfile::Current();
    for (std::u16string name : {u"Portpanel39.dll", u"Cfgdll39.dll", u"Remover39.exe"})
        m_packageFiles.push_back(profile.SystemDirectory() + u"\\" + name);
    m_packageFiles.push_back(profile.WindowsDirectory() + u"\\Help\\Portpanel39.chm");
    for (const std::u16string& path : m_packageFiles) fileSystem.WriteFile(path, StandInBytes(path));
}

InfInstallation::~InfInstallation() = default;

std::vector<std::u16string> InfInstallation::PlugSinglePortAdapter()
{
    m_chips.push_back(std::make_unique<emu::devices::FtdiChip>(emu::devices::ChipConfig::SinglePort()));
    m_machine.GetUsb().Plug(std::make_shared<emu::usb::FtdiChipDevice>(*m_chips.back()));
    m_engine->RunPendingInstalls();
    std::vector<std::u16string> installed;
    for (const emu::DeviceNodeInfo& node : m_machine.GetPnp().Nodes())
        for (const std::u16string& id : node.hardwareIds)
            if (emu::setup::EqualNoCase(id, cvpackage::BusDriverIds()[0]) || emu::setup::EqualNoCase(id, cvpackage::kRs232PortId)) {
                installed.push_back(node.instancePath);
                break;
            }
    return installed;
}

}  // namespace cvinstall
