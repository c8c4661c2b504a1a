// The pages' twins of the port and bus sets: their items in the drivers' wire order and sizes.
#include <gtest/gtest.h>

#include <vector>

#include "cvuvcpusermodeinterface.h"
#include "enumdrvusermodeinterface.h"

namespace {

using Bytes = std::vector<BYTE>;

DWORD NumberAt(const Bytes& bytes, size_t offset)
{
    return bytes[offset] | (bytes[offset + 1] << 8) | (bytes[offset + 2] << 16) | (static_cast<DWORD>(bytes[offset + 3]) << 24);
}

Bytes Serialised(CvUser::CTfInformationSet& set)
{
    Bytes bytes(set.GetSerialisedSize());
    EXPECT_TRUE(set.Serialise(bytes.data(), static_cast<ULONG>(bytes.size())));
    return bytes;
}

TEST(UserModeSetsTest, PortSetIs33NumbersInTheDriversOrder)
{
    CvUser::CCvUVcpUserModeInterface port;
    EXPECT_EQ(port.GetItemCount(), 33u);
    port.m_dwPortType = 1;
    port.m_dwBaudrate = 115200;
    port.m_dwOverridBaudRates = 0x20;
    port.m_dwEmulateCTSTrue = 1;
    port.m_dwRiSupported = 0;
    const Bytes bytes = Serialised(port);
    ASSERT_EQ(bytes.size(), 132u);
    EXPECT_EQ(NumberAt(bytes, 0), 1u);              // PortType
    EXPECT_EQ(NumberAt(bytes, 4), 1000000u);        // MaxBaudRate
    EXPECT_EQ(NumberAt(bytes, 16), 115200u);        // Baudrate, item 5
    EXPECT_EQ(NumberAt(bytes, 52), 0x1007FFFFu);    // SupportedBaudRates, item 14
    EXPECT_EQ(NumberAt(bytes, 76), 0x20u);          // OverridBaudRates, item 20
    EXPECT_EQ(NumberAt(bytes, 96), 1u);             // EmulateCTSTrue, item 25
    EXPECT_EQ(NumberAt(bytes, 128), 0u);            // RiSupported, item 33

    CvUser::CCvUVcpUserModeInterface reader;
    ASSERT_TRUE(reader.Deserialise(bytes.data(), static_cast<ULONG>(bytes.size())));
    EXPECT_EQ(reader.m_dwBaudrate, 115200u);
    EXPECT_EQ(reader.m_dwEmulateCTSTrue, 1u);
    EXPECT_FALSE(reader.Deserialise(bytes.data(), 131));
}

TEST(UserModeSetsTest, BusSetCarriesItsInterfaceTypeAsItem7)
{
    CvUser::CEnumdrvUserModeInterface bus;
    EXPECT_EQ(bus.GetItemCount(), 14u);
    EXPECT_EQ(bus.GetSerialisedSize(), 57u);
    bus.m_strInterfaceType = u"USB";
    bus.m_dwSoftTxLimit = 7;
    const Bytes bytes = Serialised(bus);
    ASSERT_EQ(bytes.size(), 60u);
    EXPECT_EQ(NumberAt(bytes, 12), 128u);  // RxFifoSize: the user-mode default
    EXPECT_EQ(NumberAt(bytes, 24), 3u);    // InterfaceType's length
    EXPECT_EQ(bytes[28], 'U');
    EXPECT_EQ(bytes[31], 0);
    EXPECT_EQ(NumberAt(bytes, 56), 7u);    // SoftTxLimit, last
    CvUser::CEnumdrvUserModeInterface reader;
    ASSERT_TRUE(reader.Deserialise(bytes.data(), static_cast<ULONG>(bytes.size())));
    EXPECT_EQ(reader.GetInterfaceType(), u"USB");
}

}  // namespace
