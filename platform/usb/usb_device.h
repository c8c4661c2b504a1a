// One device plugged into a root port of the host: its model, what its descriptors say, the
// configuration a driver selected (interfaces, pipes and the handles handed out for them), and
// what a test scripted for it (faults, stalled endpoints).
//
// Handles are numbers never given out twice on a host, so a handle from an earlier configuration
// (or of an interface selected again) is recognised as stale. Pipes of an earlier selection are
// kept until the device goes, since a cancel routine may still look for a transfer on one.
//
// The members below "the host's" are called with the host's lock held.
#pragma once

#include <usb.h>

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "descriptors.h"
#include "device_ids.h"
#include "device_model.h"
#include "faults.h"
#include "transfer.h"

namespace emu::usb {

class UsbHost;

// The interfaces a composite device's function owns, and the configuration handle its own
// selections answer with.
struct FunctionScope {
    std::vector<uint8_t> interfaces;
    uintptr_t configurationHandle = 0;
};

class UsbDevice final : public DeviceLink {
public:
    // Null when the model's device descriptor or first configuration descriptor is unusable.
    static std::shared_ptr<UsbDevice> Create(UsbHost& host, std::shared_ptr<DeviceModel> model, unsigned port);
    // Takes the host's lock: the scheduler forgets its pipes.
    ~UsbDevice();
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    // ---- For tests (each takes the host's lock) -----------------------------------------------
    unsigned Port() const { return m_port; }
    bool IsComposite() const { return m_composite; }
    const NodeIdentity& Identity() const { return m_identity; }
    DeviceModel& Model() { return *m_model; }
    // The device's PDO, and for a composite device the PDO of the function with that interface.
    PDEVICE_OBJECT Pdo() const;
    PDEVICE_OBJECT FunctionPdo(uint8_t interfaceNumber) const;
    bool Gone() const;
    // The endpoint answers STALL to every transaction until a driver clears its halt (reset pipe);
    // endpoint 0 stalls the next control transfer only.
    void StallEndpoint(uint8_t address);
    void AddFault(const Fault& fault);
    void ClearFaults();
    uint64_t PortResetCount() const;
    uint64_t RequestCount(RequestKind kind) const;  // Any: every request that reached the host
    // Transfers submitted and not completed yet.
    size_t PendingTransfers() const;

    void Notify() override;

    // ---- The host's ------------------------------------------------------------------------------
    UsbHost& Host() { return m_host; }
    const DeviceInfo& Info() const { return m_info; }
    const ConfigurationInfo* Configuration(uint8_t index) const;
    const ConfigurationInfo* FirstConfiguration() const { return Configuration(0); }
    std::optional<std::u16string> String(uint8_t index) const;
    void SetPdo(PDEVICE_OBJECT pdo) { m_pdo = pdo; }
    void SetFunctionPdo(uint8_t interfaceNumber, PDEVICE_OBJECT pdo);
    void MarkGone() { m_gone = true; }
    bool IsGone() const { return m_gone; }
    bool TakeNotification() { return m_notified.exchange(false); }

    Pipe& ControlPipe() { return *m_controlPipe; }
    // The open pipe with that handle (within the function's interfaces, when scoped); null for a
    // stale or foreign handle.
    Pipe* FindPipe(USBD_PIPE_HANDLE handle, const FunctionScope* scope);
    // Every open pipe (the control pipe first).
    std::vector<Pipe*> Pipes();
    // Every pipe a transfer of the device may wait on: the open ones, and those closed by later
    // selections (kept for the device's life).
    std::vector<Pipe*> AllPipes();

    // Selections: they fill the URB's records and hand out new handles. Pipes that close go to
    // `closed`, so the host fails what waits on them.
    USBD_STATUS SelectConfiguration(struct _URB_SELECT_CONFIGURATION& urb, const FunctionScope* scope,
                                    std::vector<Pipe*>& closed, MachineTime now);
    USBD_STATUS SelectInterface(struct _URB_SELECT_INTERFACE& urb, const FunctionScope* scope,
                                std::vector<Pipe*>& closed, MachineTime now);
    // Selects the first configuration with every interface at its first setting (the composite
    // splitter, at its start).
    USBD_STATUS ConfigureAll(std::vector<Pipe*>& closed, MachineTime now);
    void Unconfigure(std::vector<Pipe*>& closed, MachineTime now);
    // Tells the model the configuration and alternate settings selected before a port reset.
    void RestoreSelection(MachineTime now);
    std::optional<uint8_t> ConfigurationValue() const { return m_configurationValue; }
    std::optional<uint8_t> AlternateSetting(uint8_t interfaceNumber) const;
    uintptr_t NewHandle();

    bool IsStalled(uint8_t address) const { return m_stalled.count(address) != 0; }
    void StallEndpointLocked(uint8_t address) { m_stalled.insert(address); }
    void ClearStall(uint8_t address) { m_stalled.erase(address); }
    std::optional<Fault> TakeFault(RequestKind kind, uint8_t endpoint);
    void CountPortReset() { ++m_portResets; }

private:
    UsbDevice(UsbHost& host, std::shared_ptr<DeviceModel> model, unsigned port, const DeviceInfo& info);

    struct ActiveInterface {
        uint8_t number = 0;
        uint8_t alternateSetting = 0;
        uintptr_t handle = 0;
        std::vector<std::unique_ptr<Pipe>> pipes;
    };

    // Checks one interface record of a selection against the configuration.
    USBD_STATUS CheckRecord(const USBD_INTERFACE_INFORMATION& record, const uint8_t* end,
                            const ConfigurationInfo& configuration, const FunctionScope* scope,
                            const InterfaceInfo** found) const;
    // Opens the interface's pipes anew (closing those it had) and fills its record.
    void OpenInterface(const InterfaceInfo& info, USBD_INTERFACE_INFORMATION& record, std::vector<Pipe*>& closed);
    void CloseInterface(ActiveInterface& active, std::vector<Pipe*>& closed);
    ActiveInterface* FindActive(uint8_t number);
    const ConfigurationInfo* ConfigurationByValue(uint8_t value, std::optional<uint8_t>* index) const;

    UsbHost& m_host;
    std::shared_ptr<DeviceModel> m_model;
    const unsigned m_port;
    DeviceInfo m_info;
    std::vector<std::optional<ConfigurationInfo>> m_configurations;  // by index
    NodeIdentity m_identity;
    bool m_composite = false;

    PDEVICE_OBJECT m_pdo = nullptr;
    std::map<uint8_t, PDEVICE_OBJECT> m_functionPdos;
    bool m_gone = false;
    std::atomic<bool> m_notified{false};

    std::unique_ptr<Pipe> m_controlPipe;
    std::optional<uint8_t> m_configurationValue;
    uintptr_t m_configurationHandle = 0;
    std::vector<ActiveInterface> m_interfaces;
    std::map<uintptr_t, Pipe*> m_pipesByHandle;
    std::vector<std::unique_ptr<Pipe>> m_retired;

    std::set<uint8_t> m_stalled;
    FaultPlan m_faults;
    std::map<RequestKind, uint64_t> m_requests;
    uint64_t m_portResets = 0;

    friend class UsbHost;
};

}  // namespace emu::usb
