// A machine with a plugged bus device (the PnP test images) and two children in the Ports class,
// the first of which registers a device interface, for the user-mode device calls' tests.
#pragma once

#include <gtest/gtest.h>

#include <setupapi.h>

#include <string>
#include <vector>

#include "cm/registry.h"
#include "machine_test.h"
#include "pnp/pnp_manager.h"
#include "test_driver.h"

namespace emu::testing {

inline constexpr std::u16string_view kTestBusInstance = u"ROOT\\PNPTESTBUS\\0000";
inline constexpr std::u16string_view kTestPortsClass = u"{4D36E978-E325-11CE-BFC1-08002BE10318}";
// {429D4669-CDFF-4B62-B0DC-BDCEA76ABD31}
inline constexpr GUID kTestInterfaceClass = {0x429D4669, 0xCDFF, 0x4B62, {0xB0, 0xDC, 0xBD, 0xCE, 0xA7, 0x6A, 0xBD, 0x31}};

class SetupApiTest : public MachineTest {
protected:
    void SetUp() override;
    void TearDown() override;

    PnpManager& Pnp() { return machine().GetPnp(); }
    Registry& Reg() { return machine().GetRegistry(); }
    std::vector<DeviceNodeInfo> Children() { return Pnp().Children(m_pdo); }
    // Registers an interface on a child with a reference string and enables it.
    std::u16string RegisterInterface(PDEVICE_OBJECT pdo, const GUID& guid, std::u16string_view reference);
    // The element of a device in a set, found by instance path.
    bool FindElement(HDEVINFO set, std::u16string_view instancePath, SP_DEVINFO_DATA& data);

    TestDriver m_root{u"RootBus"};
    PDEVICE_OBJECT m_pdo = nullptr;
    std::vector<UNICODE_STRING> m_links;
};

}  // namespace emu::testing
