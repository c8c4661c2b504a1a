// Device objects: IoCreateDevice, IoDeleteDevice and the device stack (IoAttachDeviceToDeviceStack,
// IoDetachDevice, IoGetAttachedDeviceReference).
//
// A device object is the platform's memory, registered with the object manager: IoDeleteDevice takes
// its name away at once and drops the creation reference, and the memory goes with the last
// reference, so work items, IRPs and upper devices still holding one stay valid.
#include <wdm.h>

#include <cstdio>
#include <new>
#include <string>

#include "io/driver_loader.h"
#include "io/io_manager.h"
#include "ke/dpc_manager.h"
#include "ke/kthread.h"
#include "ke/spin_lock_holders.h"
#include "ob/object_namespace.h"
#include "kernel.h"
#include "ob/object_manager.h"
#include "vf/verifier.h"
#include "rtl/rtl_text.h"

namespace emu {

namespace {

constexpr CSHORT kIoTypeDevice = 3;
// The extension starts on a 16-byte boundary after the device object.
constexpr size_t kExtensionOffset = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
// Larger extensions are refused as the pool would refuse them.
constexpr ULONG kMaxExtensionSize = 1u << 24;
// A stack deeper than this is a loop in the AttachedDevice links.
constexpr int kMaxStackDepth = 64;

void Report(Violation kind, std::string detail) { Kernel::Current().GetVerifier().Report(kind, std::move(detail)); }

// Before its memory goes: a timer still armed or a DPC still queued in the device object or its
// extension is the driver's fault, reported and taken out of the machine's lists.
void CheckNothingArmedIn(const DeviceRecord& record)
{
    Kernel* machine = Kernel::TryCurrent();
    DpcManager* dpcs = machine ? machine->FindDpcs() : nullptr;
    if (!dpcs) return;
    const std::string name = record.name.empty() ? "(unnamed)" : NarrowText(record.name);
    dpcs->CheckFreedMemory(record.memory.get(), kExtensionOffset + record.extensionSize,
                           "device object " + name + " freed");
}

// Its driver's image may have waited for this device object to go.
void TellDriverLoader(PDRIVER_OBJECT driver)
{
    Kernel* machine = Kernel::TryCurrent();
    if (DriverLoader* drivers = machine ? machine->FindDrivers() : nullptr) drivers->OnDeviceFreed(driver);
}

void DestroyRecord(DeviceRecord* record)
{
    PDRIVER_OBJECT driver = record->device->DriverObject;
    CheckNothingArmedIn(*record);
    SynchroniseWithSpinLocksIn(record->memory.get(), kExtensionOffset + record->extensionSize, "a device object");
    if (record->owner) record->owner->ForgetDevice(record);
    delete record;
    TellDriverLoader(driver);
}

// The text of a caller's UNICODE_STRING, or a failure status for a malformed one.
NTSTATUS NameOf(PCUNICODE_STRING text, const char* caller, std::u16string& name)
{
    if (text->Length == 0 || (text->Length % sizeof(WCHAR)) != 0) return STATUS_OBJECT_NAME_INVALID;
    if (!text->Buffer) {
        Report(Violation::Bugcheck, std::string(caller) + " with a name whose buffer is null");
        return STATUS_INVALID_PARAMETER;
    }
    name.assign(text->Buffer, text->Length / sizeof(WCHAR));
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device)
{
    for (int depth = 0; device->AttachedDevice && depth < kMaxStackDepth; ++depth) device = device->AttachedDevice;
    return device;
}

void UnlinkFromDriver(PDEVICE_OBJECT device)
{
    PDRIVER_OBJECT driver = device->DriverObject;
    if (!driver) return;
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
        if (*link == device) {
            *link = device->NextDevice;
            break;
        }
    }
    device->NextDevice = nullptr;
}

}  // namespace

std::vector<IoManager::HeldIrp> IoManager::InFlightIrps(PDEVICE_OBJECT deviceObject) const
{
    std::lock_guard lock(m_mutex);
    std::vector<HeldIrp> held;
    for (const auto& [irp, record] : m_irps) {
        if (record.state != IrpState::InFlight) continue;
        PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
        for (CHAR location = irp->CurrentLocation; location < record.senderLocation; ++location, ++stack) {
            if (location >= 1 && location <= irp->StackCount && stack->DeviceObject == deviceObject) {
                held.push_back(HeldIrp{irp, stack->MajorFunction, stack->MinorFunction});
                break;
            }
        }
    }
    return held;
}

}  // namespace emu

using emu::Kernel;
using emu::Violation;

extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG deviceExtensionSize,
                                   PUNICODE_STRING deviceName, DEVICE_TYPE deviceType,
                                   ULONG deviceCharacteristics, BOOLEAN exclusive, PDEVICE_OBJECT* deviceObject)
{
    emu::CheckIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    if (!deviceObject || !driverObject) {
        emu::Report(Violation::Bugcheck, "IoCreateDevice without a driver object or a place for the device");
        return STATUS_INVALID_PARAMETER;
    }
    *deviceObject = nullptr;

    Kernel& machine = Kernel::Current();
    emu::ObjectNamespace& names = machine.GetNamespace();
    NTSTATUS status = STATUS_SUCCESS;
    if (names.TakeInjectedCreateFailure(&status)) return status;
    if (deviceExtensionSize > emu::kMaxExtensionSize) return STATUS_INSUFFICIENT_RESOURCES;

    std::u16string name;
    const bool autogenerated = (deviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME) != 0;
    if (!autogenerated && deviceName) {
        status = emu::NameOf(deviceName, "IoCreateDevice", name);
        if (!NT_SUCCESS(status)) return status;
    }

    auto record = std::make_unique<emu::DeviceRecord>();
    const size_t total = emu::kExtensionOffset + deviceExtensionSize;
    record->memory.reset(new (std::nothrow) std::byte[total]());
    if (!record->memory) return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT device = new (record->memory.get()) DEVICE_OBJECT{};
    device->Type = emu::kIoTypeDevice;
    device->Size = static_cast<USHORT>(total > 0xFFFF ? 0xFFFF : total);
    device->DriverObject = driverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = deviceCharacteristics;
    device->DeviceType = deviceType;
    device->StackSize = 1;
    device->DeviceExtension = deviceExtensionSize ? record->memory.get() + emu::kExtensionOffset : nullptr;
    device->DeviceObjectExtension = record.get();
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    record->device = device;
    record->extensionSize = deviceExtensionSize;

    std::lock_guard lock(names.DatabaseLock());
    if (autogenerated) {
        // Numbered names; one taken already (by a driver that chose such a name itself) is skipped.
        do {
            char text[32];
            std::snprintf(text, sizeof(text), "\\Device\\NTPNP_PCI%04u", names.NextAutogeneratedIndex());
            name.assign(text, text + std::char_traits<char>::length(text));
            status = names.Insert(name, emu::ObjectType::Device, device);
        } while (status == STATUS_OBJECT_NAME_COLLISION);
    } else if (!name.empty()) {
        status = names.Insert(name, emu::ObjectType::Device, device);
    }
    if (!NT_SUCCESS(status)) return status;
    if (!name.empty()) record->name = emu::ObjectNamespace::Canonical(name);

    emu::DeviceRecord* kept = record.release();
    names.AddDevice(kept);
    machine.GetObjectManager().Register(device, emu::ObjectType::Device,
                                        [kept](void*) { emu::DestroyRecord(kept); });
    device->NextDevice = driverObject->DeviceObject;
    driverObject->DeviceObject = device;
    *deviceObject = device;
    return STATUS_SUCCESS;
}

extern "C" void IoDeleteDevice(PDEVICE_OBJECT deviceObject)
{
    emu::CheckIrqlAtMost(APC_LEVEL, "IoDeleteDevice");
    if (!deviceObject) {
        emu::Report(Violation::Bugcheck, "IoDeleteDevice of a null device object");
        return;
    }
    Kernel& machine = Kernel::Current();
    emu::ObjectNamespace& names = machine.GetNamespace();

    // The IRP_MN_REMOVE_DEVICE that a driver deletes its device in is still on its way; any other
    // request the device holds would be left pointing at a deleted device.
    size_t pending = 0;
    UCHAR pendingMajor = 0;
    for (const auto& held : machine.GetIo().InFlightIrps(deviceObject)) {
        if (held.major == IRP_MJ_PNP && held.minor == IRP_MN_REMOVE_DEVICE) continue;
        if (pending++ == 0) pendingMajor = held.major;
    }

    PDEVICE_OBJECT lower = nullptr;
    bool lowerReferenced = false;
    std::string deviceName;
    {
        std::lock_guard lock(names.DatabaseLock());
        emu::DeviceRecord* record = names.RecordOf(deviceObject);
        if (!record) {
            emu::Report(Violation::Bugcheck, "IoDeleteDevice of a device object IoCreateDevice did not make");
            return;
        }
        deviceName = record->name.empty() ? "(unnamed)" : emu::NarrowText(record->name);
        if (record->deleted) {
            emu::Report(Violation::Bugcheck, "IoDeleteDevice called twice for " + deviceName);
            return;
        }
        record->deleted = true;

        // A driver detaches from the stack before it deletes its device; if it did not, the lower
        // device must not keep pointing at it.
        lowerReferenced = names.ClearAttachment(deviceObject, &lower);
        if (lower) {
            if (lower->AttachedDevice == deviceObject) lower->AttachedDevice = nullptr;
        }
        if (!record->name.empty()) names.RemoveIfNames(record->name, deviceObject);
        emu::UnlinkFromDriver(deviceObject);
    }
    if (lower)
        emu::Report(Violation::Bugcheck,
                    "IoDeleteDevice of " + deviceName + " while it is still attached to a lower device (IoDetachDevice first)");
    if (pending)
        emu::Report(Violation::IrpPendingAtDelete,
                    "IoDeleteDevice of " + deviceName + " with " + std::to_string(pending) +
                        " IRP(s) still pending on it (first: major function " + std::to_string(pendingMajor) + ")");

    machine.GetIo().ForgetDevice(deviceObject);
    if (lowerReferenced) ObDereferenceObject(lower);
    // With IRPs still holding the device, its memory stays until the machine goes.
    if (!pending) ObDereferenceObject(deviceObject);
}

extern "C" PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT sourceDevice, PDEVICE_OBJECT targetDevice)
{
    emu::CheckIrqlAtMost(DISPATCH_LEVEL, "IoAttachDeviceToDeviceStack");
    if (!sourceDevice || !targetDevice) {
        emu::Report(Violation::Bugcheck, "IoAttachDeviceToDeviceStack with a null device object");
        return nullptr;
    }
    Kernel& machine = Kernel::Current();
    emu::ObjectNamespace& names = machine.GetNamespace();
    std::lock_guard lock(names.DatabaseLock());
    if (names.AttachedTo(sourceDevice)) {
        emu::Report(Violation::Bugcheck, "IoAttachDeviceToDeviceStack of a device that is attached already");
        return nullptr;
    }
    PDEVICE_OBJECT top = emu::TopOfStack(targetDevice);
    if (top == sourceDevice || top->AttachedDevice) {
        emu::Report(Violation::Bugcheck, "IoAttachDeviceToDeviceStack would make a loop of device objects");
        return nullptr;
    }
    // A device being deleted takes no new layers.
    if (emu::DeviceRecord* record = names.RecordOf(top); record && record->deleted) return nullptr;

    // The upper device keeps the one below alive until it detaches.
    const bool referenced = machine.GetObjectManager().Reference(top) != 0;
    top->AttachedDevice = sourceDevice;
    sourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    sourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    sourceDevice->SectorSize = top->SectorSize;
    names.SetAttachment(sourceDevice, top, referenced);
    return top;
}

extern "C" void IoDetachDevice(PDEVICE_OBJECT targetDevice)
{
    emu::CheckIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice");
    if (!targetDevice) {
        emu::Report(Violation::Bugcheck, "IoDetachDevice of a null device object");
        return;
    }
    emu::ObjectNamespace& names = Kernel::Current().GetNamespace();
    PDEVICE_OBJECT lower = nullptr;
    bool referenced = false;
    {
        std::lock_guard lock(names.DatabaseLock());
        PDEVICE_OBJECT upper = targetDevice->AttachedDevice;
        if (!upper) {
            emu::Report(Violation::Bugcheck, "IoDetachDevice of a device that has nothing attached to it");
            return;
        }
        targetDevice->AttachedDevice = nullptr;
        referenced = names.ClearAttachment(upper, &lower);
    }
    if (referenced && lower == targetDevice) ObDereferenceObject(lower);
}

extern "C" PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT deviceObject)
{
    emu::CheckIrqlAtMost(DISPATCH_LEVEL, "IoGetAttachedDeviceReference");
    if (!deviceObject) {
        emu::Report(Violation::Bugcheck, "IoGetAttachedDeviceReference of a null device object");
        return nullptr;
    }
    Kernel& machine = Kernel::Current();
    std::lock_guard lock(machine.GetNamespace().DatabaseLock());
    PDEVICE_OBJECT top = emu::TopOfStack(deviceObject);
    machine.GetObjectManager().Reference(top);
    return top;
}
