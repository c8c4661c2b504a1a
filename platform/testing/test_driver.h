// A driver for tests: a DRIVER_OBJECT named "\Driver\<name>" whose dispatch entries call lambdas,
// and that makes its device objects with IoCreateDevice (so they are real platform devices:
// referenced, named, deleted as Windows deletes them).
//
// A major function without a lambda completes its IRP with STATUS_INVALID_DEVICE_REQUEST, as
// Windows' default dispatch does. The driver object joins the running machine (object manager,
// "\Driver" directory) when it is made, or at its first use when no machine ran yet (a fixture
// member). Devices still alive when the TestDriver goes are detached and deleted, if their machine
// still runs.
#pragma once

#include <wdm.h>

#include <array>
#include <functional>
#include <mutex>
#include <string>

namespace emu {
class Machine;
}

namespace emu::testing {

class TestDriver {
public:
    using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
    using AddDevice = std::function<NTSTATUS(PDRIVER_OBJECT, PDEVICE_OBJECT)>;
    using Unload = std::function<void(PDRIVER_OBJECT)>;

    struct DeviceOptions {
        std::u16string name;  // full name ("\Device\Port1"), or empty for an unnamed device
        ULONG extensionSize = 0;
        DEVICE_TYPE type = FILE_DEVICE_UNKNOWN;
        ULONG characteristics = 0;
        bool exclusive = false;
    };

    explicit TestDriver(std::u16string name = u"TestDriver");
    ~TestDriver();
    TestDriver(const TestDriver&) = delete;
    TestDriver& operator=(const TestDriver&) = delete;

    PDRIVER_OBJECT Driver();
    const std::u16string& Name() const { return m_name; }

    void SetDispatch(UCHAR major, Dispatch dispatch);
    void SetAddDevice(AddDevice addDevice);
    void SetUnload(Unload unload);

    // IoCreateDevice for this driver; null on failure (the status goes to *status when asked).
    PDEVICE_OBJECT CreateDevice(const DeviceOptions& options, NTSTATUS* status = nullptr);
    PDEVICE_OBJECT CreateDevice(std::u16string name = {}, ULONG extensionSize = 0, NTSTATUS* status = nullptr);

    // Completes an IRP with the status and information (a helper for dispatch lambdas).
    static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

private:
    // The driver object comes first, so the dispatch trampolines find the TestDriver from it.
    struct Body {
        DRIVER_OBJECT driver;
        DRIVER_EXTENSION extension;
        TestDriver* owner;
    };

    void Bind();
    static TestDriver& OwnerOf(PDRIVER_OBJECT driver);
    static NTSTATUS DispatchTrampoline(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS AddDeviceTrampoline(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
    static void UnloadTrampoline(PDRIVER_OBJECT driver);

    std::mutex m_bindLock;  // the first use may come from several threads at once
    Machine* m_machine = nullptr;  // set once, under m_bindLock
    std::u16string m_name;
    std::u16string m_driverName;  // "\Driver\<name>", the buffer DriverName points into
    Body m_body{};
    std::array<Dispatch, IRP_MJ_MAXIMUM_FUNCTION + 1> m_dispatch;
    AddDevice m_addDevice;
    Unload m_unload;
    bool m_named = false;
};

}  // namespace emu::testing
