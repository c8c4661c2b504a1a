// Plug and Play manager of the emulated machine: the device tree, the function drivers of its
// nodes and the PnP IRP sequences, in WDM order.
//
// A node is a physical device object (PDO) with its identity (instance path, IDs, texts,
// capabilities), its hardware key (Enum\<instance>\Device Parameters) and driver key
// (Control\Class\{class}\000N). Root nodes are plugged by tests (or the USB host) with a PDO of
// their own; child nodes come from a started bus driver's BusRelations. The function driver of a
// node is chosen from a table of hardware and compatible IDs (BindService).
//
// PnP IRPs are sent at PASSIVE_LEVEL, one at a time for the whole tree, with the initial status
// STATUS_NOT_SUPPORTED; a pending IRP is waited for. Operations queued while one runs (a driver's
// IoInvalidateDeviceRelations) run after it, on the same thread.
#pragma once

#include <wdm.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace emu {

class Kernel;

inline constexpr std::u16string_view kEnumKeyPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";
inline constexpr std::u16string_view kClassKeyPath =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class";
// The class of a node whose binding names none ("System devices").
inline constexpr std::u16string_view kSystemClassGuid = u"{4D36E97D-E325-11CE-BFC1-08002BE10318}";

enum class DeviceNodeState {
    Initialized,     // identity known, no driver (none bound, or it failed)
    Started,
    QueryStopped,    // stop pending
    Stopped,
    QueryRemoved,    // remove pending
    SurpriseRemoved, // waiting for its handles to close before REMOVE
    Removed,         // removed while its parent still lists it; may be started again
};

const char* DeviceNodeStateName(DeviceNodeState state);

struct DeviceNodeInfo {
    std::u16string instancePath;  // "USB\VID_0403&PID_6001\5&1234"
    std::u16string deviceId;
    std::u16string instanceId;
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    std::u16string description;
    std::u16string location;
    std::u16string service;    // the function driver's service, empty when none is bound
    std::u16string classGuid;
    std::u16string driverKey;  // "{class GUID}\0003", empty when none is bound
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT parentPdo = nullptr;  // null for a root node
    DeviceNodeState state = DeviceNodeState::Initialized;
    NTSTATUS problem = STATUS_SUCCESS;  // why the node did not start, if it did not
    // The stack's last IRP_MN_QUERY_PNP_DEVICE_STATE answer (PNP_DEVICE_* bits), when it handled one.
    bool hasPnpDeviceState = false;
    PNP_DEVICE_STATE pnpDeviceState = 0;
    bool hasCapabilities = false;
    DEVICE_CAPABILITIES capabilities{};
    bool hasBusInformation = false;
    PNP_BUS_INFORMATION busInformation{};
};

// One PnP IRP the manager sent, for tests that check the order of a sequence.
struct PnpIrpRecord {
    std::u16string instancePath;  // the node's, or the PDO's description before it has a node
    PDEVICE_OBJECT pdo = nullptr;
    UCHAR minor = 0;
    ULONG detail = 0;  // relation type, ID type or text type where the minor has one
    NTSTATUS status = STATUS_SUCCESS;
};

struct RootDeviceSpec {
    std::u16string instancePath;
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    std::u16string description;
    PDEVICE_OBJECT pdo = nullptr;
    // Given to IRP_MN_START_DEVICE (null for a USB device); the manager keeps its own copies.
    PCM_RESOURCE_LIST resources = nullptr;
    PCM_RESOURCE_LIST resourcesTranslated = nullptr;
};

class PnpManager {
public:
    explicit PnpManager(Kernel& machine);
    // Removes every device (children first) so drivers unload while the kernel still runs.
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    // ---- Driver selection ------------------------------------------------------------------------
    // The function driver of devices with this hardware or compatible ID (compared without case).
    void BindService(std::u16string_view hardwareId, std::u16string_view service,
                     std::u16string_view classGuid = kSystemClassGuid);
    // The same, with the installation the device's INF performs: the first time a device with this
    // ID arrives (it has no driver key yet), `install` runs with its instance path before its
    // driver loads, as Setup writes the device's registry values before starting it.
    using DeviceInstaller = std::function<void(const std::u16string& instancePath)>;
    void BindService(std::u16string_view hardwareId, std::u16string_view service, std::u16string_view classGuid,
                     DeviceInstaller install);
    // The same, for an installation that may be done later: when `install` answers false the device
    // is left without a driver (no driver key, problem STATUS_NOT_FOUND), as Windows leaves new
    // hardware until user mode has installed it (it may be asked again each time the manager makes
    // the device's keys until then); the installer then writes the device's driver key and starts
    // it with StartDevice.
    using DeferrableInstaller = std::function<bool(const std::u16string& instancePath)>;
    void BindDeferredInstallation(std::u16string_view hardwareId, std::u16string_view service,
                                  std::u16string_view classGuid, DeferrableInstaller install);
    void UnbindService(std::u16string_view hardwareId);

    // ---- Device arrival and departure ------------------------------------------------------------
    // Plugs a root device: makes its node and keys, loads its function driver, AddDevice, START,
    // then enumerates its children. The node stays (with its problem) when a step fails.
    NTSTATUS AddRootDevice(const RootDeviceSpec& spec);
    NTSTATUS AddRootDevice(std::u16string_view instancePath, std::vector<std::u16string> hardwareIds,
                           PDEVICE_OBJECT pdo);
    // QUERY_REMOVE for the subtree (children first); on a refusal CANCEL_REMOVE to all that were
    // asked and the refusal's status; otherwise REMOVE, children first.
    NTSTATUS QueryRemoveDevice(PDEVICE_OBJECT pdo);
    // SURPRISE_REMOVAL for the subtree, children first; REMOVE follows once no handle is open on
    // any device of it.
    NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT pdo);
    // QUERY_STOP (refusal: CANCEL_STOP), STOP, then START again with the same resources.
    NTSTATUS StopDevice(PDEVICE_OBJECT pdo);
    // Starts a node again that was removed while its parent still lists it (or that failed).
    NTSTATUS StartDevice(PDEVICE_OBJECT pdo);
    // Queries the node's bus relations again now (IoInvalidateDeviceRelations, synchronously).
    NTSTATUS EnumerateDevice(PDEVICE_OBJECT pdo);
    // Runs what is queued (from any thread) and returns once the manager is idle.
    void WaitIdle();

    // ---- Open handles ------------------------------------------------------------------------------
    // The files that the I/O manager counts are the one count of handles: files opened on the stack of
    // `device` (any device of it) and not closed yet. The close of the last file on a
    // surprise-removed subtree sends its REMOVE IRPs.
    size_t OpenHandleCount(PDEVICE_OBJECT device) const;

    // ---- The tree ----------------------------------------------------------------------------------
    std::optional<DeviceNodeInfo> FindNode(PDEVICE_OBJECT deviceInStack) const;
    std::optional<DeviceNodeInfo> FindNode(std::u16string_view instancePath) const;
    std::vector<DeviceNodeInfo> Children(PDEVICE_OBJECT pdo) const;
    std::vector<DeviceNodeInfo> Nodes() const;  // depth first, parents before children
    std::vector<PnpIrpRecord> IrpLog() const;
    void ClearIrpLog();

    // ---- Kernel entry points -----------------------------------------------------------------------
    void InvalidateDeviceRelations(PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type);
    // IoInvalidateDeviceState: queries the stack's PnP device state again, asynchronously.
    void InvalidateDeviceState(PDEVICE_OBJECT pdo);
    // IoOpenDeviceRegistryKey: the key path of a node's hardware or driver key.
    NTSTATUS DeviceKeyPath(PDEVICE_OBJECT pdo, ULONG keyType, std::u16string& path) const;

    struct Node;  // pnp_manager.cpp

private:
    using Action = std::function<void()>;
    struct Work {
        Action action;
        bool done = false;
    };
    struct Binding {
        std::u16string service;
        std::u16string classGuid;
        DeferrableInstaller install;
    };
    struct ResourceCopy {
        std::vector<uint8_t> raw;
        std::vector<uint8_t> translated;
    };

    // Runs an operation alone: now on this thread, or after the one running (waiting for it
    // when `wait`). False when it could only be queued (called from inside an operation).
    bool Run(Action action, bool wait);
    // Runs a test's request on the node of a PDO at PASSIVE_LEVEL, one operation at a time.
    NTSTATUS RunOnNode(PDEVICE_OBJECT pdo, const char* call, const std::function<NTSTATUS(Node*)>& operation);
    void SetState(Node* node, DeviceNodeState state);
    void Drain(std::unique_lock<std::mutex>& lock);
    void QueueDrainWorkItem(PDEVICE_OBJECT device);

    // Operations, called on the running thread.
    // `information`: in, IoStatus.Information the IRP starts with (0 for most); out, the answer.
    NTSTATUS SendPnp(Node* node, PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup,
                     ULONG_PTR* information, ULONG detail = 0);
    // The requests around start and removal that Windows sends (pnp_requests.cpp).
    void QueryResourceRequirements(Node* node);
    NTSTATUS QueryCapabilities(Node* node, PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES& capabilities);
    void RequeryCapabilities(Node* node);
    void QueryRemovalRelations(Node* node);
    // The objects of a DEVICE_RELATIONS answer (each referenced for the manager; none for no
    // answer); the answer's pool block is freed. Nothing when it is malformed (reported).
    std::optional<std::vector<PDEVICE_OBJECT>> TakeRelations(ULONG_PTR answer, const char* what);
    void FreeAnswer(ULONG_PTR answer, const char* what);
    NTSTATUS StartNode(Node* node);
    void Enumerate(Node* node);
    Node* CreateChild(Node* parent, PDEVICE_OBJECT pdo);
    void CreateKeys(Node* node);
    void SetProperties(Node* node);
    NTSTATUS QueryRemoveSubtree(Node* node);
    void RemoveStack(Node* node);  // REMOVE for the node's stack, its children's first
    void SurpriseRemoveSubtree(Node* node);
    void FinishSurpriseRemovals();
    // Files open on the stacks of a subtree (the I/O manager's count).
    size_t OpenFiles(const Node& node) const;
    // Asks the I/O manager to report file closes (once).
    void WatchFileCloses();
    void OnFileClosed(PDEVICE_OBJECT device);
    void QueryDeviceState(Node* node);
    // What the stack's drivers leave behind at REMOVE: its interfaces enabled, its power states.
    void ForgetStack(Node* node, const std::vector<PDEVICE_OBJECT>& stack);
    std::vector<PDEVICE_OBJECT> StackOf(PDEVICE_OBJECT pdo) const;
    void RejectPdo(Node* parent, PDEVICE_OBJECT pdo);
    void DeleteNode(Node* node);
    void ReleaseDriver(Node* node);
    std::optional<Binding> FindBinding(const Node* node) const;

    Node* NodeOfPdo(PDEVICE_OBJECT pdo) const;
    Node* NodeOfStack(PDEVICE_OBJECT device) const;
    DeviceNodeInfo Describe(const Node& node) const;

    Kernel& m_kernel;

    // The tree: guarded by m_treeMutex for readers; changed only by the running operation.
    mutable std::recursive_mutex m_treeMutex;
    std::vector<std::unique_ptr<Node>> m_roots;
    std::map<std::u16string, Binding> m_bindings;  // upper-cased ID
    std::vector<PnpIrpRecord> m_irpLog;
    // Whether the I/O manager tells this manager of file closes; user mode has gone once this
    // manager's own shutdown begins (the machine closes user mode first).
    bool m_watchingCloses = false;
    std::atomic<bool> m_userModeGone{false};

    // The operation queue.
    std::mutex m_queueMutex;
    std::condition_variable m_queueIdle;
    std::deque<std::shared_ptr<Work>> m_queue;
    std::thread::id m_runner;
    bool m_drainQueued = false;
    // Shared with queued work items, which may run after the manager has gone.
    struct Lifetime {
        std::mutex mutex;
        std::condition_variable idle;
        bool alive = true;
        size_t running = 0;
    };
    std::shared_ptr<Lifetime> m_lifetime = std::make_shared<Lifetime>();
};

}  // namespace emu
