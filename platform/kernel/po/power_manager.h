// Power manager of the emulated machine: power IRPs requested by drivers (PoRequestPowerIrp) and
// sent by the system (system power IRPs from tests), the device power states drivers announce
// (PoSetPowerState), and, before Windows Vista, the rule that every driver a power IRP reaches
// calls PoStartNextPowerIrp for it. A device object without DO_POWER_PAGABLE gets its power IRPs
// at DISPATCH_LEVEL (sent by the power manager or passed on with PoCallDriver), as Windows may send
// them there.
#pragma once

#include <wdm.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace emu {

class Kernel;

// A power IRP the power manager sent; the test may wait for it to come back.
class PowerRequest {
public:
    bool Done() const;
    // Waits (bounded in real time, so a broken test fails rather than hangs) until it completed.
    bool Wait(std::chrono::milliseconds bound = std::chrono::seconds(10)) const;
    IO_STATUS_BLOCK Result() const;

private:
    friend class PowerManager;
    void Finish(const IO_STATUS_BLOCK& result);

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_done;
    bool m_finished = false;
    IO_STATUS_BLOCK m_result{};
};

// One PoRequestPowerIrp call that issued an IRP.
struct RequestedPowerIrp {
    PDEVICE_OBJECT device;  // the physical device object named in the call
    UCHAR minor;
    POWER_STATE state;
};

class PowerManager {
public:
    explicit PowerManager(Kernel& machine);
    ~PowerManager();
    PowerManager(const PowerManager&) = delete;
    PowerManager& operator=(const PowerManager&) = delete;

    // ---- Kernel entry points ---------------------------------------------------------------
    NTSTATUS RequestPowerIrp(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                             PREQUEST_POWER_COMPLETE completionFunction, PVOID context, PIRP* irp);
    POWER_STATE SetPowerState(PDEVICE_OBJECT deviceObject, POWER_STATE_TYPE type, POWER_STATE state);
    void StartNextPowerIrp(PIRP irp);
    NTSTATUS CallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);

    // ---- Tests -------------------------------------------------------------------------------
    // Sends a system power IRP (IRP_MN_SET_POWER or IRP_MN_QUERY_POWER, SystemPowerState) to the
    // top of the device's stack, as the power manager does on a system power change.
    std::shared_ptr<PowerRequest> SendSystemPowerIrp(PDEVICE_OBJECT deviceObject, UCHAR minorFunction,
                                                     SYSTEM_POWER_STATE state,
                                                     POWER_ACTION action = PowerActionNone);
    // What PoSetPowerState last recorded for the device (D0 / PowerSystemWorking when nothing was).
    DEVICE_POWER_STATE DeviceStateOf(PDEVICE_OBJECT deviceObject) const;
    SYSTEM_POWER_STATE SystemStateOf(PDEVICE_OBJECT deviceObject) const;
    size_t SetPowerStateCount() const;
    std::vector<RequestedPowerIrp> RequestedIrps() const;
    // Power IRPs sent by the power manager that have not come back yet.
    size_t OutstandingIrpCount() const;
    // Drops what is kept for a device object that is going away.
    void ForgetDevice(PDEVICE_OBJECT deviceObject);

private:
    // A power IRP in flight: the devices it reached and those that started the next power IRP.
    struct Tracked {
        std::vector<PDEVICE_OBJECT> reached;
        std::set<PDEVICE_OBJECT> started;
        PDEVICE_OBJECT target = nullptr;  // the device named by the requester
        PDEVICE_OBJECT top = nullptr;     // the top of its stack, referenced while the IRP is out
        UCHAR minor = 0;
        POWER_STATE state{};
        PREQUEST_POWER_COMPLETE completion = nullptr;
        PVOID context = nullptr;
        std::shared_ptr<PowerRequest> request;
    };

    NTSTATUS Send(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE_TYPE type, POWER_STATE state,
                  POWER_ACTION action, std::unique_ptr<Tracked> tracked, PIRP* irpOut);
    static NTSTATUS OnCompletion(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
    void CheckStarted(PIRP irp, const Tracked& tracked);
    bool PreVista() const;

    Kernel& m_kernel;
    mutable std::mutex m_mutex;
    std::map<PIRP, std::unique_ptr<Tracked>> m_inFlight;
    std::map<PDEVICE_OBJECT, DEVICE_POWER_STATE> m_deviceStates;
    std::map<PDEVICE_OBJECT, SYSTEM_POWER_STATE> m_systemStates;
    size_t m_setPowerStateCalls = 0;
    std::vector<RequestedPowerIrp> m_requested;
};

}  // namespace emu
