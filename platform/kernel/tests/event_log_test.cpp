// The event log: error-log packets allocated, filled and written by a driver become readable
// entries; malformed or misused packets never make the log read outside them.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "io/event_log.h"
#include "machine_test.h"
#include "test_driver.h"

namespace emu::testing {
namespace {

constexpr size_t kHeader = offsetof(IO_ERROR_LOG_PACKET, DumpData);

class EventLogTest : public MachineTest {
protected:
    EventLog& Log() { return machine().GetEventLog(); }

    // A packet with dump data and strings laid out as drivers do: the strings after the dump.
    PIO_ERROR_LOG_PACKET Fill(PVOID ioObject, const std::vector<ULONG>& dump,
                              const std::vector<std::u16string>& strings)
    {
        size_t size = kHeader + dump.size() * sizeof(ULONG);
        const size_t stringOffset = size;
        for (const auto& s : strings) size += (s.size() + 1) * sizeof(WCHAR);
        auto packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(ioObject, static_cast<UCHAR>(size)));
        if (!packet) return nullptr;
        packet->ErrorCode = static_cast<NTSTATUS>(0xE0070801);
        packet->UniqueErrorValue = 42;
        packet->FinalStatus = STATUS_DEVICE_REMOVED;
        packet->MajorFunctionCode = IRP_MJ_WRITE;
        packet->SequenceNumber = 9;
        packet->DumpDataSize = static_cast<USHORT>(dump.size() * sizeof(ULONG));
        if (!dump.empty()) std::memcpy(packet->DumpData, dump.data(), dump.size() * sizeof(ULONG));
        packet->NumberOfStrings = static_cast<USHORT>(strings.size());
        packet->StringOffset = static_cast<USHORT>(stringOffset);
        auto bytes = reinterpret_cast<std::byte*>(packet) + stringOffset;
        for (const auto& s : strings) {
            std::memcpy(bytes, s.c_str(), (s.size() + 1) * sizeof(WCHAR));
            bytes += (s.size() + 1) * sizeof(WCHAR);
        }
        return packet;
    }

    TestDriver m_driver{u"cvuvcp"};
};

TEST_F(EventLogTest, WrittenPacketBecomesAReadableEntry)
{
    PDEVICE_OBJECT port = m_driver.CreateDevice(u"\\Device\\Port1");
    ASSERT_NE(port, nullptr);
    PIO_ERROR_LOG_PACKET packet = Fill(port, {0x11223344, 7}, {u"COM5", u""});
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(Log().OutstandingPackets(), 1u);
    EXPECT_EQ(Log().EntryCount(), 0u);  // nothing is logged before it is written
    IoWriteErrorLogEntry(packet);

    ASSERT_EQ(Log().EntryCount(), 1u);
    EventLogEntry entry = Log().Entries()[0];
    EXPECT_EQ(entry.source, u"cvuvcp");
    EXPECT_EQ(entry.objectName, u"\\Device\\Port1");
    EXPECT_EQ(static_cast<ULONG>(entry.errorCode), 0xE0070801u);
    EXPECT_EQ(entry.uniqueErrorValue, 42u);
    EXPECT_EQ(entry.finalStatus, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(entry.majorFunctionCode, IRP_MJ_WRITE);
    EXPECT_EQ(entry.sequenceNumber, 9u);
    EXPECT_EQ(entry.strings, (std::vector<std::u16string>{u"COM5", u""}));
    EXPECT_EQ(entry.dumpData, (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11, 7, 0, 0, 0}));
    EXPECT_FALSE(entry.truncated);
    EXPECT_EQ(Log().OutstandingPackets(), 0u);

    // A driver object names itself; an unnamed device falls back to its driver's name.
    IoWriteErrorLogEntry(Fill(m_driver.Driver(), {}, {}));
    IoWriteErrorLogEntry(Fill(m_driver.CreateDevice(), {}, {u"x"}));
    ASSERT_EQ(Log().EntryCount(), 3u);
    EXPECT_EQ(Log().Entries()[1].objectName, u"\\Driver\\cvuvcp");
    EXPECT_EQ(Log().Entries()[2].objectName, u"\\Driver\\cvuvcp");
    EXPECT_EQ(Log().Entries()[2].strings, std::vector<std::u16string>{u"x"});
    Log().Clear();
    EXPECT_EQ(Log().EntryCount(), 0u);
}

TEST_F(EventLogTest, AllocationRefusesWhatCannotHoldAPacket)
{
    PDEVICE_OBJECT port = m_driver.CreateDevice(u"\\Device\\Port1");
    EXPECT_EQ(IoAllocateErrorLogEntry(nullptr, 64), nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(port, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(port, kHeader - 1), nullptr);

    PVOID largest = IoAllocateErrorLogEntry(port, ERROR_LOG_MAXIMUM_SIZE);
    ASSERT_NE(largest, nullptr);
    std::vector<std::byte> zeros(ERROR_LOG_MAXIMUM_SIZE);
    EXPECT_EQ(std::memcmp(largest, zeros.data(), zeros.size()), 0);  // handed out zeroed
    IoFreeErrorLogEntry(largest);

    Log().FailNextAllocate();
    EXPECT_EQ(IoAllocateErrorLogEntry(port, kHeader), nullptr);
    PVOID packet = IoAllocateErrorLogEntry(port, kHeader);
    EXPECT_NE(packet, nullptr);
    IoFreeErrorLogEntry(packet);
    EXPECT_EQ(Log().OutstandingPackets(), 0u);
    EXPECT_EQ(Log().EntryCount(), 0u);  // freed packets are never logged
}

TEST_F(EventLogTest, PacketCountsReachingPastThePacketAreCutAtItsEnd)
{
    PDEVICE_OBJECT port = m_driver.CreateDevice(u"\\Device\\Port1");
    // Two strings claimed, the second without its terminator at the very end of the packet.
    const UCHAR size = static_cast<UCHAR>(kHeader + 4 * sizeof(WCHAR));
    auto packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(port, size));
    ASSERT_NE(packet, nullptr);
    const WCHAR text[4] = {u'a', 0, u'b', u'c'};
    std::memcpy(reinterpret_cast<std::byte*>(packet) + kHeader, text, sizeof(text));
    packet->StringOffset = static_cast<USHORT>(kHeader);
    packet->NumberOfStrings = 2;
    packet->DumpDataSize = 200;
    IoWriteErrorLogEntry(packet);

    // Strings beyond the packet, and a string offset past its end.
    auto second = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(port, kHeader));
    ASSERT_NE(second, nullptr);
    second->StringOffset = 0xFFF0;
    second->NumberOfStrings = 3;
    IoWriteErrorLogEntry(second);

    ASSERT_EQ(Log().EntryCount(), 2u);
    EventLogEntry entry = Log().Entries()[0];
    EXPECT_TRUE(entry.truncated);
    EXPECT_EQ(entry.strings, (std::vector<std::u16string>{u"a", u"bc"}));
    EXPECT_EQ(entry.dumpData.size(), 4 * sizeof(WCHAR));
    EXPECT_TRUE(Log().Entries()[1].truncated);
    EXPECT_TRUE(Log().Entries()[1].strings.empty());
}

TEST_F(EventLogTest, MisusedPacketsAreReportedAndDispatchLevelIsAllowed)
{
    PDEVICE_OBJECT port = m_driver.CreateDevice(u"\\Device\\Port1");
    {
        ScopedIrql dispatch(DISPATCH_LEVEL);  // error paths log from DPCs
        PVOID packet = IoAllocateErrorLogEntry(port, kHeader);
        ASSERT_NE(packet, nullptr);
        IoWriteErrorLogEntry(packet);
        IoWriteErrorLogEntry(packet);  // written twice: the first write freed it
    }
    EXPECT_EQ(Take(Violation::Bugcheck), 1u);
    EXPECT_EQ(Log().EntryCount(), 1u);

    ULONG notAPacket[16] = {};
    IoFreeErrorLogEntry(notAPacket);
    EXPECT_EQ(Take(Violation::Bugcheck), 1u);
    ULONG notAnObject = 0x55;  // neither a device nor a driver object
    EXPECT_EQ(IoAllocateErrorLogEntry(&notAnObject, kHeader), nullptr);
    EXPECT_EQ(Take(Violation::Bugcheck), 1u);
}

TEST_F(EventLogTest, PacketsLeftOutstandingGoWithTheMachine)
{
    PDEVICE_OBJECT port = m_driver.CreateDevice(u"\\Device\\Port1");
    ASSERT_NE(IoAllocateErrorLogEntry(port, 64), nullptr);
    ShutDownMachine();
}

}  // namespace
}  // namespace emu::testing
