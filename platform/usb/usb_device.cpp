#include "usb_device.h"

#include <algorithm>
#include <cstddef>

#include "usb_host.h"

namespace emu::usb {

namespace {

// Room for a record's pipes: the record carries one pipe of its own.
size_t RecordSize(size_t pipes)
{
    return offsetof(USBD_INTERFACE_INFORMATION, Pipes) + std::max<size_t>(pipes, 1) * sizeof(USBD_PIPE_INFORMATION);
}

bool InScope(const FunctionScope* scope, uint8_t interfaceNumber)
{
    return !scope || std::find(scope->interfaces.begin(), scope->interfaces.end(), interfaceNumber) != scope->interfaces.end();
}

}  // namespace

UsbDevice::UsbDevice(UsbHost& host, std::shared_ptr<DeviceModel> model, unsigned port, const DeviceInfo& info)
    : m_host(host), m_model(std::move(model)), m_port(port), m_info(info)
{
    for (uint8_t index = 0; index < m_info.configurationCount; ++index)
        m_configurations.push_back(ParseConfigurationDescriptor(m_model->ConfigurationDescriptor(index)));
    m_composite = IsCompositeDevice(m_info, FirstConfiguration());
    const std::optional<std::u16string> serial =
        m_info.serialNumberIndex ? String(m_info.serialNumberIndex) : std::nullopt;
    const std::optional<std::u16string> product = m_info.productIndex ? String(m_info.productIndex) : std::nullopt;
    m_identity = DeviceIdentity(m_info, FirstConfiguration(), port, serial, product);

    m_controlPipe = std::make_unique<Pipe>();
    m_controlPipe->maxPacketSize = m_info.maxPacketSize0;
    m_controlPipe->device = this;
}

std::shared_ptr<UsbDevice> UsbDevice::Create(UsbHost& host, std::shared_ptr<DeviceModel> model, unsigned port)
{
    std::optional<DeviceInfo> info = ParseDeviceDescriptor(model->DeviceDescriptor());
    if (!info || info->configurationCount == 0) return nullptr;
    auto device = std::shared_ptr<UsbDevice>(new UsbDevice(host, std::move(model), port, *info));
    if (!device->FirstConfiguration()) return nullptr;
    return device;
}

UsbDevice::~UsbDevice()
{
    std::lock_guard lock(m_host.Mutex());
    m_host.Scheduler().Forget(*this);
}

// ---- For tests ------------------------------------------------------------------------------------

PDEVICE_OBJECT UsbDevice::Pdo() const
{
    std::lock_guard lock(m_host.Mutex());
    return m_pdo;
}

PDEVICE_OBJECT UsbDevice::FunctionPdo(uint8_t interfaceNumber) const
{
    std::lock_guard lock(m_host.Mutex());
    auto it = m_functionPdos.find(interfaceNumber);
    return it == m_functionPdos.end() ? nullptr : it->second;
}

bool UsbDevice::Gone() const
{
    std::lock_guard lock(m_host.Mutex());
    return m_gone;
}

void UsbDevice::StallEndpoint(uint8_t address)
{
    {
        std::lock_guard lock(m_host.Mutex());
        m_stalled.insert(address);
    }
    m_host.Scheduler().Kick();
}

void UsbDevice::AddFault(const Fault& fault)
{
    std::lock_guard lock(m_host.Mutex());
    m_faults.Add(fault);
}

void UsbDevice::ClearFaults()
{
    std::lock_guard lock(m_host.Mutex());
    m_faults.Clear();
}

uint64_t UsbDevice::PortResetCount() const
{
    std::lock_guard lock(m_host.Mutex());
    return m_portResets;
}

uint64_t UsbDevice::RequestCount(RequestKind kind) const
{
    std::lock_guard lock(m_host.Mutex());
    auto it = m_requests.find(kind);
    return it == m_requests.end() ? 0 : it->second;
}

size_t UsbDevice::PendingTransfers() const
{
    std::lock_guard lock(m_host.Mutex());
    size_t count = m_controlPipe->queue.size() + m_host.Transfers().Held(*this);
    for (const ActiveInterface& active : m_interfaces)
        for (const auto& pipe : active.pipes) count += pipe->queue.size();
    for (const auto& pipe : m_retired) count += pipe->queue.size();
    return count;
}

void UsbDevice::Notify()
{
    m_notified = true;
    m_host.Scheduler().Kick();
}

// ---- The host's -------------------------------------------------------------------------------------

const ConfigurationInfo* UsbDevice::Configuration(uint8_t index) const
{
    if (index >= m_configurations.size() || !m_configurations[index]) return nullptr;
    return &*m_configurations[index];
}

std::optional<std::u16string> UsbDevice::String(uint8_t index) const
{
    constexpr uint16_t kEnglish = 0x0409;
    return ParseStringDescriptor(m_model->StringDescriptor(index, kEnglish));
}

void UsbDevice::SetFunctionPdo(uint8_t interfaceNumber, PDEVICE_OBJECT pdo)
{
    if (pdo)
        m_functionPdos[interfaceNumber] = pdo;
    else
        m_functionPdos.erase(interfaceNumber);
}

Pipe* UsbDevice::FindPipe(USBD_PIPE_HANDLE handle, const FunctionScope* scope)
{
    auto it = m_pipesByHandle.find(reinterpret_cast<uintptr_t>(handle));
    if (it == m_pipesByHandle.end() || !InScope(scope, it->second->interfaceNumber)) return nullptr;
    return it->second;
}

std::vector<Pipe*> UsbDevice::Pipes()
{
    std::vector<Pipe*> pipes{m_controlPipe.get()};
    for (ActiveInterface& active : m_interfaces)
        for (auto& pipe : active.pipes) pipes.push_back(pipe.get());
    return pipes;
}

std::vector<Pipe*> UsbDevice::AllPipes()
{
    std::vector<Pipe*> pipes = Pipes();
    for (auto& pipe : m_retired) pipes.push_back(pipe.get());
    return pipes;
}

std::optional<uint8_t> UsbDevice::AlternateSetting(uint8_t interfaceNumber) const
{
    for (const ActiveInterface& active : m_interfaces)
        if (active.number == interfaceNumber) return active.alternateSetting;
    return std::nullopt;
}

uintptr_t UsbDevice::NewHandle() { return m_host.NewHandle(); }

std::optional<Fault> UsbDevice::TakeFault(RequestKind kind, uint8_t endpoint)
{
    ++m_requests[kind];
    ++m_requests[RequestKind::Any];
    return m_faults.Take(kind, endpoint);
}

UsbDevice::ActiveInterface* UsbDevice::FindActive(uint8_t number)
{
    for (ActiveInterface& active : m_interfaces)
        if (active.number == number) return &active;
    return nullptr;
}

const ConfigurationInfo* UsbDevice::ConfigurationByValue(uint8_t value, std::optional<uint8_t>* index) const
{
    for (size_t i = 0; i < m_configurations.size(); ++i)
        if (m_configurations[i] && m_configurations[i]->value == value) {
            if (index) *index = static_cast<uint8_t>(i);
            return &*m_configurations[i];
        }
    return nullptr;
}

// ---- Selections -----------------------------------------------------------------------------------

USBD_STATUS UsbDevice::CheckRecord(const USBD_INTERFACE_INFORMATION& record, const uint8_t* end,
                                   const ConfigurationInfo& configuration, const FunctionScope* scope,
                                   const InterfaceInfo** found) const
{
    const auto* begin = reinterpret_cast<const uint8_t*>(&record);
    if (record.Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || begin + record.Length > end)
        return USBD_STATUS_INVALID_PARAMETER;
    if (!InScope(scope, record.InterfaceNumber)) return USBD_STATUS_INTERFACE_NOT_FOUND;
    *found = configuration.Find(record.InterfaceNumber, record.AlternateSetting);
    if (!*found) return USBD_STATUS_INTERFACE_NOT_FOUND;
    if (record.Length < RecordSize((*found)->endpoints.size())) return USBD_STATUS_BUFFER_TOO_SMALL;
    return USBD_STATUS_SUCCESS;
}

void UsbDevice::CloseInterface(ActiveInterface& active, std::vector<Pipe*>& closed)
{
    for (auto& pipe : active.pipes) {
        m_pipesByHandle.erase(pipe->handle);
        closed.push_back(pipe.get());
        m_retired.push_back(std::move(pipe));
    }
    active.pipes.clear();
}

void UsbDevice::OpenInterface(const InterfaceInfo& info, USBD_INTERFACE_INFORMATION& record, std::vector<Pipe*>& closed)
{
    ActiveInterface* active = FindActive(info.number);
    if (active) {
        CloseInterface(*active, closed);
    } else {
        m_interfaces.push_back(ActiveInterface{});
        active = &m_interfaces.back();
        active->number = info.number;
    }
    active->alternateSetting = info.alternateSetting;
    active->handle = NewHandle();

    record.Class = info.interfaceClass;
    record.SubClass = info.subClass;
    record.Protocol = info.protocol;
    record.InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(active->handle);
    record.NumberOfPipes = static_cast<ULONG>(info.endpoints.size());
    const bool honoured = m_host.HonoursMaximumTransferSize();
    for (size_t i = 0; i < info.endpoints.size(); ++i) {
        const EndpointInfo& endpoint = info.endpoints[i];
        USBD_PIPE_INFORMATION& out = record.Pipes[i];
        auto pipe = std::make_unique<Pipe>();
        pipe->handle = NewHandle();
        pipe->address = endpoint.address;
        pipe->type = endpoint.Type();
        pipe->maxPacketSize = endpoint.maxPacketSize;
        if ((out.PipeFlags & USBD_PF_CHANGE_MAX_PACKET) && out.MaximumPacketSize != 0 &&
            out.MaximumPacketSize <= endpoint.maxPacketSize)
            pipe->maxPacketSize = out.MaximumPacketSize;
        pipe->interval = endpoint.interval;
        pipe->interfaceNumber = info.number;
        pipe->device = this;
        // Later versions ignore the driver's limit: no transfer is refused for its length.
        pipe->maximumTransferSize = honoured ? out.MaximumTransferSize : 0xFFFFFFFF;

        out.MaximumPacketSize = pipe->maxPacketSize;
        out.EndpointAddress = pipe->address;
        out.Interval = pipe->interval;
        out.PipeType = static_cast<USBD_PIPE_TYPE>(pipe->type);
        out.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(pipe->handle);
        m_pipesByHandle[pipe->handle] = pipe.get();
        active->pipes.push_back(std::move(pipe));
    }
}

void UsbDevice::Unconfigure(std::vector<Pipe*>& closed, MachineTime now)
{
    for (ActiveInterface& active : m_interfaces) CloseInterface(active, closed);
    m_interfaces.clear();
    const bool wasConfigured = m_configurationValue.has_value();
    m_configurationValue.reset();
    m_configurationHandle = 0;
    if (wasConfigured) m_model->ConfigurationSet(0, now);
}

void UsbDevice::RestoreSelection(MachineTime now)
{
    if (!m_configurationValue) return;
    m_model->ConfigurationSet(*m_configurationValue, now);
    for (const ActiveInterface& active : m_interfaces)
        if (active.alternateSetting != 0) m_model->InterfaceSet(active.number, active.alternateSetting, now);
}

USBD_STATUS UsbDevice::SelectConfiguration(struct _URB_SELECT_CONFIGURATION& urb, const FunctionScope* scope,
                                           std::vector<Pipe*>& closed, MachineTime now)
{
    PUSB_CONFIGURATION_DESCRIPTOR wanted = urb.ConfigurationDescriptor;
    if (!wanted) {
        // A function cannot unconfigure the device its siblings share.
        if (!scope) Unconfigure(closed, now);
        urb.ConfigurationHandle = nullptr;
        return USBD_STATUS_SUCCESS;
    }
    const ConfigurationInfo* configuration = ConfigurationByValue(wanted->bConfigurationValue, nullptr);
    if (!configuration) return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
    if (scope && m_configurationValue != configuration->value) return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;

    // Every record is checked before anything changes.
    const auto* end = reinterpret_cast<const uint8_t*>(&urb) + urb.Hdr.Length;
    std::vector<std::pair<USBD_INTERFACE_INFORMATION*, const InterfaceInfo*>> records;
    auto* at = reinterpret_cast<uint8_t*>(&urb.Interface);
    const size_t expected = scope ? scope->interfaces.size() : configuration->interfaceCount;
    while (records.size() < expected && at + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end) {
        auto* record = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(at);
        const InterfaceInfo* found = nullptr;
        const USBD_STATUS status = CheckRecord(*record, end, *configuration, scope, &found);
        if (!USBD_SUCCESS(status)) return status;
        records.emplace_back(record, found);
        at += record->Length;
    }
    if (records.empty()) return USBD_STATUS_INVALID_PARAMETER;

    if (!scope) {
        Unconfigure(closed, now);
        m_configurationValue = configuration->value;
        m_configurationHandle = NewHandle();
        m_model->ConfigurationSet(configuration->value, now);
    }
    for (auto& [record, info] : records) {
        OpenInterface(*info, *record, closed);
        if (info->alternateSetting != 0 || scope) m_model->InterfaceSet(info->number, info->alternateSetting, now);
    }
    urb.ConfigurationHandle =
        reinterpret_cast<USBD_CONFIGURATION_HANDLE>(scope ? scope->configurationHandle : m_configurationHandle);
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbDevice::SelectInterface(struct _URB_SELECT_INTERFACE& urb, const FunctionScope* scope,
                                       std::vector<Pipe*>& closed, MachineTime now)
{
    const uintptr_t handle = reinterpret_cast<uintptr_t>(urb.ConfigurationHandle);
    const uintptr_t expected = scope ? scope->configurationHandle : m_configurationHandle;
    if (!m_configurationValue || handle == 0 || handle != expected) return USBD_STATUS_INVALID_PARAMETER;
    const ConfigurationInfo* configuration = ConfigurationByValue(*m_configurationValue, nullptr);
    const auto* end = reinterpret_cast<const uint8_t*>(&urb) + urb.Hdr.Length;
    const InterfaceInfo* found = nullptr;
    const USBD_STATUS status = CheckRecord(urb.Interface, end, *configuration, scope, &found);
    if (!USBD_SUCCESS(status)) return status;
    OpenInterface(*found, urb.Interface, closed);
    m_model->InterfaceSet(found->number, found->alternateSetting, now);
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbDevice::ConfigureAll(std::vector<Pipe*>& closed, MachineTime now)
{
    const ConfigurationInfo* configuration = FirstConfiguration();
    Unconfigure(closed, now);
    m_configurationValue = configuration->value;
    m_configurationHandle = NewHandle();
    m_model->ConfigurationSet(configuration->value, now);
    for (uint8_t number : configuration->InterfaceNumbers()) {
        const InterfaceInfo* info = configuration->Find(number, 0);
        if (!info) return USBD_STATUS_INTERFACE_NOT_FOUND;
        // The splitter's own record: room for every pipe, no limit asked.
        std::vector<uint8_t> storage(RecordSize(info->endpoints.size()));
        auto* record = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(storage.data());
        for (size_t i = 0; i < info->endpoints.size(); ++i)
            record->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        OpenInterface(*info, *record, closed);
    }
    return USBD_STATUS_SUCCESS;
}

}  // namespace emu::usb
