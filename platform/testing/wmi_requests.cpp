#include "wmi_requests.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>

namespace emu::testing {

namespace {

constexpr ULONG Align8(ULONG value) { return (value + 7) & ~7u; }

struct Waiter {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
};

NTSTATUS OnDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    auto* waiter = static_cast<Waiter*>(context);
    {
        std::lock_guard lock(waiter->mutex);
        waiter->finished = true;
    }
    waiter->done.notify_all();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

template <class T>
T Read(const std::vector<uint8_t>& buffer, size_t offset)
{
    T value{};
    if (offset + sizeof(T) <= buffer.size()) std::memcpy(&value, buffer.data() + offset, sizeof(T));
    return value;
}

std::u16string CountedString(const std::vector<uint8_t>& buffer, ULONG offset)
{
    if (offset == 0) return {};
    const auto length = Read<USHORT>(buffer, offset);
    if (offset + sizeof(USHORT) + length > buffer.size()) return {};
    std::u16string text(length / sizeof(char16_t), u'\0');
    std::memcpy(text.data(), buffer.data() + offset + sizeof(USHORT), length);
    return text;
}

std::vector<uint8_t> Bytes(const std::vector<uint8_t>& buffer, size_t offset, size_t length)
{
    if (offset > buffer.size() || length > buffer.size() - offset) return {};
    return std::vector<uint8_t>(buffer.begin() + static_cast<std::ptrdiff_t>(offset),
                                buffer.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

std::vector<uint8_t> Header(ULONG size, const GUID& guid, ULONG flags)
{
    std::vector<uint8_t> buffer(size, 0);
    WNODE_HEADER header{};
    header.BufferSize = size;
    header.Guid = guid;
    header.Flags = flags;
    std::memcpy(buffer.data(), &header, std::min<size_t>(sizeof(header), size));
    return buffer;
}

template <class T>
void Put(std::vector<uint8_t>& buffer, size_t offset, T value)
{
    if (offset + sizeof(T) <= buffer.size()) std::memcpy(buffer.data() + offset, &value, sizeof(T));
}

bool TooSmall(const std::vector<uint8_t>& buffer, WmiResult& result)
{
    if (buffer.size() < sizeof(WNODE_TOO_SMALL)) return false;
    const auto header = Read<WNODE_HEADER>(buffer, 0);
    if ((header.Flags & WNODE_FLAG_TOO_SMALL) == 0) return false;
    result.tooSmall = true;
    result.sizeNeeded = Read<ULONG>(buffer, offsetof(WNODE_TOO_SMALL, SizeNeeded));
    return true;
}

}  // namespace

WmiResult WmiRequests::Send(const WmiTarget& target, UCHAR minor, const GUID* dataPath, std::vector<uint8_t> buffer)
{
    WmiResult result;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(target.device);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) {
        ObDereferenceObject(top);
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    GUID path = dataPath ? *dataPath : GUID{};
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
    stack->MinorFunction = minor;
    stack->Parameters.WMI.ProviderId = target.providerId.value_or(reinterpret_cast<ULONG_PTR>(target.device));
    stack->Parameters.WMI.DataPath = (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX)
                                         ? reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(WMIREGISTER))
                                         : (dataPath ? &path : nullptr);
    stack->Parameters.WMI.BufferSize = static_cast<ULONG>(buffer.size());
    stack->Parameters.WMI.Buffer = buffer.empty() ? nullptr : buffer.data();

    auto waiter = std::make_shared<Waiter>();
    // A request that never comes back keeps its waiter and buffer: the IRP still points at them.
    static std::vector<std::shared_ptr<Waiter>> abandonedWaiters;
    static std::vector<std::vector<uint8_t>> abandonedBuffers;
    IoSetCompletionRoutine(irp, &OnDone, waiter.get(), TRUE, TRUE, TRUE);
    IoCallDriver(top, irp);
    {
        std::unique_lock lock(waiter->mutex);
        result.completed = waiter->done.wait_for(lock, std::chrono::seconds(10), [&] { return waiter->finished; });
    }
    ObDereferenceObject(top);
    if (!result.completed) {
        abandonedWaiters.push_back(waiter);
        abandonedBuffers.push_back(std::move(buffer));
        return result;
    }
    result.status = irp->IoStatus.Status;
    result.information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    result.buffer = std::move(buffer);
    return result;
}

WmiResult WmiRequests::QueryAllData(const WmiTarget& target, const GUID& guid)
{
    WmiResult result = Send(target, IRP_MN_QUERY_ALL_DATA, &guid, Header(target.bufferSize, guid, WNODE_FLAG_ALL_DATA));
    if (!result.completed || !NT_SUCCESS(result.status) || TooSmall(result.buffer, result)) return result;
    const auto& buffer = result.buffer;
    const auto header = Read<WNODE_HEADER>(buffer, 0);
    const ULONG count = Read<ULONG>(buffer, offsetof(WNODE_ALL_DATA, InstanceCount));
    const ULONG dataOffset = Read<ULONG>(buffer, offsetof(WNODE_ALL_DATA, DataBlockOffset));
    const ULONG arrayOffset = offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength);
    for (ULONG i = 0; i < count && i < 4096; ++i) {
        if (header.Flags & WNODE_FLAG_FIXED_INSTANCE_SIZE) {
            const ULONG fixed = Read<ULONG>(buffer, arrayOffset);
            result.instances.push_back(Bytes(buffer, dataOffset + size_t{i} * Align8(fixed), fixed));
        } else {
            const auto pair = Read<OFFSETINSTANCEDATAANDLENGTH>(buffer, arrayOffset + size_t{i} * 8);
            result.instances.push_back(Bytes(buffer, pair.OffsetInstanceData, pair.LengthInstanceData));
        }
    }
    return result;
}

WmiResult WmiRequests::QuerySingleInstance(const WmiTarget& target, const GUID& guid, ULONG instance)
{
    auto buffer = Header(target.bufferSize, guid, WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES);
    const ULONG dataOffset = Align8(offsetof(WNODE_SINGLE_INSTANCE, VariableData));
    Put<ULONG>(buffer, offsetof(WNODE_SINGLE_INSTANCE, InstanceIndex), instance);
    Put<ULONG>(buffer, offsetof(WNODE_SINGLE_INSTANCE, DataBlockOffset), dataOffset);
    WmiResult result = Send(target, IRP_MN_QUERY_SINGLE_INSTANCE, &guid, std::move(buffer));
    if (!result.completed || !NT_SUCCESS(result.status) || TooSmall(result.buffer, result)) return result;
    const ULONG size = Read<ULONG>(result.buffer, offsetof(WNODE_SINGLE_INSTANCE, SizeDataBlock));
    const ULONG offset = Read<ULONG>(result.buffer, offsetof(WNODE_SINGLE_INSTANCE, DataBlockOffset));
    result.instances.push_back(Bytes(result.buffer, offset, size));
    return result;
}

WmiResult WmiRequests::ChangeSingleInstance(const WmiTarget& target, const GUID& guid, ULONG instance,
                                            const std::vector<uint8_t>& data)
{
    const ULONG dataOffset = Align8(offsetof(WNODE_SINGLE_INSTANCE, VariableData));
    auto buffer = Header(std::max<ULONG>(target.bufferSize, dataOffset + static_cast<ULONG>(data.size())), guid,
                         WNODE_FLAG_SINGLE_INSTANCE | WNODE_FLAG_STATIC_INSTANCE_NAMES);
    Put<ULONG>(buffer, offsetof(WNODE_SINGLE_INSTANCE, InstanceIndex), instance);
    Put<ULONG>(buffer, offsetof(WNODE_SINGLE_INSTANCE, DataBlockOffset), dataOffset);
    Put<ULONG>(buffer, offsetof(WNODE_SINGLE_INSTANCE, SizeDataBlock), static_cast<ULONG>(data.size()));
    if (!data.empty()) std::memcpy(buffer.data() + dataOffset, data.data(), data.size());
    WmiResult result = Send(target, IRP_MN_CHANGE_SINGLE_INSTANCE, &guid, std::move(buffer));
    if (result.completed) TooSmall(result.buffer, result);
    return result;
}

WmiResult WmiRequests::ChangeSingleItem(const WmiTarget& target, const GUID& guid, ULONG instance, ULONG itemId,
                                        const std::vector<uint8_t>& data)
{
    const ULONG dataOffset = Align8(offsetof(WNODE_SINGLE_ITEM, VariableData));
    auto buffer = Header(std::max<ULONG>(target.bufferSize, dataOffset + static_cast<ULONG>(data.size())), guid,
                         WNODE_FLAG_SINGLE_ITEM | WNODE_FLAG_STATIC_INSTANCE_NAMES);
    Put<ULONG>(buffer, offsetof(WNODE_SINGLE_ITEM, InstanceIndex), instance);
    Put<ULONG>(buffer, offsetof(WNODE_SINGLE_ITEM, ItemId), itemId);
    Put<ULONG>(buffer, offsetof(WNODE_SINGLE_ITEM, DataBlockOffset), dataOffset);
    Put<ULONG>(buffer, offsetof(WNODE_SINGLE_ITEM, SizeDataItem), static_cast<ULONG>(data.size()));
    if (!data.empty()) std::memcpy(buffer.data() + dataOffset, data.data(), data.size());
    WmiResult result = Send(target, IRP_MN_CHANGE_SINGLE_ITEM, &guid, std::move(buffer));
    if (result.completed) TooSmall(result.buffer, result);
    return result;
}

WmiResult WmiRequests::ExecuteMethod(const WmiTarget& target, const GUID& guid, ULONG instance, ULONG methodId,
                                     const std::vector<uint8_t>& input)
{
    const ULONG dataOffset = Align8(offsetof(WNODE_METHOD_ITEM, VariableData));
    auto buffer = Header(std::max<ULONG>(target.bufferSize, dataOffset + static_cast<ULONG>(input.size())), guid,
                         WNODE_FLAG_METHOD_ITEM | WNODE_FLAG_STATIC_INSTANCE_NAMES);
    Put<ULONG>(buffer, offsetof(WNODE_METHOD_ITEM, InstanceIndex), instance);
    Put<ULONG>(buffer, offsetof(WNODE_METHOD_ITEM, MethodId), methodId);
    Put<ULONG>(buffer, offsetof(WNODE_METHOD_ITEM, DataBlockOffset), dataOffset);
    Put<ULONG>(buffer, offsetof(WNODE_METHOD_ITEM, SizeDataBlock), static_cast<ULONG>(input.size()));
    if (!input.empty()) std::memcpy(buffer.data() + dataOffset, input.data(), input.size());
    WmiResult result = Send(target, IRP_MN_EXECUTE_METHOD, &guid, std::move(buffer));
    if (!result.completed || !NT_SUCCESS(result.status) || TooSmall(result.buffer, result)) return result;
    const ULONG size = Read<ULONG>(result.buffer, offsetof(WNODE_METHOD_ITEM, SizeDataBlock));
    const ULONG offset = Read<ULONG>(result.buffer, offsetof(WNODE_METHOD_ITEM, DataBlockOffset));
    result.output = Bytes(result.buffer, offset, size);
    return result;
}

WmiResult WmiRequests::FunctionControl(const WmiTarget& target, UCHAR minor, const GUID& guid)
{
    return Send(target, minor, &guid, Header(sizeof(WNODE_HEADER), guid, 0));
}

WmiResult WmiRequests::RegInfo(const WmiTarget& target, bool extended)
{
    WmiResult result = Send(target, extended ? IRP_MN_REGINFO_EX : IRP_MN_REGINFO, nullptr,
                            std::vector<uint8_t>(target.bufferSize, 0));
    if (!result.completed) return result;
    const auto& buffer = result.buffer;
    if (result.status == STATUS_BUFFER_TOO_SMALL && result.information == sizeof(ULONG)) {
        result.sizeNeeded = Read<ULONG>(buffer, 0);
        return result;
    }
    if (!NT_SUCCESS(result.status)) return result;
    const ULONG count = Read<ULONG>(buffer, offsetof(WMIREGINFOW, GuidCount));
    for (ULONG i = 0; i < count && i < 4096; ++i) {
        const auto guid = Read<WMIREGGUIDW>(buffer, offsetof(WMIREGINFOW, WmiRegGuid) + size_t{i} * sizeof(WMIREGGUIDW));
        result.guids.push_back(WmiRegisteredGuid{guid.Guid, guid.Flags, guid.InstanceCount, guid.Pdo});
    }
    result.registryPath = CountedString(buffer, Read<ULONG>(buffer, offsetof(WMIREGINFOW, RegistryPath)));
    result.mofResourceName = CountedString(buffer, Read<ULONG>(buffer, offsetof(WMIREGINFOW, MofResourceName)));
    return result;
}

}  // namespace emu::testing
