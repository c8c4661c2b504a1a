// A machine with the driver package installed from its INF files and a one-port adapter plugged:
// the bus device and its port installed through the machine's installation engine, the port's COM
// name claimed, its Ports value and DOS device defined as the port's co-installer and driver leave
// them. The Windows version and the spelling of the Windows folder are the test's to choose.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "inf_installation.h"
#include "machine_test.h"

namespace removertest {

struct MachineSetup {
    emu::WindowsVersion windows = emu::WindowsVersion::Win7;
    const char16_t* windowsFolder = u"C:\\WINDOWS";
    // A built-in COM port installed before the package: the Ports class's first driver key is its.
    bool builtInComPort = false;
};

class InstalledMachineTest : public emu::testing::MachineTest {
protected:
    emu::MachineOptions Options() const override;
    // Each test sets its machine up with SetUpMachine.
    void SetUp() override {}
    void TearDown() override;
    // Installs the package on a machine of that setup and plugs the adapter.
    void SetUpMachine(const MachineSetup& setup);

    cvinstall::InfInstallation& Installation() { return *m_installation; }
    // The bus device's and the port's instance paths.
    const std::vector<std::u16string>& Devices() const { return m_devices; }
    DWORD ComNumber() const { return m_comNumber; }

    // ---- What the machine holds ----------------------------------------------------------------
    bool KeyExists(const std::u16string& subKeyOfHklm);
    bool FileExists(const std::u16string& path);
    bool ServiceExists(const std::u16string& name);
    bool ComNumberClaimed(DWORD number);
    std::u16string DriverKeyOf(const std::u16string& instancePath);  // below HKLM, "SYSTEM\...\Class\{..}\000n"
    std::vector<uint8_t> KeyDescriptor(const std::u16string& subKeyOfHklm);
    std::u16string WindowsFolder() const { return m_windowsFolder; }

    static constexpr const char16_t* kPortsKey = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
    static constexpr const char16_t* kAddRemoveKey = u"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vexil.USB";

private:
    void AddBuiltInComPort();

    emu::WindowsVersion m_windows = emu::WindowsVersion::Win7;
    std::u16string m_windowsFolder;
    std::unique_ptr<cvinstall::InfInstallation> m_installation;
    std::vector<std::u16string> m_devices;
    DWORD m_comNumber = 0;
};

// A device known only to the registry (unplugged): its instance key with the values given.
void AddPhantomDevice(emu::Machine& machine, const std::u16string& instancePath, const std::u16string& hardwareId,
                      const std::u16string& className, const std::u16string& service);

}  // namespace removertest
