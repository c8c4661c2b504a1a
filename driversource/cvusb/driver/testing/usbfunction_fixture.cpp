#include "usbfunction_fixture.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace cvusbtest {

namespace {
constexpr char16_t kInstancePath[] = u"USB\\VID_0403&PID_6001\\CV000001";
}

void UsbFunctionTest::SetUp()
{
    MachineTest::SetUp();
    machine().GetClock().SetScale(0);
    ASSERT_TRUE(TfLibraryAddReference());
    m_baseline = LiveTracked();
    m_pdo.SetBehaviour(IRP_MJ_INTERNAL_DEVICE_CONTROL,
                       emu::testing::FakeLowerDevice::Behaviour::Custom(
                           [this](PDEVICE_OBJECT device, PIRP irp) { return m_usb.Dispatch(device, irp); }));
    // No function driver is bound: the node only gets its keys and properties.
    machine().GetPnp().AddRootDevice(kInstancePath, {u"USB\\VID_0403&PID_6001&REV_0600", u"USB\\VID_0403&PID_6001"},
                                     Pdo());
}

void UsbFunctionTest::TearDown()
{
    delete m_pDevice;
    m_pDevice = nullptr;
    EXPECT_EQ(m_usb.PendingCount(), 0u) << "requests left pending";
    EXPECT_EQ(m_baseline, LiveTracked());
    TfLibraryRelease();
    MachineTest::TearDown();
}

std::u16string UsbFunctionTest::HardwareKey() const
{
    return std::u16string(emu::kEnumKeyPath) + u"\\" + kInstancePath + u"\\Device Parameters";
}

void WriteUsbDescription(emu::Registry& reg, const std::u16string& hardwareKey,
                         const std::vector<EndpointSpec>& endpoints)
{
    std::u16string usb = hardwareKey + u"\\USB";
    ASSERT_TRUE(reg.CreateKey(usb));
    reg.SetDword(usb, u"DeviceClass", 0);
    reg.SetDword(usb, u"DeviceSubClass", 0);
    reg.SetDword(usb, u"DeviceProtocol", 0);
    reg.SetDword(usb, u"SelectedConfiguration", 0);
    for (const EndpointSpec& e : endpoints) {
        std::string n = std::to_string(e.number);
        std::u16string key = usb + u"\\EndPoint" + std::u16string(n.begin(), n.end());
        ASSERT_TRUE(reg.CreateKey(key));
        reg.SetDword(key, u"EndPointHandle", e.handle);
        reg.SetDword(key, u"InterfaceNumber", e.interfaceNumber);
        reg.SetDword(key, u"AlternateSetting", e.alternateSetting);
        reg.SetDword(key, u"EndPointAddress", e.address);
        reg.SetDword(key, u"EndPointType", e.type);
        reg.SetDword(key, u"CallbackNeeded", e.callbackNeeded);
    }
}

void UsbFunctionTest::WriteRegistry(const std::vector<EndpointSpec>& endpoints)
{
    WriteUsbDescription(machine().GetRegistry(), HardwareKey(), endpoints);
}

CUsbDevice* UsbFunctionTest::NewDevice(bool initialise)
{
    delete m_pDevice;
    m_pDevice = new (NonPagedPool) CUsbDevice();
    EXPECT_NE(m_pDevice, nullptr);
    if (m_pDevice != nullptr && initialise) {
        EXPECT_TRUE(m_pDevice->m_Init(Pdo()));
    }
    return m_pDevice;
}

CTfBuffer* UsbFunctionTest::NewBuffer(ULONG length, UCHAR fill)
{
    CTfBuffer* pBuffer = new (NonPagedPool) CTfBuffer();
    EXPECT_TRUE(pBuffer->m_Allocate(length));
    std::memset(pBuffer->m_GetData(), fill, length);
    return pBuffer;
}

void CallWithinBound(const std::function<void()>& call, const std::function<void()>& meanwhile, const char* what)
{
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        call();
        returned = true;
    });
    meanwhile();
    auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!returned && std::chrono::steady_clock::now() < bound) std::this_thread::yield();
    if (!returned) {
        ADD_FAILURE() << what << " never returned";
        std::fflush(nullptr);
        std::_Exit(1);
    }
    worker.join();
}

int RunAdvancingClock(emu::Machine& machine, const std::function<void()>& call, LONGLONG step)
{
    std::atomic<bool> done{false};
    std::thread worker([&] {
        call();
        done = true;
    });
    int jumps = 0;
    emu::Dispatcher& dispatcher = machine.GetDispatcher();
    while (!done) {
        if (dispatcher.AwaitTimedWaiters(1, std::chrono::milliseconds(20))) {
            machine.GetClock().Advance(step);
            ++jumps;
        }
    }
    worker.join();
    return jumps;
}

}  // namespace cvusbtest
