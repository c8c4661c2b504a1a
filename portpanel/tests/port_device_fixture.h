// A machine with one plugged device for the user-mode helpers' tests: its element in an
// information set of all present devices, its hardware key and DOS name.
#pragma once

#include <gtest/gtest.h>

#include <setupapi.h>

#include <string>

#include "cm/registry.h"
#include "machine_test.h"
#include "test_driver.h"

namespace emu::testing {

inline constexpr std::u16string_view kPortInstance = u"ROOT\\CVTESTPORT\\0000";

class PortDeviceTest : public MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    Registry& Reg() { return machine().GetRegistry(); }
    std::u16string HardwareKey() const;
    std::u16string EnumKey() const;

    TestDriver m_driver{u"PortTestBus"};
    PDEVICE_OBJECT m_pdo = nullptr;
    HDEVINFO m_set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA m_element{};
};

}  // namespace emu::testing
