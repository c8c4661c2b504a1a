// Enumdrv39.sys on the machine's USB host: a simulated chip plugged into the root hub gets the bus
// driver (only the maker's, never a product ID beginning with F), which creates its port child (the
// framework's test function driver runs on it, as the COM port driver will) and serves the port's
// ISerial record, its parameter set (also forwarded from the port's configuration interface) and
// its WMI blocks; unplugging takes everything down and leaves nothing allocated.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "adapter_fixture.h"
#include "cm/registry.h"
#include "cviserial.h"
#include "enumdrvwmi.h"
#include "ex/pool.h"
#include "io/driver_loader.h"
#include "machine_test.h"
#include "pnp/interface_manager.h"
#include "pnp/pnp_manager.h"
#include "tfusermodeinterfacecodes.h"
#include "usbfunction_fixture.h"
#include "ftdi_chip_device.h"
#include "usb_host.h"
#include "wmi_requests.h"

namespace enumdrvtest {
namespace {

const GUID kBusInterfaceGuid = {0x862AB446, 0x2AA7, 0x4B60, {0x89, 0x45, 0xF5, 0x79, 0xC0, 0x9F, 0x36, 0xCB}};
const GUID kPortInterfaceGuid = {0x429D4669, 0xCDFF, 0x4B62, {0xB0, 0xDC, 0xBD, 0xCE, 0xA7, 0x6A, 0xBD, 0x31}};

class EnumdrvImageTest : public AdapterTest {
protected:
    // A configuration request as the property pages send it, on a handle of its own.
    Bytes Ask(const std::u16string& path, ULONG code, ULONG count, const Bytes& payload, size_t outputLength,
              bool* ok = nullptr)
    {
        HANDLE handle = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE);
        Bytes input;
        PutNumber(input, count);
        PutNumber(input, TF_USERMODE_DEFAULT_SET_INDEX);
        input.insert(input.end(), payload.begin(), payload.end());
        Bytes output(outputLength, 0xEE);
        DWORD returned = 0;
        BOOL done = DeviceIoControl(handle, code, input.data(), static_cast<DWORD>(input.size()),
                                    output.empty() ? nullptr : output.data(), static_cast<DWORD>(output.size()),
                                    &returned, nullptr);
        if (ok) *ok = done != FALSE;
        EXPECT_TRUE(CloseHandle(handle));
        output.resize(returned);
        return output;
    }
    Bytes ReadSet(const std::u16string& path, ULONG count)
    {
        Bytes size = Ask(path, IOCTL_TF_USERMODE_GET_SIZE, count, {}, 4);
        return Ask(path, IOCTL_TF_USERMODE_GET_SET, count, {}, NumberAt(size));
    }
    std::u16string InterfacePath(const GUID& classGuid, PDEVICE_OBJECT pdo)
    {
        for (const auto& entry : machine().GetInterfaces().Interfaces(classGuid, true))
            if (entry.pdo == pdo) return entry.devicePath;
        return {};
    }

    Bytes QueryBlock(const GUID& guid)
    {
        emu::testing::WmiTarget target;
        target.device = BusFdo();
        target.bufferSize = 8192;
        emu::testing::WmiResult result = emu::testing::WmiRequests::QuerySingleInstance(target, guid, 0);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        return result.instances.empty() ? Bytes() : result.instances[0];
    }

};

// The bus set on the wire (flags 3): the numbers, and InterfaceType as length, text and zero.
Bytes BusSetBytes(ULONG policyType)
{
    Bytes bytes;
    for (ULONG value : {4096u, 4096u, 16u, 256u, 128u, 1000000u}) PutNumber(bytes, value);
    PutNumber(bytes, 3);
    bytes.insert(bytes.end(), {'U', 'S', 'B', 0});
    for (ULONG value : {policyType, 1040u, 6111u, 0u, 192u, 0u, 13u}) PutNumber(bytes, value);
    return bytes;
}

TEST_F(EnumdrvImageTest, ThePluggedAdapterGetsTheBusDriverAndItsPortServesISerial)
{
    Plug();
    auto bus = BusNode();
    ASSERT_TRUE(bus.has_value());
    EXPECT_EQ(bus->state, emu::DeviceNodeState::Started);
    EXPECT_EQ(bus->service, kService);
    auto port = Pnp().FindNode(kPortInstancePath);
    ASSERT_TRUE(port.has_value());
    EXPECT_EQ(port->state, emu::DeviceNodeState::Started);
    EXPECT_FALSE(InterfacePath(kBusInterfaceGuid, bus->pdo).empty());

    // The port driver's create request travels up the port's stack to the bus device.
    ISerial* pISerial = CreateISerial(1);
    ASSERT_NE(pISerial, nullptr);
    EXPECT_NE(pISerial->m_pOwner, nullptr);
    EXPECT_EQ(pISerial->m_ucDuplex, 0);
    EXPECT_EQ(pISerial->m_ulSupportedBaudRates, ISERIAL_SUPPORTED_BAUD_UNKNOWN);
    EXPECT_EQ(pISerial->m_Capabilities.ucCts, 1);
    EXPECT_EQ(pISerial->m_Operations.pDuplexMode, nullptr);
    // The port object selected the chip's configuration over the bus.
    EXPECT_TRUE(m_model->Chip().Configured());

    // Wrong lengths are refused on the way in.
    Bytes input;
    PutNumber(input, ISERIAL_VERSION);
    PutNumber(input, 1);
    EXPECT_EQ(SendInternal(PortPdo(), IOCTL_CREATE_CVISERIAL, input, 4).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SendInternal(PortPdo(), IOCTL_RELEASE_CVISERIAL, input, 0).status, STATUS_INVALID_PARAMETER);

    EXPECT_EQ(ReleaseISerial(1, pISerial), STATUS_SUCCESS);
    EXPECT_EQ(ReleaseISerial(1, nullptr), STATUS_SUCCESS);  // none left: still a success
}

TEST_F(EnumdrvImageTest, TheBusSetIsAnsweredByTheBusAndForwardedFromThePort)
{
    Plug();
    std::u16string busPath = InterfacePath(kBusInterfaceGuid, BusNode()->pdo);
    std::u16string portPath = InterfacePath(kPortInterfaceGuid, PortPdo());
    ASSERT_FALSE(busPath.empty());
    ASSERT_FALSE(portPath.empty());
    // The defaults, asked of the bus device itself and through the port (forwarded once).
    EXPECT_EQ(ReadSet(busPath, TF_USERMODE_ANSWER_HERE), BusSetBytes(0));
    EXPECT_EQ(ReadSet(portPath, TF_USERMODE_FORWARD_ONCE), BusSetBytes(0));

    // A change made through the port reaches the bus device, its port objects and WMI.
    ISerial* pISerial = CreateISerial(1);
    bool ok = false;
    Ask(portPath, IOCTL_TF_USERMODE_SET_SET, TF_USERMODE_FORWARD_ONCE, BusSetBytes(1), 0, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(ReadSet(busPath, TF_USERMODE_ANSWER_HERE), BusSetBytes(1));
    Bytes parameters = QueryBlock(g_EnumdrvWmiParametersGuid);
    ASSERT_EQ(parameters.size(), sizeof(ENUMDRV_WMI_PARAMETERS));
    ENUMDRV_WMI_PARAMETERS block;
    std::memcpy(&block, parameters.data(), sizeof(block));
    EXPECT_EQ(block.ulPolicyType, 1u);
    EXPECT_EQ(block.ulRxFifoSize, 256u);
    EXPECT_EQ(block.ulMaximumLatencySliderPos, 6111u);
    EXPECT_EQ(ReleaseISerial(1, pISerial), STATUS_SUCCESS);
}

TEST_F(EnumdrvImageTest, WmiBlocksHaveTheirSizesAndTheSchemaIsTheCompiledMof)
{
    Plug();
    EXPECT_EQ(QueryBlock(g_EnumdrvWmiTimingsGuid), Bytes(sizeof(ENUMDRV_WMI_TIMINGS), 0));
    EXPECT_EQ(QueryBlock(g_EnumdrvWmiPortStateGuid), Bytes(sizeof(ENUMDRV_WMI_PORT_STATE), 0));
    Bytes mof = QueryBlock(g_EnumdrvWmiBinaryMofGuid);
    ASSERT_EQ(mof.size(), size_t(ENUMDRV_WMI_MOF_SIZE));
    EXPECT_EQ(std::memcmp(mof.data(), "FOMB", 4), 0);
    // With a port, block 2 is the port's state.
    ISerial* pISerial = CreateISerial(1);
    ENUMDRV_WMI_PORT_STATE state;
    std::memcpy(&state, QueryBlock(g_EnumdrvWmiPortStateGuid).data(), sizeof(state));
    EXPECT_EQ(state.ulTxTransferSize, 4096u);
    EXPECT_EQ(state.ulModemControl, 0x0300u);
    EXPECT_EQ(ReleaseISerial(1, pISerial), STATUS_SUCCESS);
}

TEST_F(EnumdrvImageTest, AnAdapterWhoseProductIdBeginsWithFIsRefused)
{
    Plug(kRefusedProductId);
    auto node = Pnp().FindNode(HardwareId(kRefusedProductId) + u"\\" + kSerial);
    ASSERT_TRUE(node.has_value());
    EXPECT_NE(node->state, emu::DeviceNodeState::Started);
    EXPECT_TRUE(Pnp().Children(node->pdo).empty());
}

TEST_F(EnumdrvImageTest, UnpluggingWithAPortObjectAliveLeavesNothingBehind)
{
    Plug();
    ASSERT_NE(CreateISerial(1), nullptr);
    Unplug();
    EXPECT_FALSE(BusNode().has_value() && BusNode()->state == emu::DeviceNodeState::Started);
    // The fixture checks that the image is unloaded and that none of its blocks is left.
}

}  // namespace
}  // namespace enumdrvtest
