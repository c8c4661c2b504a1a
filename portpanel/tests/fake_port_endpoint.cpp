#include "fake_port_endpoint.h"

#include <cstring>

#include "../diskimage/inc/cvtools/tfusermodeinterfacecodes.h"

namespace emu::testing {

namespace {

// {429D4669-CDFF-4B62-B0DC-BDCEA76ABD31}
const GUID kPortInterface = {0x429D4669, 0xCDFF, 0x4B62, {0xB0, 0xDC, 0xBD, 0xCE, 0xA7, 0x6A, 0xBD, 0x31}};

}  // namespace

void FakePortEndpointTest::SetUp()
{
    PortDeviceTest::SetUp();
    Reg().SetString(EnumKey(), u"Driver", u"{4D36E978-E325-11CE-BFC1-08002BE10318}\\0007");
    Reg().SetString(HardwareKey(), u"PortName", u"COM7");
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"COM7", u"\\Device\\CvTestPort0"));
    m_driver.SetDispatch(IRP_MJ_CREATE, [this](PDEVICE_OBJECT, PIRP irp) {
        const bool configuration = IoGetCurrentIrpStackLocation(irp)->FileObject->FileName.Length != 0;
        return TestDriver::Complete(irp, configuration || !m_held ? STATUS_SUCCESS : STATUS_ACCESS_DENIED);
    });
    for (UCHAR major : {IRP_MJ_CLOSE, IRP_MJ_CLEANUP})
        m_driver.SetDispatch(major, [](PDEVICE_OBJECT, PIRP irp) { return TestDriver::Complete(irp, STATUS_SUCCESS); });
    m_driver.SetDispatch(IRP_MJ_DEVICE_CONTROL, [this](PDEVICE_OBJECT, PIRP irp) { return Control(irp); });
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, u"CVGENDRV_{4D36E978-E325-11CE-BFC1-08002BE10318}0007");
    ASSERT_EQ(IoRegisterDeviceInterface(m_pdo, &kPortInterface, &reference, &m_link), STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&m_link, TRUE), STATUS_SUCCESS);
}

void FakePortEndpointTest::TearDown()
{
    RtlFreeUnicodeString(&m_link);
    PortDeviceTest::TearDown();
}

std::vector<ULONG> FakePortEndpointTest::RequestCodes() const
{
    std::vector<ULONG> codes;
    for (const Request& request : m_requests) codes.push_back(request.code);
    return codes;
}

NTSTATUS FakePortEndpointTest::Control(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<BYTE*>(irp->AssociatedIrp.SystemBuffer);
    if (inLength < TF_USERMODE_REQUEST_HEADER_SIZE) return TestDriver::Complete(irp, STATUS_INVALID_PARAMETER);
    ULONG count = 0;
    std::memcpy(&count, buffer, 4);
    m_requests.push_back({code, count});
    if (!m_interfaceAnswers || count != 0) return TestDriver::Complete(irp, STATUS_UNSUCCESSFUL);
    CvUser::CCvUVcpUserModeInterface& set =
        code == IOCTL_TF_USERMODE_GET_DEFAULTS || code == IOCTL_TF_USERMODE_GET_DEFAULTS_SIZE ? m_defaults : m_stored;
    const ULONG size = set.GetSerialisedSize();
    switch (code) {
    case IOCTL_TF_USERMODE_GET_SIZE:
    case IOCTL_TF_USERMODE_GET_DEFAULTS_SIZE:
        if (outLength < 4) return TestDriver::Complete(irp, STATUS_INVALID_PARAMETER);
        std::memcpy(buffer, &size, 4);
        return TestDriver::Complete(irp, STATUS_SUCCESS, 4);
    case IOCTL_TF_USERMODE_GET_SET:
    case IOCTL_TF_USERMODE_GET_DEFAULTS:
        if (outLength != size) return TestDriver::Complete(irp, STATUS_INVALID_PARAMETER);
        set.Serialise(buffer, size);
        return TestDriver::Complete(irp, STATUS_SUCCESS, size);
    case IOCTL_TF_USERMODE_SET_SET: {
        // Stored first, then applied: a refused set stays stored, as the framework does.
        if (!m_stored.Deserialise(buffer + TF_USERMODE_REQUEST_HEADER_SIZE, inLength - TF_USERMODE_REQUEST_HEADER_SIZE))
            return TestDriver::Complete(irp, STATUS_INVALID_PARAMETER);
        for (DWORD rate : m_refusedRates)
            if (m_stored.m_dwBaudrate == rate) return TestDriver::Complete(irp, STATUS_UNSUCCESSFUL);
        return TestDriver::Complete(irp, STATUS_SUCCESS);
    }
    default:
        return TestDriver::Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

}  // namespace emu::testing
