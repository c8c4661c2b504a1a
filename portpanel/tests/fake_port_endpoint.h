// A port device with the port driver's configuration interface, answering as the framework does:
// the size and the set with count 0, a set stored before it is applied (a refused set stays
// stored), and the stored defaults. Its COM name opens unless an application holds the port.
#pragma once

#include <setupapi.h>

#include <vector>

#include "cvuvcpusermodeinterface.h"
#include "port_device_fixture.h"

namespace emu::testing {

class FakePortEndpointTest : public PortDeviceTest {
protected:
    void SetUp() override;
    void TearDown() override;

    struct Request {
        ULONG code;
        ULONG count;
    };
    std::vector<ULONG> RequestCodes() const;

    CvUser::CCvUVcpUserModeInterface m_stored;
    CvUser::CCvUVcpUserModeInterface m_defaults;
    std::vector<DWORD> m_refusedRates;
    std::vector<Request> m_requests;
    bool m_held = false;
    bool m_interfaceAnswers = true;

private:
    NTSTATUS Control(PIRP irp);
    UNICODE_STRING m_link{};
};

}  // namespace emu::testing
