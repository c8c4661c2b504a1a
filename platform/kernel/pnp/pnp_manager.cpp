#include "pnp/pnp_manager.h"
#include "pnp/pnp_node.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "io/driver_loader.h"
#include "pnp/interface_manager.h"
#include "io/file_objects.h"
#include "io/io_manager.h"
#include "ke/kthread.h"
#include "ob/object_namespace.h"
#include "ex/pool.h"
#include "po/power_manager.h"
#include "cm/registry.h"
#include "kernel.h"
#include "vf/verifier.h"
#include "rtl/rtl_text.h"

namespace emu {

namespace {

std::u16string Widen(const char* text)
{
    std::u16string wide;
    for (; *text; ++text) wide.push_back(static_cast<char16_t>(*text));
    return wide;
}

std::vector<uint8_t> MultiSz(const std::vector<std::u16string>& strings)
{
    std::u16string joined;
    for (const auto& text : strings) joined += text + u'\0';
    joined += u'\0';
    std::vector<uint8_t> bytes(joined.size() * sizeof(char16_t));
    std::memcpy(bytes.data(), joined.data(), bytes.size());
    return bytes;
}

std::vector<std::u16string> SplitMultiSz(std::u16string_view text)
{
    std::vector<std::u16string> strings;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(u'\0', start);
        if (end == std::u16string_view::npos) end = text.size();
        if (end == start) break;
        strings.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return strings;
}

std::u16string FirstString(std::u16string_view text) { return std::u16string(text.substr(0, text.find(u'\0'))); }

NTSTATUS PnpIrpDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A copy of a resource list, so the driver never sees the caller's memory.
std::vector<uint8_t> CopyResourceList(PCM_RESOURCE_LIST list)
{
    if (!list) return {};
    size_t size = offsetof(CM_RESOURCE_LIST, List);
    const auto* full = reinterpret_cast<const uint8_t*>(list->List);
    for (ULONG i = 0; i < list->Count; ++i) {
        const auto* descriptor = reinterpret_cast<const CM_FULL_RESOURCE_DESCRIPTOR*>(full);
        size_t bytes = offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList.PartialDescriptors) +
                       descriptor->PartialResourceList.Count * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
        size += bytes;
        full += bytes;
    }
    std::vector<uint8_t> copy(size);
    std::memcpy(copy.data(), list, size);
    return copy;
}

}  // namespace

const char* DeviceNodeStateName(DeviceNodeState state)
{
    switch (state) {
    case DeviceNodeState::Initialized: return "Initialized";
    case DeviceNodeState::Started: return "Started";
    case DeviceNodeState::QueryStopped: return "QueryStopped";
    case DeviceNodeState::Stopped: return "Stopped";
    case DeviceNodeState::QueryRemoved: return "QueryRemoved";
    case DeviceNodeState::SurpriseRemoved: return "SurpriseRemoved";
    case DeviceNodeState::Removed: return "Removed";
    }
    return "?";
}

PnpManager::PnpManager(Kernel& machine) : m_kernel(machine) {}

PnpManager::~PnpManager()
{
    // The machine closes user mode before its devices go: no file is open any more.
    m_userModeGone = true;
    Run(
        [this] {
            while (true) {
                Node* root = nullptr;
                {
                    std::lock_guard lock(m_treeMutex);
                    if (m_roots.empty()) break;
                    root = m_roots.back().get();
                }
                RemoveStack(root);
                DeleteNode(root);
            }
        },
        true);
    WaitIdle();
    std::unique_lock lock(m_lifetime->mutex);
    m_lifetime->alive = false;
    m_lifetime->idle.wait(lock, [this] { return m_lifetime->running == 0; });
}

// ---- Operation queue ---------------------------------------------------------------------------

bool PnpManager::Run(Action action, bool wait)
{
    auto work = std::make_shared<Work>();
    work->action = std::move(action);
    std::unique_lock lock(m_queueMutex);
    m_queue.push_back(work);
    if (m_runner == std::this_thread::get_id()) return false;
    if (m_runner != std::thread::id{}) {
        if (wait) m_queueIdle.wait(lock, [&] { return work->done; });
        return work->done;
    }
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) return false;
    Drain(lock);
    return true;
}

void PnpManager::Drain(std::unique_lock<std::mutex>& lock)
{
    m_runner = std::this_thread::get_id();
    while (!m_queue.empty()) {
        std::shared_ptr<Work> work = m_queue.front();
        m_queue.pop_front();
        lock.unlock();
        work->action();
        lock.lock();
        work->done = true;
        m_queueIdle.notify_all();
    }
    m_runner = std::thread::id{};
    m_queueIdle.notify_all();
}

void PnpManager::WaitIdle()
{
    std::unique_lock lock(m_queueMutex);
    if (m_runner == std::this_thread::get_id()) return;
    if (m_runner == std::thread::id{} && !m_queue.empty() && KeGetCurrentIrql() == PASSIVE_LEVEL) {
        Drain(lock);
        return;
    }
    m_queueIdle.wait(lock, [&] { return m_runner == std::thread::id{} && m_queue.empty(); });
}

void PnpManager::QueueDrainWorkItem(PDEVICE_OBJECT device)
{
    {
        std::lock_guard lock(m_queueMutex);
        if (m_drainQueued) return;
        m_drainQueued = true;
    }
    struct Context {
        std::shared_ptr<Lifetime> lifetime;
        PnpManager* pnp;
        PIO_WORKITEM item;
    };
    PIO_WORKITEM item = IoAllocateWorkItem(device);
    if (!item) {
        std::lock_guard lock(m_queueMutex);
        m_drainQueued = false;
        return;
    }
    auto* context = new Context{m_lifetime, this, item};
    IoQueueWorkItem(
        item,
        [](PDEVICE_OBJECT, PVOID raw) {
            auto* context = static_cast<Context*>(raw);
            Lifetime& lifetime = *context->lifetime;
            bool alive = false;
            {
                std::lock_guard lock(lifetime.mutex);
                alive = lifetime.alive;
                if (alive) ++lifetime.running;
            }
            if (alive) {
                {
                    std::lock_guard lock(context->pnp->m_queueMutex);
                    context->pnp->m_drainQueued = false;
                }
                context->pnp->WaitIdle();
                std::lock_guard lock(lifetime.mutex);
                --lifetime.running;
                lifetime.idle.notify_all();
            }
            IoFreeWorkItem(context->item);
            delete context;
        },
        DelayedWorkQueue, context);
}

// ---- Bindings ------------------------------------------------------------------------------------

void PnpManager::BindService(std::u16string_view hardwareId, std::u16string_view service, std::u16string_view classGuid)
{
    BindService(hardwareId, service, classGuid, nullptr);
}

void PnpManager::BindService(std::u16string_view hardwareId, std::u16string_view service, std::u16string_view classGuid,
                             DeviceInstaller install)
{
    DeferrableInstaller now;
    if (install)
        now = [install = std::move(install)](const std::u16string& instancePath) {
            install(instancePath);
            return true;
        };
    BindDeferredInstallation(hardwareId, service, classGuid, std::move(now));
}

void PnpManager::BindDeferredInstallation(std::u16string_view hardwareId, std::u16string_view service,
                                          std::u16string_view classGuid, DeferrableInstaller install)
{
    std::lock_guard lock(m_treeMutex);
    m_bindings[UpcaseText(hardwareId)] = Binding{std::u16string(service), std::u16string(classGuid), std::move(install)};
}

void PnpManager::UnbindService(std::u16string_view hardwareId)
{
    std::lock_guard lock(m_treeMutex);
    m_bindings.erase(UpcaseText(hardwareId));
}

std::optional<PnpManager::Binding> PnpManager::FindBinding(const Node* node) const
{
    std::lock_guard lock(m_treeMutex);
    for (const auto* ids : {&node->info.hardwareIds, &node->info.compatibleIds})
        for (const auto& id : *ids)
            if (auto it = m_bindings.find(UpcaseText(id)); it != m_bindings.end()) return it->second;
    return std::nullopt;
}

// ---- Lookups -------------------------------------------------------------------------------------

PnpManager::Node* PnpManager::NodeOfPdo(PDEVICE_OBJECT pdo) const
{
    std::lock_guard lock(m_treeMutex);
    std::vector<Node*> pending;
    for (const auto& root : m_roots) pending.push_back(root.get());
    while (!pending.empty()) {
        Node* node = pending.back();
        pending.pop_back();
        if (node->info.pdo == pdo) return node;
        for (const auto& child : node->children) pending.push_back(child.get());
    }
    return nullptr;
}

PnpManager::Node* PnpManager::NodeOfStack(PDEVICE_OBJECT device) const
{
    ObjectNamespace& names = m_kernel.GetNamespace();
    for (int depth = 0; device && depth < 64; ++depth) {
        if (Node* node = NodeOfPdo(device)) return node;
        device = names.AttachedTo(device);
    }
    return nullptr;
}

DeviceNodeInfo PnpManager::Describe(const Node& node) const
{
    std::lock_guard lock(m_treeMutex);
    DeviceNodeInfo info = node.info;
    info.parentPdo = node.parent ? node.parent->info.pdo : nullptr;
    return info;
}

std::optional<DeviceNodeInfo> PnpManager::FindNode(PDEVICE_OBJECT deviceInStack) const
{
    std::lock_guard lock(m_treeMutex);
    Node* node = NodeOfStack(deviceInStack);
    if (!node) return std::nullopt;
    return Describe(*node);
}

std::optional<DeviceNodeInfo> PnpManager::FindNode(std::u16string_view instancePath) const
{
    for (DeviceNodeInfo& info : Nodes())
        if (UpcaseText(info.instancePath) == UpcaseText(instancePath)) return info;
    return std::nullopt;
}

std::vector<DeviceNodeInfo> PnpManager::Children(PDEVICE_OBJECT pdo) const
{
    std::lock_guard lock(m_treeMutex);
    std::vector<DeviceNodeInfo> children;
    if (Node* node = NodeOfPdo(pdo))
        for (const auto& child : node->children) children.push_back(Describe(*child));
    return children;
}

std::vector<DeviceNodeInfo> PnpManager::Nodes() const
{
    std::lock_guard lock(m_treeMutex);
    std::vector<DeviceNodeInfo> nodes;
    std::function<void(const Node&)> visit = [&](const Node& node) {
        nodes.push_back(Describe(node));
        for (const auto& child : node.children) visit(*child);
    };
    for (const auto& root : m_roots) visit(*root);
    return nodes;
}

std::vector<PnpIrpRecord> PnpManager::IrpLog() const
{
    std::lock_guard lock(m_treeMutex);
    return m_irpLog;
}

void PnpManager::ClearIrpLog()
{
    std::lock_guard lock(m_treeMutex);
    m_irpLog.clear();
}

// ---- Sending PnP IRPs ------------------------------------------------------------------------------

NTSTATUS PnpManager::SendPnp(Node* node, PDEVICE_OBJECT pdo, UCHAR minor,
                             const std::function<void(PIO_STACK_LOCATION)>& setup, ULONG_PTR* information,
                             ULONG detail)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Untouched answers keep this status, so a driver that does not handle a minor says so.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = information ? *information : 0;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minor;
    if (setup) setup(stack);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, &PnpIrpDone, &done, TRUE, TRUE, TRUE);

    // The I/O manager sees to the IRQL the dispatch routine returns at.
    NTSTATUS status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    } else if (KeReadStateEvent(&done) == 0) {
        // Neither completed nor pending: the IRP is the driver's still, and cannot be freed.
        ReportViolation(Violation::Bugcheck, "PnP IRP (minor " + std::to_string(minor) +
                                                 ") returned without being completed or marked pending");
        ObDereferenceObject(top);
        return status;
    }
    status = irp->IoStatus.Status;
    if (information) *information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    ObDereferenceObject(top);

    std::lock_guard lock(m_treeMutex);
    m_irpLog.push_back(PnpIrpRecord{node ? node->info.instancePath : std::u16string(), pdo, minor, detail, status});
    return status;
}

// ---- Nodes and keys ----------------------------------------------------------------------------------

void PnpManager::CreateKeys(Node* node)
{
    Registry& registry = m_kernel.GetRegistry();
    const std::u16string enumKey = std::u16string(kEnumKeyPath) + u"\\" + node->info.instancePath;
    registry.CreateKey(enumKey + u"\\Device Parameters");
    if (!node->info.hardwareIds.empty()) registry.SetValue(enumKey, u"HardwareID", REG_MULTI_SZ, MultiSz(node->info.hardwareIds));
    if (!node->info.compatibleIds.empty())
        registry.SetValue(enumKey, u"CompatibleIDs", REG_MULTI_SZ, MultiSz(node->info.compatibleIds));
    if (!node->info.description.empty()) registry.SetString(enumKey, u"DeviceDesc", node->info.description);
    if (!node->info.location.empty()) registry.SetString(enumKey, u"LocationInformation", node->info.location);

    std::optional<Binding> binding = FindBinding(node);
    if (!binding) return;
    // A device seen before keeps its driver key.
    std::u16string driverKey;
    if (auto value = registry.GetValue(enumKey, u"Driver"); value && value->type == REG_SZ) {
        driverKey.assign(reinterpret_cast<const char16_t*>(value->data.data()), value->data.size() / sizeof(char16_t));
        while (!driverKey.empty() && driverKey.back() == u'\0') driverKey.pop_back();
        if (UpcaseText(driverKey.substr(0, driverKey.find(u'\\'))) != UpcaseText(binding->classGuid)) driverKey.clear();
    }
    if (driverKey.empty()) {
        // First arrival: the device is installed before its driver key says so.
        if (binding->install && !binding->install(node->info.instancePath)) return;  // installed later
        const std::u16string classKey = std::u16string(kClassKeyPath) + u"\\" + binding->classGuid;
        for (unsigned index = 0; index < 10000; ++index) {
            char number[8];
            std::snprintf(number, sizeof number, "%04u", index);
            if (!registry.KeyExists(classKey + u"\\" + Widen(number))) {
                driverKey = binding->classGuid + u"\\" + Widen(number);
                break;
            }
        }
    }
    const std::u16string driverKeyPath = std::u16string(kClassKeyPath) + u"\\" + driverKey;
    registry.CreateKey(driverKeyPath);
    std::u16string matching = node->info.hardwareIds.empty() ? std::u16string() : node->info.hardwareIds.front();
    for (const auto* ids : {&node->info.hardwareIds, &node->info.compatibleIds})
        for (auto it = ids->rbegin(); it != ids->rend(); ++it)
            if (m_bindings.count(UpcaseText(*it))) matching = *it;
    registry.SetString(driverKeyPath, u"MatchingDeviceId", matching);
    if (!node->info.description.empty()) registry.SetString(driverKeyPath, u"DriverDesc", node->info.description);
    registry.SetString(enumKey, u"Driver", driverKey);
    registry.SetString(enumKey, u"Service", binding->service);
    registry.SetString(enumKey, u"ClassGUID", binding->classGuid);

    std::lock_guard lock(m_treeMutex);
    node->info.service = binding->service;
    node->info.classGuid = binding->classGuid;
    node->info.driverKey = driverKey;
}

void PnpManager::SetProperties(Node* node)
{
    IoManager& io = m_kernel.GetIo();
    PDEVICE_OBJECT pdo = node->info.pdo;
    const DeviceNodeInfo& info = node->info;
    if (!info.hardwareIds.empty()) io.SetDeviceProperty(pdo, DevicePropertyHardwareID, MultiSz(info.hardwareIds));
    if (!info.compatibleIds.empty()) io.SetDeviceProperty(pdo, DevicePropertyCompatibleIDs, MultiSz(info.compatibleIds));
    if (!info.description.empty()) io.SetDevicePropertyString(pdo, DevicePropertyDeviceDescription, info.description);
    if (!info.location.empty()) io.SetDevicePropertyString(pdo, DevicePropertyLocationInformation, info.location);
    if (!info.driverKey.empty()) io.SetDevicePropertyString(pdo, DevicePropertyDriverKeyName, info.driverKey);
    if (!info.classGuid.empty()) io.SetDevicePropertyString(pdo, DevicePropertyClassGuid, info.classGuid);
    const std::u16string enumerator = info.instancePath.substr(0, info.instancePath.find(u'\\'));
    io.SetDevicePropertyString(pdo, DevicePropertyEnumeratorName, enumerator);
    auto dword = [&](DEVICE_REGISTRY_PROPERTY property, ULONG value) {
        std::vector<uint8_t> bytes(sizeof value);
        std::memcpy(bytes.data(), &value, sizeof value);
        io.SetDeviceProperty(pdo, property, std::move(bytes));
    };
    if (info.hasCapabilities) {
        dword(DevicePropertyAddress, info.capabilities.Address);
        dword(DevicePropertyUINumber, info.capabilities.UINumber);
    }
    if (info.hasBusInformation) {
        std::vector<uint8_t> guid(sizeof(GUID));
        std::memcpy(guid.data(), &info.busInformation.BusTypeGuid, sizeof(GUID));
        io.SetDeviceProperty(pdo, DevicePropertyBusTypeGuid, std::move(guid));
        dword(DevicePropertyLegacyBusType, static_cast<ULONG>(info.busInformation.LegacyBusType));
        dword(DevicePropertyBusNumber, info.busInformation.BusNumber);
    }
}

void PnpManager::DeleteNode(Node* node)
{
    PDEVICE_OBJECT pdo = node->info.pdo;
    const bool child = node->parent != nullptr;
    if (child && m_kernel.GetNamespace().IsLiveDevice(pdo)) {
        // Its bus driver may keep the PDO; what the manager set on it goes with the node.
        IoManager& io = m_kernel.GetIo();
        for (auto property : {DevicePropertyHardwareID, DevicePropertyCompatibleIDs, DevicePropertyDeviceDescription,
                              DevicePropertyLocationInformation, DevicePropertyDriverKeyName, DevicePropertyClassGuid,
                              DevicePropertyEnumeratorName, DevicePropertyAddress, DevicePropertyUINumber,
                              DevicePropertyBusTypeGuid, DevicePropertyLegacyBusType, DevicePropertyBusNumber})
            io.RemoveDeviceProperty(pdo, property);
    }
    std::unique_ptr<Node> owned;
    {
        std::lock_guard lock(m_treeMutex);
        auto& siblings = child ? node->parent->children : m_roots;
        auto it = std::find_if(siblings.begin(), siblings.end(), [node](const auto& entry) { return entry.get() == node; });
        if (it == siblings.end()) return;
        owned = std::move(*it);
        siblings.erase(it);
    }
    // The device instance is gone: its interfaces and what the power manager kept go with it.
    m_kernel.GetInterfaces().ForgetDevice(pdo);
    m_kernel.GetPower().ForgetDevice(pdo);
    if (child) ObDereferenceObject(pdo);
}

void PnpManager::ReleaseDriver(Node* node)
{
    PDRIVER_OBJECT driver = node->driver;
    {
        std::lock_guard lock(m_treeMutex);
        node->driver = nullptr;
    }
    if (driver) m_kernel.GetDrivers().UnloadIfUnused(driver);
}

// ---- Start and enumeration ---------------------------------------------------------------------------

NTSTATUS PnpManager::StartNode(Node* node)
{
    auto fail = [&](NTSTATUS status) {
        std::lock_guard lock(m_treeMutex);
        node->info.problem = status;
        node->info.state = DeviceNodeState::Initialized;
        return status;
    };
    // A device whose keys were deleted (SetupDiRemoveDevice) while its hardware stayed arrives as
    // a new one: its keys are made again and it waits for its installation.
    if (!node->info.service.empty() &&
        !m_kernel.GetRegistry().KeyExists(std::u16string(kEnumKeyPath) + u"\\" + node->info.instancePath)) {
        std::lock_guard lock(m_treeMutex);
        node->info.service.clear();
        node->info.driverKey.clear();
    }
    if (node->info.service.empty()) CreateKeys(node);
    SetProperties(node);
    if (node->info.service.empty()) return fail(STATUS_NOT_FOUND);

    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS status = m_kernel.GetDrivers().Load(node->info.service, &driver);
    if (!NT_SUCCESS(status)) return fail(status);
    {
        std::lock_guard lock(m_treeMutex);
        node->driver = driver;
    }
    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension ? driver->DriverExtension->AddDevice : nullptr;
    if (!addDevice) {
        ReleaseDriver(node);
        return fail(STATUS_INVALID_DEVICE_REQUEST);
    }
    status = addDevice(driver, node->info.pdo);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ReportViolation(Violation::IrqlTooHigh, "AddDevice returned at IRQL " + std::to_string(KeGetCurrentIrql()));
        SetCurrentIrql(PASSIVE_LEVEL);
    }
    if (!NT_SUCCESS(status)) {
        ReleaseDriver(node);
        return fail(status);
    }

    node->hasStack = true;
    QueryResourceRequirements(node);
    PCM_RESOURCE_LIST raw = node->resources.raw.empty() ? nullptr : reinterpret_cast<PCM_RESOURCE_LIST>(node->resources.raw.data());
    PCM_RESOURCE_LIST translated = node->resources.translated.empty()
                                       ? nullptr
                                       : reinterpret_cast<PCM_RESOURCE_LIST>(node->resources.translated.data());
    status = SendPnp(node, node->info.pdo, IRP_MN_START_DEVICE,
                     [&](PIO_STACK_LOCATION stack) {
                         stack->Parameters.StartDevice.AllocatedResources = raw;
                         stack->Parameters.StartDevice.AllocatedResourcesTranslated = translated;
                     },
                     nullptr);
    if (!NT_SUCCESS(status)) {
        // A failed start is followed by REMOVE, so the drivers tear down what AddDevice built.
        RemoveStack(node);
        return fail(status);
    }
    {
        std::lock_guard lock(m_treeMutex);
        node->info.state = DeviceNodeState::Started;
        node->info.problem = STATUS_SUCCESS;
    }
    RequeryCapabilities(node);
    QueryDeviceState(node);
    Enumerate(node);
    return STATUS_SUCCESS;
}

void PnpManager::Enumerate(Node* node)
{
    if (node->info.state != DeviceNodeState::Started) return;
    ULONG_PTR information = 0;
    NTSTATUS status = SendPnp(
        node, node->info.pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
        [](PIO_STACK_LOCATION stack) { stack->Parameters.QueryDeviceRelations.Type = BusRelations; }, &information,
        BusRelations);
    // A failed query leaves the relations as they were.
    if (!NT_SUCCESS(status)) return;

    std::optional<std::vector<PDEVICE_OBJECT>> answer = TakeRelations(information, "BusRelations");
    if (!answer) return;
    const std::vector<PDEVICE_OBJECT>& reported = *answer;

    // Each reported object carries a reference for the manager: a known child already has one.
    std::vector<PDEVICE_OBJECT> fresh;
    std::vector<PDEVICE_OBJECT> seen;
    for (PDEVICE_OBJECT pdo : reported) {
        if (!pdo) {
            ReportViolation(Violation::Bugcheck, "BusRelations answer holds a null device object");
            continue;
        }
        bool keep = false;
        if (std::find(seen.begin(), seen.end(), pdo) == seen.end()) {
            seen.push_back(pdo);
            std::lock_guard lock(m_treeMutex);
            const bool known = std::any_of(node->children.begin(), node->children.end(),
                                           [pdo](const auto& child) { return child->info.pdo == pdo; }) ||
                               std::find(node->rejected.begin(), node->rejected.end(), pdo) != node->rejected.end();
            keep = !known;
        }
        if (keep)
            fresh.push_back(pdo);
        else
            ObDereferenceObject(pdo);
    }

    // Children no longer reported leave: surprise-removed when they were running.
    std::vector<Node*> missing;
    {
        std::lock_guard lock(m_treeMutex);
        for (const auto& child : node->children)
            if (child->listed && std::find(seen.begin(), seen.end(), child->info.pdo) == seen.end()) {
                child->listed = false;
                missing.push_back(child.get());
            }
    }
    for (Node* child : missing) {
        if (child->info.state == DeviceNodeState::Started || child->info.state == DeviceNodeState::Stopped) {
            SurpriseRemoveSubtree(child);
        } else if (child->info.state != DeviceNodeState::SurpriseRemoved) {
            RemoveStack(child);
            DeleteNode(child);
        }
    }
    std::vector<PDEVICE_OBJECT> rejectedGone;
    {
        std::lock_guard lock(m_treeMutex);
        for (PDEVICE_OBJECT pdo : node->rejected)
            if (std::find(seen.begin(), seen.end(), pdo) == seen.end()) rejectedGone.push_back(pdo);
        std::erase_if(node->rejected, [&](PDEVICE_OBJECT pdo) {
            return std::find(rejectedGone.begin(), rejectedGone.end(), pdo) != rejectedGone.end();
        });
    }
    for (PDEVICE_OBJECT pdo : rejectedGone) {
        SendPnp(nullptr, pdo, IRP_MN_REMOVE_DEVICE, nullptr, nullptr);
        ObDereferenceObject(pdo);
    }
    FinishSurpriseRemovals();

    std::vector<Node*> created;
    for (PDEVICE_OBJECT pdo : fresh)
        if (Node* child = CreateChild(node, pdo)) created.push_back(child);
    for (Node* child : created)
        if (child->info.problem == STATUS_SUCCESS) StartNode(child);
}

void PnpManager::RejectPdo(Node* parent, PDEVICE_OBJECT pdo)
{
    std::lock_guard lock(m_treeMutex);
    parent->rejected.push_back(pdo);
}

PnpManager::Node* PnpManager::CreateChild(Node* parent, PDEVICE_OBJECT pdo)
{
    // The strings a bus driver answers with are pool blocks the manager frees.
    auto queryText = [&](UCHAR minor, ULONG type, ULONG detail) -> std::optional<std::u16string> {
        ULONG_PTR information = 0;
        NTSTATUS status = SendPnp(
            nullptr, pdo, minor,
            [&](PIO_STACK_LOCATION stack) {
                if (minor == IRP_MN_QUERY_ID) {
                    stack->Parameters.QueryId.IdType = static_cast<BUS_QUERY_ID_TYPE>(type);
                } else {
                    stack->Parameters.QueryDeviceText.DeviceTextType = static_cast<DEVICE_TEXT_TYPE>(type);
                    stack->Parameters.QueryDeviceText.LocaleId = 0x409;
                }
            },
            &information, detail);
        if (!NT_SUCCESS(status) || !information) return std::nullopt;
        auto* text = reinterpret_cast<const char16_t*>(information);
        std::optional<PoolBlock> block = m_kernel.GetPool().Find(text);
        if (!block) {
            ReportViolation(Violation::Bugcheck, "PnP string answer (minor " + std::to_string(minor) +
                                                     ") is not a pool block");
            return std::nullopt;
        }
        std::u16string copy(text, block->size / sizeof(char16_t));
        ExFreePool(reinterpret_cast<PVOID>(information));
        return copy;
    };

    std::optional<std::u16string> deviceId = queryText(IRP_MN_QUERY_ID, BusQueryDeviceID, BusQueryDeviceID);
    if (!deviceId || FirstString(*deviceId).empty()) {
        RejectPdo(parent, pdo);
        return nullptr;
    }
    auto node = std::make_unique<Node>();
    node->parent = parent;
    node->info.pdo = pdo;
    node->info.deviceId = FirstString(*deviceId);
    if (auto ids = queryText(IRP_MN_QUERY_ID, BusQueryHardwareIDs, BusQueryHardwareIDs)) node->info.hardwareIds = SplitMultiSz(*ids);
    if (auto ids = queryText(IRP_MN_QUERY_ID, BusQueryCompatibleIDs, BusQueryCompatibleIDs))
        node->info.compatibleIds = SplitMultiSz(*ids);
    if (auto id = queryText(IRP_MN_QUERY_ID, BusQueryInstanceID, BusQueryInstanceID)) node->info.instanceId = FirstString(*id);
    if (auto text = queryText(IRP_MN_QUERY_DEVICE_TEXT, DeviceTextDescription, DeviceTextDescription))
        node->info.description = FirstString(*text);
    if (auto text = queryText(IRP_MN_QUERY_DEVICE_TEXT, DeviceTextLocationInformation, DeviceTextLocationInformation))
        node->info.location = FirstString(*text);

    DEVICE_CAPABILITIES capabilities;
    NTSTATUS capabilityStatus = QueryCapabilities(nullptr, pdo, capabilities);
    if (NT_SUCCESS(capabilityStatus)) {
        node->info.hasCapabilities = true;
        node->info.capabilities = capabilities;
    }

    ULONG_PTR busInformation = 0;
    if (NT_SUCCESS(SendPnp(nullptr, pdo, IRP_MN_QUERY_BUS_INFORMATION, nullptr, &busInformation)) && busInformation) {
        std::optional<PoolBlock> block = m_kernel.GetPool().Find(reinterpret_cast<void*>(busInformation));
        if (!block) {
            ReportViolation(Violation::Bugcheck, "bus information answer is not a pool block");
        } else {
            if (block->size >= sizeof(PNP_BUS_INFORMATION)) {
                node->info.hasBusInformation = true;
                std::memcpy(&node->info.busInformation, reinterpret_cast<void*>(busInformation), sizeof(PNP_BUS_INFORMATION));
            }
            ExFreePool(reinterpret_cast<PVOID>(busInformation));
        }
    }

    // A device ID and instance ID must name one device among its siblings.
    std::lock_guard lock(m_treeMutex);
    for (const auto& sibling : parent->children) {
        if (UpcaseText(sibling->info.deviceId) == UpcaseText(node->info.deviceId) &&
            UpcaseText(sibling->info.instanceId) == UpcaseText(node->info.instanceId)) {
            ReportViolation(Violation::Bugcheck, "duplicate device reported by " + NarrowText(parent->info.instancePath) +
                                                     ": " + NarrowText(node->info.deviceId) + "\\" +
                                                     NarrowText(node->info.instanceId));
            parent->rejected.push_back(pdo);
            return nullptr;
        }
    }
    std::u16string instance = node->info.instanceId;
    if (!(node->info.hasCapabilities && node->info.capabilities.UniqueID)) {
        // Not unique on its own: qualified by the parent, as Windows' parent ID prefix does.
        uint32_t hash = 2166136261u;
        for (char16_t c : UpcaseText(parent->info.instancePath)) hash = (hash ^ c) * 16777619u;
        char prefix[32];
        std::snprintf(prefix, sizeof prefix, "6&%X&0&", static_cast<unsigned>(hash));
        instance = Widen(prefix) + instance;
    }
    node->info.instancePath = node->info.deviceId + u"\\" + instance;
    if (NodeOfPdo(pdo) || FindNode(node->info.instancePath)) {
        ReportViolation(Violation::Bugcheck, "device instance " + NarrowText(node->info.instancePath) + " exists already");
        parent->rejected.push_back(pdo);
        return nullptr;
    }
    if (!NT_SUCCESS(capabilityStatus)) node->info.problem = capabilityStatus;
    Node* kept = node.get();
    parent->children.push_back(std::move(node));
    m_kernel.GetInterfaces().SetInstancePath(pdo, kept->info.instancePath);
    CreateKeys(kept);
    return kept;
}

// ---- Removal ------------------------------------------------------------------------------------------

NTSTATUS PnpManager::QueryRemoveSubtree(Node* node)
{
    std::vector<Node*> order;  // children before parents
    std::function<void(Node*)> collect = [&](Node* current) {
        for (const auto& child : current->children) collect(child.get());
        if (current->hasStack) order.push_back(current);
    };
    collect(node);
    // As Windows builds its removal list first: the relations of every device that is to go.
    for (Node* current : order) QueryRemovalRelations(current);
    std::vector<Node*> asked;
    for (Node* current : order) {
        NTSTATUS status = SendPnp(current, current->info.pdo, IRP_MN_QUERY_REMOVE_DEVICE, nullptr, nullptr);
        asked.push_back(current);
        if (!NT_SUCCESS(status)) {
            for (auto it = asked.rbegin(); it != asked.rend(); ++it)
                SendPnp(*it, (*it)->info.pdo, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr, nullptr);
            return status;
        }
        std::lock_guard lock(m_treeMutex);
        current->info.state = DeviceNodeState::QueryRemoved;
    }
    return STATUS_SUCCESS;
}

void PnpManager::RemoveStack(Node* node)
{
    // Children first; their PDOs go with the bus driver's REMOVE, so their nodes go too.
    while (true) {
        Node* child = nullptr;
        {
            std::lock_guard lock(m_treeMutex);
            if (node->children.empty()) break;
            child = node->children.back().get();
        }
        RemoveStack(child);
        DeleteNode(child);
    }
    std::vector<PDEVICE_OBJECT> rejected;
    {
        std::lock_guard lock(m_treeMutex);
        rejected.swap(node->rejected);
    }
    for (PDEVICE_OBJECT pdo : rejected) {
        SendPnp(nullptr, pdo, IRP_MN_REMOVE_DEVICE, nullptr, nullptr);
        ObDereferenceObject(pdo);
    }
    const std::vector<PDEVICE_OBJECT> stack = StackOf(node->info.pdo);
    SendPnp(node, node->info.pdo, IRP_MN_REMOVE_DEVICE, nullptr, nullptr);
    ForgetStack(node, stack);
    {
        std::lock_guard lock(m_treeMutex);
        node->hasStack = false;
        node->surpriseRoot = false;
        node->info.state = DeviceNodeState::Removed;
    }
    ReleaseDriver(node);
}

void PnpManager::SurpriseRemoveSubtree(Node* node)
{
    WatchFileCloses();
    std::function<void(Node*)> visit = [&](Node* current) {
        for (const auto& child : current->children) visit(child.get());
        if (current->hasStack && current->info.state != DeviceNodeState::SurpriseRemoved) {
            SendPnp(current, current->info.pdo, IRP_MN_SURPRISE_REMOVAL, nullptr, nullptr);
            std::lock_guard lock(m_treeMutex);
            current->info.state = DeviceNodeState::SurpriseRemoved;
        }
    };
    visit(node);
    std::lock_guard lock(m_treeMutex);
    node->surpriseRoot = true;
}

void PnpManager::FinishSurpriseRemovals()
{
    while (true) {
        // Only this thread changes the tree, so the roots found stay valid while files are counted.
        std::vector<Node*> waiting;
        {
            std::lock_guard lock(m_treeMutex);
            std::function<void(Node*)> find = [&](Node* current) {
                if (current->surpriseRoot) waiting.push_back(current);
                for (const auto& child : current->children) find(child.get());
            };
            for (const auto& root : m_roots) find(root.get());
        }
        Node* ready = nullptr;
        for (Node* node : waiting)
            if (OpenFiles(*node) == 0) {
                ready = node;
                break;
            }
        if (!ready) return;
        RemoveStack(ready);
        // A device that is still there (its bus lists it, or a root that failed) keeps its node.
        if (!ready->listed) DeleteNode(ready);
    }
}

size_t PnpManager::OpenFiles(const Node& node) const
{
    if (m_userModeGone) return 0;
    std::vector<PDEVICE_OBJECT> pdos;
    {
        std::lock_guard lock(m_treeMutex);
        std::function<void(const Node&)> visit = [&](const Node& current) {
            pdos.push_back(current.info.pdo);
            for (const auto& child : current.children) visit(*child);
        };
        visit(node);
    }
    FileObjects& files = m_kernel.GetIo().Files();
    size_t count = 0;
    for (PDEVICE_OBJECT pdo : pdos) count += files.OpenFileCount(pdo);
    return count;
}

void PnpManager::WatchFileCloses()
{
    {
        std::lock_guard lock(m_treeMutex);
        if (m_watchingCloses || m_userModeGone) return;
        m_watchingCloses = true;
    }
    // The I/O manager outlives this manager; a close finishing on a worker thread is let in only
    // while the manager lives, and waited for.
    m_kernel.GetIo().Files().AddFileClosedListener([this, lifetime = m_lifetime](PDEVICE_OBJECT device) {
        {
            std::lock_guard lock(lifetime->mutex);
            if (!lifetime->alive) return;
            ++lifetime->running;
        }
        OnFileClosed(device);
        std::lock_guard lock(lifetime->mutex);
        --lifetime->running;
        lifetime->idle.notify_all();
    });
}

void PnpManager::OnFileClosed(PDEVICE_OBJECT device)
{
    bool waiting = false;
    {
        std::lock_guard lock(m_treeMutex);
        std::function<void(const Node&)> find = [&](const Node& current) {
            waiting = waiting || current.surpriseRoot;
            for (const auto& child : current.children) find(*child);
        };
        for (const auto& root : m_roots) find(*root);
    }
    if (!waiting) return;
    // Told at PASSIVE_LEVEL; queued behind a running operation, which then finishes it.
    if (!Run([this] { FinishSurpriseRemovals(); }, false) && KeGetCurrentIrql() > PASSIVE_LEVEL)
        QueueDrainWorkItem(device);
}

std::vector<PDEVICE_OBJECT> PnpManager::StackOf(PDEVICE_OBJECT pdo) const
{
    ObjectNamespace& names = m_kernel.GetNamespace();
    std::lock_guard lock(names.DatabaseLock());
    std::vector<PDEVICE_OBJECT> stack;
    for (PDEVICE_OBJECT member = pdo; member && stack.size() < 64; member = member->AttachedDevice)
        stack.push_back(member);
    return stack;
}

void PnpManager::ForgetStack(Node* node, const std::vector<PDEVICE_OBJECT>& stack)
{
    // As Windows does at removal: interfaces the drivers left enabled are disabled. The instance
    // stays while the node does, so a device started again registers them again.
    m_kernel.GetInterfaces().DisableDevice(node->info.pdo);
    // The devices above the PDO are deleted at REMOVE.
    PowerManager& power = m_kernel.GetPower();
    for (PDEVICE_OBJECT device : stack)
        if (device != node->info.pdo) power.ForgetDevice(device);
}

// ---- Public operations ----------------------------------------------------------------------------------

NTSTATUS PnpManager::AddRootDevice(std::u16string_view instancePath, std::vector<std::u16string> hardwareIds,
                                   PDEVICE_OBJECT pdo)
{
    RootDeviceSpec spec;
    spec.instancePath.assign(instancePath);
    spec.hardwareIds = std::move(hardwareIds);
    spec.pdo = pdo;
    return AddRootDevice(spec);
}

NTSTATUS PnpManager::AddRootDevice(const RootDeviceSpec& spec)
{
    if (!CheckIrqlAtMost(PASSIVE_LEVEL, "AddRootDevice")) return STATUS_INVALID_DEVICE_STATE;
    if (!spec.pdo || spec.instancePath.empty()) return STATUS_INVALID_PARAMETER;
    NTSTATUS result = STATUS_PENDING;
    Run(
        [&] {
            if (NodeOfPdo(spec.pdo) || FindNode(spec.instancePath)) {
                result = STATUS_OBJECT_NAME_COLLISION;
                return;
            }
            auto node = std::make_unique<Node>();
            node->info.pdo = spec.pdo;
            node->info.instancePath = spec.instancePath;
            const size_t slash = spec.instancePath.rfind(u'\\');
            node->info.deviceId = spec.instancePath.substr(0, slash == std::u16string::npos ? spec.instancePath.size() : slash);
            node->info.instanceId = slash == std::u16string::npos ? std::u16string() : spec.instancePath.substr(slash + 1);
            node->info.hardwareIds = spec.hardwareIds;
            node->info.compatibleIds = spec.compatibleIds;
            node->info.description = spec.description;
            node->resources.raw = CopyResourceList(spec.resources);
            node->resources.translated = CopyResourceList(spec.resourcesTranslated);
            Node* kept = node.get();
            {
                std::lock_guard lock(m_treeMutex);
                m_roots.push_back(std::move(node));
            }
            m_kernel.GetInterfaces().SetInstancePath(spec.pdo, spec.instancePath);
            CreateKeys(kept);
            result = StartNode(kept);
        },
        true);
    return result;
}

void PnpManager::SetState(Node* node, DeviceNodeState state)
{
    std::lock_guard lock(m_treeMutex);
    node->info.state = state;
}

NTSTATUS PnpManager::RunOnNode(PDEVICE_OBJECT pdo, const char* call, const std::function<NTSTATUS(Node*)>& operation)
{
    if (!CheckIrqlAtMost(PASSIVE_LEVEL, call)) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS result = STATUS_PENDING;
    Run(
        [&] {
            Node* node = NodeOfPdo(pdo);
            result = node ? operation(node) : STATUS_NO_SUCH_DEVICE;
        },
        true);
    return result;
}

NTSTATUS PnpManager::QueryRemoveDevice(PDEVICE_OBJECT pdo)
{
    return RunOnNode(pdo, "QueryRemoveDevice", [&](Node* node) {
        NTSTATUS result = QueryRemoveSubtree(node);
        if (!NT_SUCCESS(result)) {
            std::function<void(Node*)> restore = [&](Node* current) {
                for (const auto& child : current->children) restore(child.get());
                std::lock_guard lock(m_treeMutex);
                if (current->info.state == DeviceNodeState::QueryRemoved) current->info.state = DeviceNodeState::Started;
            };
            restore(node);
            return result;
        }
        RemoveStack(node);
        if (!node->parent || !node->listed) DeleteNode(node);
        return result;
    });
}

NTSTATUS PnpManager::SurpriseRemoveDevice(PDEVICE_OBJECT pdo)
{
    return RunOnNode(pdo, "SurpriseRemoveDevice", [&](Node* node) {
        if (!node->parent) node->listed = false;  // a root device is gone from the machine
        SurpriseRemoveSubtree(node);
        FinishSurpriseRemovals();
        return STATUS_SUCCESS;
    });
}

NTSTATUS PnpManager::StopDevice(PDEVICE_OBJECT pdo)
{
    return RunOnNode(pdo, "StopDevice", [&](Node* node) {
        if (node->info.state != DeviceNodeState::Started) return STATUS_INVALID_DEVICE_STATE;
        NTSTATUS result = SendPnp(node, pdo, IRP_MN_QUERY_STOP_DEVICE, nullptr, nullptr);
        if (!NT_SUCCESS(result)) {
            SendPnp(node, pdo, IRP_MN_CANCEL_STOP_DEVICE, nullptr, nullptr);
            return result;
        }
        SetState(node, DeviceNodeState::QueryStopped);
        SendPnp(node, pdo, IRP_MN_STOP_DEVICE, nullptr, nullptr);
        SetState(node, DeviceNodeState::Stopped);
        PCM_RESOURCE_LIST raw =
            node->resources.raw.empty() ? nullptr : reinterpret_cast<PCM_RESOURCE_LIST>(node->resources.raw.data());
        PCM_RESOURCE_LIST translated = node->resources.translated.empty()
                                           ? nullptr
                                           : reinterpret_cast<PCM_RESOURCE_LIST>(node->resources.translated.data());
        result = SendPnp(node, pdo, IRP_MN_START_DEVICE,
                         [&](PIO_STACK_LOCATION stack) {
                             stack->Parameters.StartDevice.AllocatedResources = raw;
                             stack->Parameters.StartDevice.AllocatedResourcesTranslated = translated;
                         },
                         nullptr);
        if (!NT_SUCCESS(result)) {
            RemoveStack(node);
            std::lock_guard lock(m_treeMutex);
            node->info.state = DeviceNodeState::Initialized;
            node->info.problem = result;
            return result;
        }
        SetState(node, DeviceNodeState::Started);
        RequeryCapabilities(node);
        QueryDeviceState(node);
        Enumerate(node);
        return result;
    });
}

NTSTATUS PnpManager::StartDevice(PDEVICE_OBJECT pdo)
{
    return RunOnNode(pdo, "StartDevice", [&](Node* node) {
        if (node->hasStack || !node->listed) return STATUS_INVALID_DEVICE_STATE;
        return StartNode(node);
    });
}

NTSTATUS PnpManager::EnumerateDevice(PDEVICE_OBJECT pdo)
{
    return RunOnNode(pdo, "EnumerateDevice", [&](Node* node) {
        Enumerate(node);
        return STATUS_SUCCESS;
    });
}

void PnpManager::InvalidateDeviceRelations(PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type)
{
    if (type != BusRelations) return;
    if (!NodeOfPdo(pdo)) {
        ReportViolation(Violation::Bugcheck, "IoInvalidateDeviceRelations of a device object that is no PDO");
        return;
    }
    // Asynchronous as on Windows: now when nothing runs and the caller may wait, else later.
    const bool passive = KeGetCurrentIrql() == PASSIVE_LEVEL;
    if (!Run([this, pdo] {
            if (Node* node = NodeOfPdo(pdo)) Enumerate(node);
        },
             false) &&
        !passive)
        QueueDrainWorkItem(pdo);
}

void PnpManager::InvalidateDeviceState(PDEVICE_OBJECT pdo)
{
    if (!NodeOfPdo(pdo)) {
        ReportViolation(Violation::Bugcheck, "IoInvalidateDeviceState of a device object that is no PDO");
        return;
    }
    const bool passive = KeGetCurrentIrql() == PASSIVE_LEVEL;
    if (!Run([this, pdo] {
            if (Node* node = NodeOfPdo(pdo)) QueryDeviceState(node);
        },
             false) &&
        !passive)
        QueueDrainWorkItem(pdo);
}

void PnpManager::QueryDeviceState(Node* node)
{
    if (node->info.state != DeviceNodeState::Started) return;
    ULONG_PTR information = 0;
    const NTSTATUS status =
        SendPnp(node, node->info.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE, nullptr, &information);
    // A stack that does not handle the query has nothing to report.
    if (!NT_SUCCESS(status)) return;
    const auto state = static_cast<PNP_DEVICE_STATE>(information);
    {
        std::lock_guard lock(m_treeMutex);
        node->info.hasPnpDeviceState = true;
        node->info.pnpDeviceState = state;
    }
    // A device its driver reports failed or gone is taken down as a surprise removal; it stays
    // in the tree (with its problem) while its bus still lists it.
    if (state & (PNP_DEVICE_FAILED | PNP_DEVICE_REMOVED)) {
        {
            std::lock_guard lock(m_treeMutex);
            node->info.problem = (state & PNP_DEVICE_REMOVED) ? STATUS_NO_SUCH_DEVICE : STATUS_UNSUCCESSFUL;
        }
        SurpriseRemoveSubtree(node);
        FinishSurpriseRemovals();
    }
}

// ---- Open handles ------------------------------------------------------------------------------------------

size_t PnpManager::OpenHandleCount(PDEVICE_OBJECT device) const
{
    PDEVICE_OBJECT pdo = nullptr;
    {
        std::lock_guard lock(m_treeMutex);
        Node* node = NodeOfStack(device);
        if (!node) return 0;
        pdo = node->info.pdo;
    }
    return m_userModeGone ? 0 : m_kernel.GetIo().Files().OpenFileCount(pdo);
}

NTSTATUS PnpManager::DeviceKeyPath(PDEVICE_OBJECT pdo, ULONG keyType, std::u16string& path) const
{
    std::lock_guard lock(m_treeMutex);
    Node* node = NodeOfPdo(pdo);
    if (!node) {
        ReportViolation(Violation::Bugcheck, "IoOpenDeviceRegistryKey with a device object that is no PDO");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    switch (keyType) {
    case PLUGPLAY_REGKEY_DEVICE:
        path = std::u16string(kEnumKeyPath) + u"\\" + node->info.instancePath + u"\\Device Parameters";
        return STATUS_SUCCESS;
    case PLUGPLAY_REGKEY_DRIVER:
        if (node->info.driverKey.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
        path = std::u16string(kClassKeyPath) + u"\\" + node->info.driverKey;
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

}  // namespace emu

extern "C" void IoInvalidateDeviceRelations(PDEVICE_OBJECT deviceObject, DEVICE_RELATION_TYPE type)
{
    emu::CheckIrqlAtMost(DISPATCH_LEVEL, "IoInvalidateDeviceRelations");
    if (!deviceObject) {
        emu::ReportViolation(emu::Violation::Bugcheck, "IoInvalidateDeviceRelations of a null device object");
        return;
    }
    emu::Kernel::Current().GetPnp().InvalidateDeviceRelations(deviceObject, type);
}

extern "C" void IoInvalidateDeviceState(PDEVICE_OBJECT physicalDeviceObject)
{
    emu::CheckIrqlAtMost(DISPATCH_LEVEL, "IoInvalidateDeviceState");
    if (!physicalDeviceObject) {
        emu::ReportViolation(emu::Violation::Bugcheck, "IoInvalidateDeviceState of a null device object");
        return;
    }
    emu::Kernel::Current().GetPnp().InvalidateDeviceState(physicalDeviceObject);
}
