// The System event log of the emulated machine: the error-log packets that drivers allocate with
// IoAllocateErrorLogEntry and hand over with IoWriteErrorLogEntry, kept as readable entries.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace emu {

class Kernel;

struct EventLogEntry {
    std::u16string source;      // the driver's service name ("cvuvcp")
    std::u16string objectName;  // insertion string %1: the device's name, else the driver's
    NTSTATUS errorCode = 0;     // the message ID
    ULONG uniqueErrorValue = 0;
    NTSTATUS finalStatus = 0;
    ULONG sequenceNumber = 0;
    ULONG ioControlCode = 0;
    UCHAR majorFunctionCode = 0;
    UCHAR retryCount = 0;
    USHORT eventCategory = 0;
    LONGLONG deviceOffset = 0;
    std::vector<std::u16string> strings;  // the driver's strings: insertion strings %2 onwards
    std::vector<uint8_t> dumpData;
    LONGLONG systemTime = 0;  // when it was written, 100 ns since 1601
    // The packet's strings or dump data reached past the packet; what lay inside was kept.
    bool truncated = false;
};

class EventLog {
public:
    explicit EventLog(Kernel& machine);
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // ---- Tests -------------------------------------------------------------------------------
    std::vector<EventLogEntry> Entries() const;
    size_t EntryCount() const;
    void Clear();
    // Packets allocated and neither written nor freed yet.
    size_t OutstandingPackets() const;
    // The next `count` IoAllocateErrorLogEntry calls return null.
    void FailNextAllocate(size_t count = 1);

    // ---- The kernel's calls ------------------------------------------------------------------
    PVOID Allocate(PVOID ioObject, UCHAR entrySize);
    void Write(PVOID packet);
    void Free(PVOID packet);

private:
    struct Packet {
        std::unique_ptr<std::byte[]> memory;
        size_t size = 0;
        PVOID ioObject = nullptr;
        std::u16string source;
        std::u16string objectName;
    };

    EventLogEntry Decode(const Packet& packet) const;

    Kernel& m_kernel;
    mutable std::mutex m_mutex;
    std::unordered_map<const void*, Packet> m_packets;
    std::vector<EventLogEntry> m_entries;
    size_t m_failAllocations = 0;
};

}  // namespace emu
