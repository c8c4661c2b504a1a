// IoGetDeviceProperty on the I/O manager's property table, with its scripted answers.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "io/io_manager.h"
#include "fake_lower_device.h"
#include "machine_test.h"

namespace emu::testing {
namespace {

class DevicePropertyTest : public MachineTest {
protected:
    IoManager& Io() { return machine().GetIo(); }
    FakeLowerDevice m_pdoDevice;
    PDEVICE_OBJECT m_pdo = m_pdoDevice.Device();
};

TEST_F(DevicePropertyTest, TooSmallBufferGetsTheRequiredSizeThenTheValueFits)
{
    Io().SetDevicePropertyString(m_pdo, DevicePropertyDriverKeyName, u"{4D36E978}\\0003");
    const ULONG required = (15 + 1) * sizeof(WCHAR);  // the terminating zero counts

    WCHAR small[2] = {u'x', u'x'};
    ULONG length = 0xFFFF;
    EXPECT_EQ(IoGetDeviceProperty(m_pdo, DevicePropertyDriverKeyName, sizeof(small), small, &length),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, required);
    EXPECT_EQ(small[0], u'x');

    std::vector<WCHAR> buffer(length / sizeof(WCHAR) + 1, u'#');
    EXPECT_EQ(IoGetDeviceProperty(m_pdo, DevicePropertyDriverKeyName, length, buffer.data(), &length),
              STATUS_SUCCESS);
    EXPECT_EQ(length, required);
    EXPECT_EQ(std::u16string(buffer.data()), u"{4D36E978}\\0003");
    EXPECT_EQ(buffer.back(), u'#');  // not a byte beyond what was reported
    EXPECT_EQ(Io().PropertyCallCount(m_pdo, DevicePropertyDriverKeyName), 2u);
}

TEST_F(DevicePropertyTest, MissingPropertyIsAnInvalidRequest)
{
    Io().SetDevicePropertyString(m_pdo, DevicePropertyHardwareID, u"USB\\VID_0403&PID_6001");
    UCHAR buffer[64];
    ULONG length = 7;
    EXPECT_EQ(IoGetDeviceProperty(m_pdo, DevicePropertyDriverKeyName, sizeof(buffer), buffer, &length),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(length, 0u);
    FakeLowerDevice other;
    EXPECT_EQ(IoGetDeviceProperty(other.Device(), DevicePropertyHardwareID, sizeof(buffer), buffer, &length),
              STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(DevicePropertyTest, ScriptedAnswersComeFirstThenTheTable)
{
    Io().SetDeviceProperty(m_pdo, DevicePropertyBusNumber, {1, 0, 0, 0});
    Io().ScriptPropertyAnswers(m_pdo, {{STATUS_BUFFER_TOO_SMALL, 4}, {STATUS_BUFFER_TOO_SMALL, 0},
                                       {STATUS_SUCCESS, 4}});
    ULONG value = 0;
    ULONG length = 0;
    EXPECT_EQ(IoGetDeviceProperty(m_pdo, DevicePropertyBusNumber, 4, &value, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(IoGetDeviceProperty(m_pdo, DevicePropertyBusNumber, 4, &value, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(IoGetDeviceProperty(m_pdo, DevicePropertyBusNumber, 4, &value, &length), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);

    Io().SetDeviceProperty(m_pdo, DevicePropertyBusNumber, {2, 0, 0, 0});
    EXPECT_EQ(IoGetDeviceProperty(m_pdo, DevicePropertyBusNumber, 4, &value, &length), STATUS_SUCCESS);
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(Io().PropertyCallCount(), 4u);
}

TEST_F(DevicePropertyTest, ScriptedSuccessCopiesNoMoreThanTheBufferHolds)
{
    Io().SetDevicePropertyString(m_pdo, DevicePropertyFriendlyName, u"USB Serial Port");
    Io().ScriptPropertyAnswers(m_pdo, {{STATUS_SUCCESS, 32}});
    WCHAR buffer[3] = {0, 0, u'#'};
    ULONG length = 0;
    EXPECT_EQ(IoGetDeviceProperty(m_pdo, DevicePropertyFriendlyName, 2 * sizeof(WCHAR), buffer, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(buffer[1], u'S');
    EXPECT_EQ(buffer[2], u'#');
}

TEST_F(DevicePropertyTest, CallAbovePassiveLevelIsReported)
{
    Io().SetDeviceProperty(m_pdo, DevicePropertyAddress, {3, 0, 0, 0});
    ULONG value = 0;
    ULONG length = 0;
    {
        ScopedIrql dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(IoGetDeviceProperty(m_pdo, DevicePropertyAddress, 4, &value, &length), STATUS_SUCCESS);
    }
    EXPECT_EQ(Take(Violation::IrqlTooHigh), 1u);
}

TEST_F(DevicePropertyTest, DeviceGoingAwayTakesItsPropertiesAlong)
{
    UCHAR buffer[8];
    ULONG length = 0;
    PDEVICE_OBJECT gone;
    {
        FakeLowerDevice pdo;
        gone = pdo.Device();
        Io().SetDeviceProperty(gone, DevicePropertyUINumber, {5, 0, 0, 0});
        Io().ScriptPropertyAnswers(gone, {{STATUS_BUFFER_TOO_SMALL, 9}});
    }
    // A new device object may sit at the same address: it must not inherit the old one's answers.
    // (The address is only a key here; nothing reads the device object.)
    EXPECT_EQ(IoGetDeviceProperty(gone, DevicePropertyUINumber, sizeof(buffer), buffer, &length),
              STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
}  // namespace emu::testing
