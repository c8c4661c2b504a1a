// The WMI library: WmiSystemControl decodes an IRP_MJ_SYSTEM_CONTROL request into the driver's
// WMILIB_CONTEXT callbacks; WmiCompleteRequest lays the driver's answer out as the WNODE the
// request asked for and completes it.
#include <wdm.h>
#include <wmilib.h>
#include <wmistr.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "ke/kthread.h"
#include "wmi/wmi_manager.h"
#include "kernel.h"
#include "vf/verifier.h"

namespace emu {

namespace {

constexpr uint64_t Align8(uint64_t value) { return (value + 7) & ~uint64_t{7}; }

constexpr ULONG kAllDataArrayOffset = offsetof(WNODE_ALL_DATA, OffsetInstanceDataAndLength);
constexpr ULONG kSingleInstanceFixed = offsetof(WNODE_SINGLE_INSTANCE, VariableData);
constexpr ULONG kSingleItemFixed = offsetof(WNODE_SINGLE_ITEM, VariableData);
constexpr ULONG kMethodItemFixed = offsetof(WNODE_METHOD_ITEM, VariableData);
constexpr ULONG kRegGuidOffset = offsetof(WMIREGINFOW, WmiRegGuid);
constexpr ULONG kInstanceFlags = WMIREG_FLAG_INSTANCE_LIST | WMIREG_FLAG_INSTANCE_BASENAME | WMIREG_FLAG_INSTANCE_PDO;

bool IsDataMinor(UCHAR minor)
{
    return minor == IRP_MN_QUERY_ALL_DATA || minor == IRP_MN_QUERY_SINGLE_INSTANCE ||
           minor == IRP_MN_CHANGE_SINGLE_INSTANCE || minor == IRP_MN_CHANGE_SINGLE_ITEM ||
           minor == IRP_MN_EXECUTE_METHOD;
}

// The library answered without the driver: the driver completes the request itself.
NTSTATUS NotCompleted(PIRP irp, PSYSCTL_IRP_DISPOSITION disposition, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    *disposition = IrpNotCompleted;
    return status;
}

bool FindGuid(const WMILIB_CONTEXT& context, const GUID* guid, ULONG* index)
{
    if (!guid || !context.GuidList) return false;
    for (ULONG i = 0; i < context.GuidCount; ++i) {
        const WMIGUIDREGINFO& entry = context.GuidList[i];
        if (entry.Guid && (entry.Flags & WMIREG_FLAG_REMOVE_GUID) == 0 && IsEqualGUID(*entry.Guid, *guid)) {
            *index = i;
            return true;
        }
    }
    return false;
}

// Blocks are registered with static instance names (or PDO names, which WMI turns into static
// ones), so a request names its instance by index.
NTSTATUS CheckInstance(const WMIGUIDREGINFO& entry, const WNODE_HEADER& header, ULONG instanceIndex)
{
    if ((header.Flags & WNODE_FLAG_STATIC_INSTANCE_NAMES) == 0) return STATUS_WMI_INSTANCE_NOT_FOUND;
    if (instanceIndex >= entry.InstanceCount) return STATUS_WMI_INSTANCE_NOT_FOUND;
    return STATUS_SUCCESS;
}

// A driver-supplied data area inside the request buffer: [offset, offset + size) within it.
bool InBuffer(uint64_t offset, uint64_t size, ULONG bufferSize) { return offset <= bufferSize && offset + size <= bufferSize; }

uint64_t CountedStringSize(PCUNICODE_STRING text)
{
    return (text && text->Buffer && text->Length) ? sizeof(USHORT) + text->Length : 0;
}

ULONG PutCountedString(PUCHAR base, uint64_t& cursor, PCUNICODE_STRING text)
{
    if (!CountedStringSize(text)) return 0;
    const ULONG offset = static_cast<ULONG>(cursor);
    const USHORT length = text->Length;
    std::memcpy(base + cursor, &length, sizeof(length));
    std::memcpy(base + cursor + sizeof(length), text->Buffer, length);
    cursor += sizeof(length) + length;
    cursor = (cursor + 1) & ~uint64_t{1};
    return offset;
}

NTSTATUS RegInfo(const WMILIB_CONTEXT& context, PDEVICE_OBJECT deviceObject, PIRP irp,
                 PSYSCTL_IRP_DISPOSITION disposition)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
    const ULONG bufferSize = buffer ? stack->Parameters.WMI.BufferSize : 0;
    if (!context.QueryWmiRegInfo) return NotCompleted(irp, disposition, STATUS_INVALID_DEVICE_REQUEST);

    ULONG regFlags = 0;
    UNICODE_STRING instanceName{};
    PUNICODE_STRING registryPath = nullptr;
    UNICODE_STRING mofResourceName{};
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status =
        context.QueryWmiRegInfo(deviceObject, &regFlags, &instanceName, &registryPath, &mofResourceName, &pdo);
    // The base name is the driver's pool allocation, handed to WMI.
    struct FreeName {
        UNICODE_STRING& name;
        ~FreeName()
        {
            if (name.Buffer) ExFreePool(name.Buffer);
        }
    } freeName{instanceName};
    if (!NT_SUCCESS(status)) return NotCompleted(irp, disposition, status);

    const bool baseName = (regFlags & WMIREG_FLAG_INSTANCE_BASENAME) != 0;
    uint64_t total = kRegGuidOffset + uint64_t{context.GuidCount} * sizeof(WMIREGGUIDW);
    total += CountedStringSize(registryPath) + 1 + CountedStringSize(&mofResourceName) + 1;
    if (baseName) total += CountedStringSize(&instanceName) + 1;
    total &= ~uint64_t{1};
    if (total > 0xFFFFFFFFu) return NotCompleted(irp, disposition, STATUS_INVALID_PARAMETER);

    if (bufferSize < total) {
        // Too small: WMI is told the size it needs and asks again.
        if (bufferSize < sizeof(ULONG)) return NotCompleted(irp, disposition, STATUS_BUFFER_TOO_SMALL);
        const ULONG needed = static_cast<ULONG>(total);
        std::memcpy(buffer, &needed, sizeof(needed));
        return NotCompleted(irp, disposition, STATUS_BUFFER_TOO_SMALL, sizeof(ULONG));
    }

    std::memset(buffer, 0, static_cast<size_t>(total));
    auto* info = reinterpret_cast<PWMIREGINFOW>(buffer);
    uint64_t cursor = kRegGuidOffset + uint64_t{context.GuidCount} * sizeof(WMIREGGUIDW);
    info->RegistryPath = PutCountedString(buffer, cursor, registryPath);
    info->MofResourceName = PutCountedString(buffer, cursor, &mofResourceName);
    const ULONG baseNameOffset = baseName ? PutCountedString(buffer, cursor, &instanceName) : 0;
    info->BufferSize = static_cast<ULONG>(total);
    info->NextWmiRegInfo = 0;
    info->GuidCount = context.GuidCount;
    for (ULONG i = 0; i < context.GuidCount; ++i) {
        const WMIGUIDREGINFO& entry = context.GuidList[i];
        WMIREGGUIDW guid{};
        if (entry.Guid) guid.Guid = *entry.Guid;
        guid.Flags = entry.Flags;
        // The driver's instance naming applies to the blocks that name none of their own.
        if ((guid.Flags & kInstanceFlags) == 0) guid.Flags |= regFlags;
        guid.InstanceCount = entry.InstanceCount;
        if (guid.Flags & WMIREG_FLAG_INSTANCE_PDO)
            guid.Pdo = reinterpret_cast<ULONG_PTR>(pdo);
        else if (guid.Flags & WMIREG_FLAG_INSTANCE_BASENAME)
            guid.BaseNameOffset = baseNameOffset;
        std::memcpy(buffer + kRegGuidOffset + uint64_t{i} * sizeof(WMIREGGUIDW), &guid, sizeof(guid));
    }
    return NotCompleted(irp, disposition, STATUS_SUCCESS, static_cast<ULONG_PTR>(total));
}

}  // namespace

}  // namespace emu

using emu::Kernel;
using emu::Violation;

extern "C" NTSTATUS WmiSystemControl(PWMILIB_CONTEXT wmiLibInfo, PDEVICE_OBJECT deviceObject, PIRP irp,
                                     PSYSCTL_IRP_DISPOSITION irpDisposition)
{
    emu::CheckIrqlAtMost(PASSIVE_LEVEL, "WmiSystemControl");
    if (!wmiLibInfo || !deviceObject || !irp || !irpDisposition) {
        emu::ReportViolation(Violation::Bugcheck, "WmiSystemControl with a null argument");
        if (irpDisposition) *irpDisposition = IrpNotWmi;
        return STATUS_INVALID_PARAMETER;
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const UCHAR minor = stack->MinorFunction;
    if (minor > IRP_MN_REGINFO_EX || minor == IRP_MN_REGINFO_EX - 1) {
        *irpDisposition = IrpNotWmi;
        return irp->IoStatus.Status;
    }
    if (stack->Parameters.WMI.ProviderId != reinterpret_cast<ULONG_PTR>(deviceObject)) {
        *irpDisposition = IrpForward;
        return irp->IoStatus.Status;
    }
    const WMILIB_CONTEXT& context = *wmiLibInfo;
    if (minor == IRP_MN_REGINFO || minor == IRP_MN_REGINFO_EX)
        return emu::RegInfo(context, deviceObject, irp, irpDisposition);

    ULONG index = 0;
    if (!emu::FindGuid(context, static_cast<const GUID*>(stack->Parameters.WMI.DataPath), &index))
        return emu::NotCompleted(irp, irpDisposition, STATUS_WMI_GUID_NOT_FOUND);
    const WMIGUIDREGINFO& entry = context.GuidList[index];
    emu::WmiManager& wmi = Kernel::Current().GetWmi();

    if (!emu::IsDataMinor(minor)) {
        // Events and expensive collection: without a function-control routine there is nothing to tell.
        if (!context.WmiFunctionControl) return emu::NotCompleted(irp, irpDisposition, STATUS_SUCCESS);
        const bool events = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_DISABLE_EVENTS;
        const bool enable = minor == IRP_MN_ENABLE_EVENTS || minor == IRP_MN_ENABLE_COLLECTION;
        wmi.BeginRequest(irp, minor, 0, 0);
        *irpDisposition = IrpProcessed;
        return context.WmiFunctionControl(deviceObject, irp, index, events ? WmiEventControl : WmiDataBlockControl,
                                          enable ? TRUE : FALSE);
    }

    auto* buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
    const ULONG bufferSize = buffer ? stack->Parameters.WMI.BufferSize : 0;

    if (minor == IRP_MN_QUERY_ALL_DATA) {
        if (bufferSize < emu::kAllDataArrayOffset) return emu::NotCompleted(irp, irpDisposition, STATUS_BUFFER_TOO_SMALL);
        if (!context.QueryWmiDataBlock) return emu::NotCompleted(irp, irpDisposition, STATUS_INVALID_DEVICE_REQUEST);
        const ULONG count = entry.InstanceCount;
        const uint64_t dataStart = emu::Align8(emu::kAllDataArrayOffset + uint64_t{count} * sizeof(OFFSETINSTANCEDATAANDLENGTH));
        if (dataStart > 0xFFFFFFFFu) return emu::NotCompleted(irp, irpDisposition, STATUS_INVALID_PARAMETER);
        const ULONG available = dataStart < bufferSize ? static_cast<ULONG>(bufferSize - dataStart) : 0;
        PUCHAR data = buffer + std::min<uint64_t>(dataStart, bufferSize);
        emu::WmiPendingRequest& request = wmi.BeginRequest(irp, minor, static_cast<ULONG>(dataStart), count);
        *irpDisposition = IrpProcessed;
        return context.QueryWmiDataBlock(deviceObject, irp, index, 0, count, request.instanceLengths.data(),
                                         available, data);
    }

    // The single-instance requests: the WNODE names one instance and where its data lies.
    ULONG fixedPart = emu::kSingleInstanceFixed;
    if (minor == IRP_MN_CHANGE_SINGLE_ITEM) fixedPart = emu::kSingleItemFixed;
    if (minor == IRP_MN_EXECUTE_METHOD) fixedPart = emu::kMethodItemFixed;
    if (bufferSize < fixedPart) return emu::NotCompleted(irp, irpDisposition, STATUS_BUFFER_TOO_SMALL);

    ULONG instanceIndex = 0;
    ULONG dataOffset = 0;
    ULONG dataSize = 0;
    if (minor == IRP_MN_CHANGE_SINGLE_ITEM) {
        const auto* item = reinterpret_cast<const WNODE_SINGLE_ITEM*>(buffer);
        instanceIndex = item->InstanceIndex;
        dataOffset = item->DataBlockOffset;
        dataSize = item->SizeDataItem;
    } else if (minor == IRP_MN_EXECUTE_METHOD) {
        const auto* method = reinterpret_cast<const WNODE_METHOD_ITEM*>(buffer);
        instanceIndex = method->InstanceIndex;
        dataOffset = method->DataBlockOffset;
        dataSize = method->SizeDataBlock;
    } else {
        const auto* single = reinterpret_cast<const WNODE_SINGLE_INSTANCE*>(buffer);
        instanceIndex = single->InstanceIndex;
        dataOffset = single->DataBlockOffset;
        dataSize = minor == IRP_MN_CHANGE_SINGLE_INSTANCE ? single->SizeDataBlock : 0;
    }
    const auto* header = reinterpret_cast<const WNODE_HEADER*>(buffer);
    NTSTATUS status = emu::CheckInstance(entry, *header, instanceIndex);
    if (!NT_SUCCESS(status)) return emu::NotCompleted(irp, irpDisposition, status);
    // The offsets come from the caller: data outside the buffer is refused, never read or written.
    if (dataOffset < fixedPart || !emu::InBuffer(dataOffset, dataSize, bufferSize))
        return emu::NotCompleted(irp, irpDisposition, STATUS_INVALID_PARAMETER);
    PUCHAR data = buffer + dataOffset;
    const ULONG room = bufferSize - dataOffset;

    switch (minor) {
    case IRP_MN_QUERY_SINGLE_INSTANCE: {
        if (!context.QueryWmiDataBlock) return emu::NotCompleted(irp, irpDisposition, STATUS_INVALID_DEVICE_REQUEST);
        emu::WmiPendingRequest& request = wmi.BeginRequest(irp, minor, dataOffset, 1);
        *irpDisposition = IrpProcessed;
        return context.QueryWmiDataBlock(deviceObject, irp, index, instanceIndex, 1, request.instanceLengths.data(),
                                         room, data);
    }
    case IRP_MN_CHANGE_SINGLE_INSTANCE:
        if (!context.SetWmiDataBlock) return emu::NotCompleted(irp, irpDisposition, STATUS_WMI_READ_ONLY);
        wmi.BeginRequest(irp, minor, dataOffset, 0);
        *irpDisposition = IrpProcessed;
        return context.SetWmiDataBlock(deviceObject, irp, index, instanceIndex, dataSize, data);
    case IRP_MN_CHANGE_SINGLE_ITEM: {
        if (!context.SetWmiDataItem) return emu::NotCompleted(irp, irpDisposition, STATUS_WMI_READ_ONLY);
        const ULONG itemId = reinterpret_cast<const WNODE_SINGLE_ITEM*>(buffer)->ItemId;
        wmi.BeginRequest(irp, minor, dataOffset, 0);
        *irpDisposition = IrpProcessed;
        return context.SetWmiDataItem(deviceObject, irp, index, instanceIndex, itemId, dataSize, data);
    }
    default: {  // IRP_MN_EXECUTE_METHOD
        if (!context.ExecuteWmiMethod) return emu::NotCompleted(irp, irpDisposition, STATUS_INVALID_DEVICE_REQUEST);
        const ULONG methodId = reinterpret_cast<const WNODE_METHOD_ITEM*>(buffer)->MethodId;
        wmi.BeginRequest(irp, minor, dataOffset, 0);
        *irpDisposition = IrpProcessed;
        return context.ExecuteWmiMethod(deviceObject, irp, index, instanceIndex, methodId, dataSize, room, data);
    }
    }
}

extern "C" NTSTATUS WmiCompleteRequest(PDEVICE_OBJECT deviceObject, PIRP irp, NTSTATUS status, ULONG bufferUsed,
                                       CCHAR priorityBoost)
{
    emu::CheckIrqlAtMost(DISPATCH_LEVEL, "WmiCompleteRequest");
    if (!irp) {
        emu::ReportViolation(Violation::Bugcheck, "WmiCompleteRequest of a null IRP");
        return STATUS_INVALID_PARAMETER;
    }
    auto request = Kernel::Current().GetWmi().TakeRequest(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* buffer = static_cast<PUCHAR>(stack->Parameters.WMI.Buffer);
    const ULONG bufferSize = buffer ? stack->Parameters.WMI.BufferSize : 0;

    NTSTATUS result = status;
    ULONG_PTR information = 0;
    if (request && emu::IsDataMinor(request->minor)) {
        const uint64_t answer = uint64_t{request->dataOffset} + bufferUsed;
        if (status == STATUS_BUFFER_TOO_SMALL && bufferSize >= sizeof(WNODE_TOO_SMALL)) {
            // The caller learns the size it needs and asks again: that answer is a success.
            auto* tooSmall = reinterpret_cast<PWNODE_TOO_SMALL>(buffer);
            tooSmall->WnodeHeader.BufferSize = sizeof(WNODE_TOO_SMALL);
            tooSmall->WnodeHeader.Flags |= WNODE_FLAG_TOO_SMALL;
            tooSmall->SizeNeeded = static_cast<ULONG>(std::min<uint64_t>(answer, 0xFFFFFFFFu));
            information = sizeof(WNODE_TOO_SMALL);
            result = STATUS_SUCCESS;
        } else if (NT_SUCCESS(status) && request->minor == IRP_MN_QUERY_ALL_DATA) {
            uint64_t offset = request->dataOffset;
            uint64_t end = offset;
            auto* all = reinterpret_cast<PWNODE_ALL_DATA>(buffer);
            for (ULONG i = 0; i < request->instanceCount; ++i) {
                const ULONG length = request->instanceLengths[i];
                OFFSETINSTANCEDATAANDLENGTH pair{static_cast<ULONG>(offset), length};
                std::memcpy(buffer + emu::kAllDataArrayOffset + uint64_t{i} * sizeof(pair), &pair, sizeof(pair));
                end = offset + length;
                offset = emu::Align8(end);
            }
            information = static_cast<ULONG_PTR>(std::max(answer, end));
            all->DataBlockOffset = request->dataOffset;
            all->InstanceCount = request->instanceCount;
            all->OffsetInstanceNameOffsets = 0;
            all->WnodeHeader.Flags &= ~WNODE_FLAG_FIXED_INSTANCE_SIZE;
        } else if (NT_SUCCESS(status) && request->minor == IRP_MN_QUERY_SINGLE_INSTANCE) {
            reinterpret_cast<PWNODE_SINGLE_INSTANCE>(buffer)->SizeDataBlock = bufferUsed;
            information = static_cast<ULONG_PTR>(answer);
        } else if (NT_SUCCESS(status) && request->minor == IRP_MN_EXECUTE_METHOD) {
            reinterpret_cast<PWNODE_METHOD_ITEM>(buffer)->SizeDataBlock = bufferUsed;
            information = static_cast<ULONG_PTR>(answer);
        }
        if (information > bufferSize) {
            emu::ReportViolation(Violation::IrpBufferOverrun,
                                 "WmiCompleteRequest with " + std::to_string(information) +
                                     " bytes of answer for a WMI buffer of " + std::to_string(bufferSize));
            information = bufferSize;
        }
        if (NT_SUCCESS(result) && information >= sizeof(WNODE_HEADER))
            reinterpret_cast<PWNODE_HEADER>(buffer)->BufferSize = static_cast<ULONG>(information);
    }
    irp->IoStatus.Status = result;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, priorityBoost);
    return result;
}
