// Whole-framework scenarios: a machine with the two test driver images installed (Tfbus on a
// "USB" PDO the test owns, Tffunc on the children Tfbus creates from its registry), the registry
// written as the bus INF would write it, and helpers to reach the nodes, the interfaces and each
// image's call record.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "images/tftestimage.h"
#include "io/driver_loader.h"
#include "pnp/interface_manager.h"
#include "pnp/pnp_manager.h"
#include "cm/registry.h"
#include "machine_test.h"
#include "test_driver.h"

namespace tfscenario {

inline constexpr char16_t kBusService[] = u"Tfbus";
inline constexpr char16_t kFuncService[] = u"Tffunc";
inline constexpr char16_t kBusImage[] = u"Tfbus.sys";
inline constexpr char16_t kFuncImage[] = u"Tffunc.sys";
// The USB device the bus driver loads on.
inline constexpr char16_t kBusHardwareId[] = u"USB\\VID_0403&PID_7F00";
inline constexpr char16_t kBusInstancePath[] = u"USB\\VID_0403&PID_7F00\\TF000001";
// The children's device ID and hardware ID; instance IDs are "000<ContextID>" and the children
// report UniqueID, so a child's instance path is "TFBUS\PORT\000<ContextID>".
inline constexpr char16_t kChildDeviceId[] = u"TFBUS\\PORT";
inline constexpr char16_t kPortsClass[] = u"{4D36E978-E325-11CE-BFC1-08002BE10318}";
inline constexpr char16_t kBusDeviceName[] = u"TfBus";    // bus FDO: \Device\TfBus
inline constexpr char16_t kPortDeviceName[] = u"TfPort";  // children's PDOs: \Device\TfPort<n>
inline constexpr char16_t kFuncDeviceName[] = u"TfFunc";  // Tffunc FDOs: \Device\TfFunc, TfFunc1, ...

// {862AB446-2AA7-4B60-8945-F579C09F36CB} and {429D4669-CDFF-4B62-B0DC-BDCEA76ABD31}.
extern const GUID kBusInterfaceGuid;
extern const GUID kPortInterfaceGuid;

// One child as the bus INF describes it ("Child<i>" subkey of the bus hardware key).
struct ChildSpec {
    ULONG contextId = 1;
    bool doNotCreateAtStartup = false;
};

// A finished device-control request.
struct ControlResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<uint8_t> output;
};

class FrameworkScenario : public emu::testing::MachineTest {
protected:
    // Installs both images and services, binds them, makes the USB PDO (not yet plugged).
    void SetUp() override;
    // Unplugs what is still plugged (so the images unload while the kernel runs), then checks that
    // no tracked block ("TfKi") of either image is left.
    void TearDown() override;

    emu::PnpManager& Pnp() { return machine().GetPnp(); }
    emu::Registry& Reg() { return machine().GetRegistry(); }
    emu::DriverLoader& Drivers() { return machine().GetDrivers(); }

    // ---- Registry, as the INFs write it ------------------------------------------------------------
    static std::u16string HardwareKey(std::u16string_view instancePath);  // Enum\<path>\Device Parameters
    static std::u16string ChildInstancePath(ULONG contextId);            // "TFBUS\PORT\000<id>"
    // Bus FDO values (TypeOfDevice, DeviceName, DeviceIndexingPolicyType 1, NumberChildDevices,
    // LowestStackLayer 1) and one "Child<i>" subkey per child with the PDO values; and, in each
    // child's own hardware key, the Tffunc FDO values. Called by Plug unless written already.
    void WriteBusRegistry(const std::vector<ChildSpec>& children);
    void WriteChildValues(ULONG childNumber, const ChildSpec& child);
    void WriteFunctionValues(ULONG contextId);

    // ---- Plugging ---------------------------------------------------------------------------------
    // Writes the registry for the children (when WriteBusRegistry was not called) and plugs the
    // USB device: Tfbus loads, starts and creates the children, which load Tffunc.
    NTSTATUS Plug(const std::vector<ChildSpec>& children = {{1}, {2}});
    // Orderly removal (QUERY_REMOVE, REMOVE), children first.
    NTSTATUS Unplug();
    // The cable pulled: SURPRISE_REMOVAL now, REMOVE once every handle is closed.
    NTSTATUS SurpriseUnplug();
    bool Plugged() const { return m_plugged; }

    // ---- The tree ---------------------------------------------------------------------------------
    emu::testing::TestDriver& UsbDriver() { return m_usb; }  // the USB PDO's driver: SetDispatch to script it
    PDEVICE_OBJECT UsbPdo() const { return m_usbPdo; }
    PDEVICE_OBJECT BusFdo() const { return m_usbPdo ? m_usbPdo->AttachedDevice : nullptr; }
    std::optional<emu::DeviceNodeInfo> BusNode();
    std::vector<emu::DeviceNodeInfo> ChildNodes();
    std::optional<emu::DeviceNodeInfo> ChildNode(ULONG contextId);
    PDEVICE_OBJECT ChildPdo(ULONG contextId);
    PDEVICE_OBJECT FunctionFdo(ULONG contextId);  // the Tffunc FDO on that child (top of its stack)

    // ---- Configuration interfaces -----------------------------------------------------------------
    // User-mode paths ("\\?\...\CVGENDRV_..."), empty when there is none (or it is disabled).
    std::u16string BusInterfacePath();
    std::u16string PortInterfacePath(ULONG contextId);
    std::vector<emu::DeviceInterfaceInfo> EnabledInterfaces(const GUID& classGuid);

    // ---- Requests from user mode ------------------------------------------------------------------
    HANDLE Open(const std::u16string& path);  // CreateFileW, read/write, non-overlapped
    // DeviceIoControl; *error gets GetLastError() on failure.
    bool Control(HANDLE handle, ULONG code, const std::vector<uint8_t>& input, std::vector<uint8_t>& output,
                 DWORD* returned = nullptr, DWORD* error = nullptr);

    // ---- Requests from kernel mode ----------------------------------------------------------------
    // A synchronous IRP_MJ_DEVICE_CONTROL (or internal) built with IoBuildDeviceIoControlRequest and
    // sent to `device` at PASSIVE_LEVEL.
    ControlResult SendControl(PDEVICE_OBJECT device, ULONG code, const std::vector<uint8_t>& input = {},
                              ULONG outputLength = 0, bool internal = false);

    // ---- Records ----------------------------------------------------------------------------------
    // The lines an image has written under its service key (see tftestimage.h). Flush first asks a
    // started device of that image to write lines of calls made above PASSIVE_LEVEL.
    // `from` skips the lines before a mark taken with RecordMark.
    std::vector<std::string> Record(std::u16string_view service, size_t from = 0);
    size_t RecordMark(std::u16string_view service);
    void FlushRecord(PDEVICE_OBJECT startedDevice) { SendControl(startedDevice, TFTEST_IOCTL_FLUSH_RECORD, {}, 4); }
    // Lines starting with the prefix ("18 ", "5 dev1").
    static std::vector<std::string> Lines(const std::vector<std::string>& record, std::string_view prefix);

    // ---- Leak checks ------------------------------------------------------------------------------
    size_t TrackedBlocks();  // live pool blocks tagged "TfKi" (both images)

    // Scripted refusal of entry 18 (read at DriverEntry, so set before Plug).
    void SetRefuseValue(std::u16string_view service, ULONG value);

    static std::u16string ServiceKey(std::u16string_view service) { return emu::DriverLoader::ServiceKeyPath(service); }

private:
    emu::testing::TestDriver m_usb{u"TfUsbHub"};
    PDEVICE_OBJECT m_usbPdo = nullptr;
    bool m_plugged = false;
    bool m_registryWritten = false;
};

}  // namespace tfscenario
