// WMI of the emulated machine: the providers drivers register (IoWMIRegistrationControl), the
// events they fire (WmiFireEvent), and the requests the WMI library (wmilib.cpp) has handed to a
// driver's callbacks and not yet seen completed.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace emu {

class Kernel;

struct WmiFiredEvent {
    PDEVICE_OBJECT device;
    GUID guid;
    ULONG instanceIndex;
    std::vector<uint8_t> data;
};

// What WmiSystemControl remembers of a request between calling a driver's callback and that
// driver's WmiCompleteRequest.
struct WmiPendingRequest {
    UCHAR minor = 0;
    ULONG dataOffset = 0;  // where the driver's data begins in Parameters.WMI.Buffer
    ULONG instanceCount = 0;
    std::vector<ULONG> instanceLengths;  // filled by the driver (data queries)
};

class WmiManager {
public:
    explicit WmiManager(Kernel& machine);
    ~WmiManager();
    WmiManager(const WmiManager&) = delete;
    WmiManager& operator=(const WmiManager&) = delete;

    // ---- Kernel entry points ---------------------------------------------------------------
    NTSTATUS RegistrationControl(PDEVICE_OBJECT deviceObject, ULONG action);
    NTSTATUS FireEvent(PDEVICE_OBJECT deviceObject, LPCGUID guid, ULONG instanceIndex, ULONG eventDataSize,
                       PVOID eventData);

    // ---- Providers and events ----------------------------------------------------------------
    bool IsRegistered(PDEVICE_OBJECT deviceObject) const;
    std::vector<PDEVICE_OBJECT> Providers() const;
    // Registration calls made for the device (register, deregister, update), in order.
    std::vector<ULONG> RegistrationActions(PDEVICE_OBJECT deviceObject) const;
    std::vector<WmiFiredEvent> Events() const;
    void ClearEvents();

    // ---- For the WMI library ------------------------------------------------------------------
    // The record stays at the same address until it is taken.
    WmiPendingRequest& BeginRequest(PIRP irp, UCHAR minor, ULONG dataOffset, ULONG instanceCount);
    std::unique_ptr<WmiPendingRequest> TakeRequest(PIRP irp);
    size_t PendingRequestCount() const;

private:
    Kernel& m_kernel;
    mutable std::mutex m_mutex;
    std::vector<PDEVICE_OBJECT> m_providers;
    std::map<PDEVICE_OBJECT, std::vector<ULONG>> m_actions;
    std::vector<WmiFiredEvent> m_events;
    std::map<PIRP, std::unique_ptr<WmiPendingRequest>> m_requests;
};

}  // namespace emu
