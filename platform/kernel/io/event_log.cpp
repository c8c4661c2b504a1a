// Error-log packets (IoAllocateErrorLogEntry, IoWriteErrorLogEntry, IoFreeErrorLogEntry) and the
// readable event log they end in.
#include "io/event_log.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "ke/clock.h"
#include "ke/kthread.h"
#include "ob/object_namespace.h"
#include "kernel.h"
#include "vf/verifier.h"

namespace emu {

namespace {

constexpr CSHORT kIoTypeDevice = 3;
constexpr CSHORT kIoTypeDriver = 4;
// A packet must at least hold the fixed fields the driver fills in.
constexpr size_t kMinimumPacket = offsetof(IO_ERROR_LOG_PACKET, DumpData);

std::u16string TextOf(const UNICODE_STRING& text)
{
    if (!text.Buffer || text.Length == 0) return {};
    return std::u16string(text.Buffer, text.Length / sizeof(WCHAR));
}

// The event source of a driver: its service name, else the last part of "\Driver\<name>".
std::u16string SourceOf(const DRIVER_OBJECT* driver)
{
    if (!driver) return {};
    if (driver->DriverExtension) {
        std::u16string service = TextOf(driver->DriverExtension->ServiceKeyName);
        if (!service.empty()) return service;
    }
    std::u16string name = TextOf(driver->DriverName);
    size_t last = name.rfind(u'\\');
    return last == std::u16string::npos ? name : name.substr(last + 1);
}

}  // namespace

EventLog::EventLog(Kernel& machine) : m_kernel(machine) {}

EventLog::~EventLog() = default;

std::vector<EventLogEntry> EventLog::Entries() const
{
    std::lock_guard lock(m_mutex);
    return m_entries;
}

size_t EventLog::EntryCount() const
{
    std::lock_guard lock(m_mutex);
    return m_entries.size();
}

void EventLog::Clear()
{
    std::lock_guard lock(m_mutex);
    m_entries.clear();
}

size_t EventLog::OutstandingPackets() const
{
    std::lock_guard lock(m_mutex);
    return m_packets.size();
}

void EventLog::FailNextAllocate(size_t count)
{
    std::lock_guard lock(m_mutex);
    m_failAllocations = count;
}

PVOID EventLog::Allocate(PVOID ioObject, UCHAR entrySize)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateErrorLogEntry");
    if (!ioObject) return nullptr;
    if (entrySize > ERROR_LOG_MAXIMUM_SIZE || entrySize < kMinimumPacket) return nullptr;

    // The names are taken now: the object need not outlive the packet.
    EventLogEntry names;
    const CSHORT type = *static_cast<const CSHORT*>(ioObject);
    if (type == kIoTypeDevice) {
        auto device = static_cast<const DEVICE_OBJECT*>(ioObject);
        names.source = SourceOf(device->DriverObject);
        if (auto info = m_kernel.GetNamespace().Describe(device); info && !info->name.empty())
            names.objectName = info->name;
        else if (device->DriverObject)
            names.objectName = TextOf(device->DriverObject->DriverName);
    } else if (type == kIoTypeDriver) {
        auto driver = static_cast<const DRIVER_OBJECT*>(ioObject);
        names.source = SourceOf(driver);
        names.objectName = TextOf(driver->DriverName);
    } else {
        m_kernel.GetVerifier().Report(Violation::Bugcheck,
                                       "IoAllocateErrorLogEntry with an object that is neither a device nor a driver");
        return nullptr;
    }

    std::lock_guard lock(m_mutex);
    if (m_failAllocations > 0) {
        --m_failAllocations;
        return nullptr;
    }
    Packet packet;
    packet.memory.reset(new std::byte[entrySize]());
    packet.size = entrySize;
    packet.ioObject = ioObject;
    packet.source = std::move(names.source);
    packet.objectName = std::move(names.objectName);
    PVOID address = packet.memory.get();
    m_packets.emplace(address, std::move(packet));
    return address;
}

EventLogEntry EventLog::Decode(const Packet& packet) const
{
    IO_ERROR_LOG_PACKET header;
    std::memset(&header, 0, sizeof(header));
    std::memcpy(&header, packet.memory.get(), std::min(packet.size, sizeof(header)));

    EventLogEntry entry;
    entry.source = packet.source;
    entry.objectName = packet.objectName;
    entry.errorCode = header.ErrorCode;
    entry.uniqueErrorValue = header.UniqueErrorValue;
    entry.finalStatus = header.FinalStatus;
    entry.sequenceNumber = header.SequenceNumber;
    entry.ioControlCode = header.IoControlCode;
    entry.majorFunctionCode = header.MajorFunctionCode;
    entry.retryCount = header.RetryCount;
    entry.eventCategory = header.EventCategory;
    entry.deviceOffset = header.DeviceOffset.QuadPart;
    entry.systemTime = m_kernel.GetClock().SystemTime();

    const std::byte* bytes = packet.memory.get();
    // Nothing outside the packet is read, whatever its counts claim.
    size_t dumpAvailable = packet.size - kMinimumPacket;
    size_t dumpSize = std::min<size_t>(header.DumpDataSize, dumpAvailable);
    if (dumpSize < header.DumpDataSize) entry.truncated = true;
    entry.dumpData.resize(dumpSize);
    if (dumpSize) std::memcpy(entry.dumpData.data(), bytes + kMinimumPacket, dumpSize);

    size_t offset = header.StringOffset;
    for (USHORT i = 0; i < header.NumberOfStrings; ++i) {
        std::u16string text;
        bool terminated = false;
        while (offset + sizeof(WCHAR) <= packet.size) {
            WCHAR c;
            std::memcpy(&c, bytes + offset, sizeof(c));
            offset += sizeof(WCHAR);
            if (c == 0) {
                terminated = true;
                break;
            }
            text.push_back(c);
        }
        if (!terminated) {
            entry.truncated = true;
            if (!text.empty()) entry.strings.push_back(std::move(text));
            break;
        }
        entry.strings.push_back(std::move(text));
    }
    return entry;
}

void EventLog::Write(PVOID address)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoWriteErrorLogEntry");
    Packet packet;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_packets.find(address);
        if (it == m_packets.end()) {
            m_kernel.GetVerifier().Report(Violation::Bugcheck,
                                           "IoWriteErrorLogEntry of a packet IoAllocateErrorLogEntry did not give out");
            return;
        }
        packet = std::move(it->second);
        m_packets.erase(it);
    }
    EventLogEntry entry = Decode(packet);
    std::lock_guard lock(m_mutex);
    m_entries.push_back(std::move(entry));
}

void EventLog::Free(PVOID address)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoFreeErrorLogEntry");
    size_t erased;
    {
        std::lock_guard lock(m_mutex);
        erased = m_packets.erase(address);
    }
    if (erased == 0)
        m_kernel.GetVerifier().Report(Violation::Bugcheck,
                                       "IoFreeErrorLogEntry of a packet IoAllocateErrorLogEntry did not give out");
}

}  // namespace emu

extern "C" PVOID IoAllocateErrorLogEntry(PVOID ioObject, UCHAR entrySize)
{
    return emu::Kernel::Current().GetEventLog().Allocate(ioObject, entrySize);
}

extern "C" void IoWriteErrorLogEntry(PVOID elEntry) { emu::Kernel::Current().GetEventLog().Write(elEntry); }

extern "C" void IoFreeErrorLogEntry(PVOID elEntry) { emu::Kernel::Current().GetEventLog().Free(elEntry); }
