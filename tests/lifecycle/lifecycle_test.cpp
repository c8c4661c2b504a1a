// The package's whole life cycle on a fresh machine: Setup runs silently from the disk image, an
// adapter arrives and its port gets COM1, an application sends a block through a loopback plug on
// it, the adapter is pulled out and plugged in again, the Remover runs silently, and the machine
// holds nothing of the package any more.
#include <gtest/gtest.h>

#include <windows.h>
#include <msports.h>
#include <winsvc.h>

#include <chrono>
#include <memory>
#include <vector>

#include "application_runner.h"
#include "cable.h"
#include "cm/registry.h"
#include "install_engine.h"
#include "driver_store.h"
#include "file_system.h"
#include "ftdi_chip.h"
#include "ftdi_chip_device.h"
#include "ke/clock.h"
#include "pnp/pnp_manager.h"
#include "process_launcher.h"
#include "setup_machine.h"
#include "system_profile.h"
#include "tfinstapp.h"
#include "tfunistapp.h"
#include "ui_control.h"
#include "usb_host.h"

// Remover39.exe's one application object.
extern CTfUnistApp theApp;

namespace emu::testing {
namespace {

CWinApp& RemoverApp() { return theApp; }

// Each program's module handle, the key of its resources.
int g_setupModule, g_removerModule;

struct Preset {
    const char* name;
    WindowsVersion windows;
};

const Preset kPresets[] = {{"Windows7x64", WindowsVersion::Win7}, {"WindowsXp", WindowsVersion::WinXP}};

bool ServiceExists(const char16_t* name)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return false;
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_STATUS);
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return service != nullptr;
}

bool ComNumberClaimed(DWORD number)
{
    HCOMDB database = nullptr;
    if (ComDBOpen(&database) != ERROR_SUCCESS) return false;
    std::vector<BYTE> usage(COMDB_MIN_PORTS_ARBITRATED, 0);
    DWORD maximum = 0;
    ComDBGetCurrentPortUsage(database, usage.data(), static_cast<DWORD>(usage.size()), CDB_REPORT_BYTES, &maximum);
    ComDBClose(database);
    return usage[number - 1] != 0;
}

bool KeyExists(const std::u16string& subKeyOfHklm)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKeyOfHklm.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

bool ValueExists(const std::u16string& subKeyOfHklm, const std::u16string& name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKeyOfHklm.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    const bool found = RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return found;
}

std::vector<uint8_t> Block(size_t size)
{
    std::vector<uint8_t> block(size);
    for (size_t index = 0; index < size; ++index) block[index] = static_cast<uint8_t>(index * 7 + 3);
    return block;
}

// What the installed package with its adapter plugged holds. Not among them: the port's Ports value
// (its co-installer writes it, and co-installers do not load on this machine) and the Add/Remove
// Programs entry (no installation step writes it); PackageTraces still looks for both.
const std::vector<std::string> kInstalledTraces = {
    "the bus driver's service", "the port driver's service", "the bus driver's service key",
    "the port driver's service key", "Enumdrv39.sys", "Portdrv39.sys", "an INF in the driver store",
    "an oem*.inf copy", "COM1's reservation", "COM1's DOS name", "the port device",
    "the adapter's service value", "the adapter's driver key"};

class LifeCycleTest : public SetupMachineTest, public ::testing::WithParamInterface<Preset> {
protected:
    MachineOptions Options() const override
    {
        MachineOptions options;
        options.windows = GetParam().windows;
        return options;
    }

    void TearDown() override
    {
        m_device = nullptr;
        SetupMachineTest::TearDown();
    }

    int RunSetup()
    {
        files::FileSystem::Current().CreateDirectory(kDiskImage);
        MakeDiskImage(kDiskImage);
        auto program = SetupProgram(kDiskImage);
        program->SetInstance(reinterpret_cast<HINSTANCE>(&g_setupModule));
        CTfInstApp app;
        const mfc::ProgramRun run = mfc::RunApplication(app, program, {u"Setup.exe", u"/s"});
        EXPECT_EQ(run.threadsLeft, 0u);
        m_engine->RunPendingInstalls();
        return run.exitCode;
    }

    // The Remover as the package leaves it in the system folder: a 32-bit program, under WOW64 on
    // a 64-bit system, where its copy lies in the folder its System32 leads to.
    int RunRemover()
    {
        const process::SystemProfile& system = process::SystemProfile::Current();
        const std::u16string image = system.SystemDirectory() + u"\\Remover39.exe";
        const std::u16string copy = (system.Is64Bit() ? system.Wow64Directory() : system.SystemDirectory()) + u"\\Remover39.exe";
        files::FileSystem::Current().WriteText(copy, u"MZ");
        auto program = std::make_shared<process::Program>(image, true, process::Token::Administrator());
        program->SetInstance(reinterpret_cast<HINSTANCE>(&g_removerModule));
        const mfc::ProgramRun run = mfc::RunApplication(RemoverApp(), program, {u"Remover39.exe", u"/s"});
        EXPECT_EQ(run.threadsLeft, 0u);
        files::RunPendingCommands();
        EXPECT_FALSE(files::FileSystem::Current().Exists(copy)) << "the Remover's own copy is left";
        return run.exitCode;
    }

    // A one-port adapter with a loopback plug on its port; waits until what arrived is installed.
    void Plug()
    {
        m_chips.push_back(std::make_unique<devices::FtdiChip>(devices::ChipConfig::SinglePort()));
        {
            std::lock_guard lock(devices::ModelLock());
            devices::PlugLoopback(static_cast<devices::Time>(machine().GetClock().InterruptTime()), *m_chips.back(), 1);
        }
        m_device = machine().GetUsb().Plug(std::make_shared<usb::FtdiChipDevice>(*m_chips.back()));
        ASSERT_NE(m_device, nullptr);
        m_engine->RunPendingInstalls();
        machine().GetPnp().WaitIdle();
    }

    void Unplug()
    {
        machine().GetUsb().Unplug(*m_device);
        m_device = nullptr;
        machine().GetPnp().WaitIdle();
    }

    // An application's round trip through the loopback plug on the port, with kernel32.
    void SendThroughLoopback(const std::u16string& name);
    // What of the package the machine holds, one line each.
    std::vector<std::string> PackageTraces();

private:
    std::vector<std::unique_ptr<devices::FtdiChip>> m_chips;  // each outlives its plug
    usb::UsbDevice* m_device = nullptr;
};

void LifeCycleTest::SendThroughLoopback(const std::u16string& name)
{
    const std::u16string path = u"\\\\.\\" + name;
    HANDLE port = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << "CreateFileW failed with " << GetLastError();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    // The block is larger than the chip's receive buffer: RTS/CTS keeps the line from overrunning it.
    dcb.fOutxCtsFlow = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_TRUE(SetCommState(port, &dcb));
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 1000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));

    const std::vector<uint8_t> sent = Block(512);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, sent.data(), static_cast<DWORD>(sent.size()), &written, nullptr));
    EXPECT_EQ(written, sent.size());
    std::vector<uint8_t> received;
    // A stall is judged in real time: each read returns what is there, waiting for the first byte.
    auto lastProgress = std::chrono::steady_clock::now();
    while (received.size() < sent.size() && std::chrono::steady_clock::now() - lastProgress < std::chrono::seconds(10)) {
        std::vector<uint8_t> chunk(sent.size() - received.size());
        DWORD read = 0;
        ASSERT_TRUE(ReadFile(port, chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr));
        if (read) lastProgress = std::chrono::steady_clock::now();
        received.insert(received.end(), chunk.begin(), chunk.begin() + read);
    }
    EXPECT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent) << "the block came back changed";
    EXPECT_TRUE(CloseHandle(port));
}

std::vector<std::string> LifeCycleTest::PackageTraces()
{
    std::vector<std::string> traces;
    auto note = [&traces](bool present, const char* what) { if (present) traces.push_back(what); };
    note(ServiceExists(u"Enumdrv39"), "the bus driver's service");
    note(ServiceExists(u"Portdrv39"), "the port driver's service");
    note(KeyExists(u"SYSTEM\\CurrentControlSet\\Services\\Enumdrv39"), "the bus driver's service key");
    note(KeyExists(u"SYSTEM\\CurrentControlSet\\Services\\Portdrv39"), "the port driver's service key");
    const process::SystemProfile& system = process::SystemProfile::Current();
    const std::u16string drivers = system.SystemDirectory() + u"\\drivers\\";
    note(files::FileSystem::Current().Exists(drivers + u"Enumdrv39.sys"), "Enumdrv39.sys");
    note(files::FileSystem::Current().Exists(drivers + u"Portdrv39.sys"), "Portdrv39.sys");
    note(!setupapi::DriverStore::Current().Infs().empty(), "an INF in the driver store");
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((system.WindowsDirectory() + u"\\inf\\oem*.inf").c_str(), &found);
    note(search != INVALID_HANDLE_VALUE, "an oem*.inf copy");
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    note(ComNumberClaimed(1), "COM1's reservation");
    note(ValueExists(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports", u"COM1:"), "COM1's Ports value");
    note(KeyExists(u"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vexil.USB"), "the Add/Remove Programs entry");
    WCHAR target[MAX_PATH] = {};
    note(QueryDosDeviceW(u"COM1", target, MAX_PATH) != 0, "COM1's DOS name");
    note(PortName() != u"<no port>", "the port device");
    // The adapter stays plugged in: its device may come back, but bound to nothing of the package.
    for (const DeviceNodeInfo& node : machine().GetPnp().Nodes()) {
        if (node.instancePath.rfind(u"USB\\VID_0403", 0) != 0) continue;
        const std::u16string key = setup::DeviceKeyOf(node.instancePath);
        note(machine().GetRegistry().GetValue(key, u"Service").has_value(), "the adapter's service value");
        note(machine().GetRegistry().GetValue(key, u"Driver").has_value(), "the adapter's driver key");
    }
    return traces;
}

TEST_P(LifeCycleTest, SetupThePortInUseUnplugAndReplugThenTheRemoverLeavesTheMachineClean)
{
    ASSERT_EQ(RunSetup(), 0);
    Plug();
    ASSERT_TRUE(PortStarted());
    ASSERT_EQ(PortName(), u"COM1");
    EXPECT_TRUE(ComNumberClaimed(1));
    SendThroughLoopback(u"COM1");

    Unplug();
    Plug();
    ASSERT_TRUE(PortStarted());
    EXPECT_EQ(PortName(), u"COM1");
    SendThroughLoopback(u"COM1");
    EXPECT_EQ(PackageTraces(), kInstalledTraces);

    EXPECT_EQ(RunRemover(), 0);
    EXPECT_TRUE(ui::UnexpectedMessageBoxes().empty());
    EXPECT_EQ(ui::LiveWindows(), 0u);
    EXPECT_EQ(PackageTraces(), std::vector<std::string>{});
    // The Remover does not re-enumerate: the adapter comes back when it is plugged in again, as a
    // device the machine has no driver for.
    Unplug();
    Plug();
    EXPECT_EQ(PackageTraces(), std::vector<std::string>{});
    std::optional<DeviceNodeInfo> adapter = machine().GetPnp().FindNode(u"USB\\VID_0403&PID_6001\\EMU00001");
    ASSERT_TRUE(adapter.has_value());
    EXPECT_NE(adapter->state, DeviceNodeState::Started);
    EXPECT_TRUE(adapter->service.empty());
}

INSTANTIATE_TEST_SUITE_P(Presets, LifeCycleTest, ::testing::ValuesIn(kPresets),
                         [](const ::testing::TestParamInfo<Preset>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace emu::testing
