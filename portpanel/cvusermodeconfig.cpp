// The settings client.
#include "cvusermodeconfig.h"

#include <cstring>
#include <vector>

#include "../diskimage/inc/cvtools/tfusermodeinterfacecodes.h"
#include "setupdireport.h"

namespace {

const WCHAR REFERENCE_PREFIX[] = u"cvgendrv_";

// The request header: the forwarding count, then the set index (always "the device's own").
void PutHeader(BYTE* pbHeader, DWORD dwForwardCount)
{
    const ULONG Words[2] = {dwForwardCount, TF_USERMODE_DEFAULT_SET_INDEX};
    for (int i = 0; i < 8; ++i) pbHeader[i] = static_cast<BYTE>(Words[i / 4] >> (8 * (i % 4)));
}

}  // namespace

CCvSetupDi_DeviceInterface::CCvSetupDi_DeviceInterface(ULONG ulWord0, ULONG ulWord1, ULONG ulWord2, ULONG ulWord3)
    : m_hDevInfo(INVALID_HANDLE_VALUE)
{
    const ULONG Words[4] = {ulWord0, ulWord1, ulWord2, ulWord3};
    static_assert(sizeof(Words) == sizeof(GUID), "four words make a GUID");
    std::memcpy(&m_InterfaceClass, Words, sizeof(GUID));
}

CCvSetupDi_DeviceInterface::~CCvSetupDi_DeviceInterface()
{
    if (m_hDevInfo != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(m_hDevInfo);
}

CCvUserModeConfig::CCvUserModeConfig(HDEVINFO hDevInfo, SP_DEVINFO_DATA DevInfoData)
    : CCvSetupDi_DeviceInterface(TF_PORT_INTERFACE_GUID_WORDS), m_RegInfo(hDevInfo, DevInfoData)
{
}

CCvUserModeConfig::~CCvUserModeConfig() {}

BOOL CCvUserModeConfig::Open()
{
    CString strDriverKey;
    if (!m_RegInfo.GetDriverKey(strDriverKey)) return FALSE;
    strDriverKey.Remove(u'\\');
    const CString strReference = CString(REFERENCE_PREFIX) + strDriverKey;
    if (m_hDevInfo != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(m_hDevInfo);
    m_hDevInfo = SetupDiGetClassDevsW(&m_InterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (m_hDevInfo == INVALID_HANDLE_VALUE) {
        ReportClassDevsFailure();
        return FALSE;
    }
    return FindInterface(strReference);
}

BOOL CCvUserModeConfig::FindInterface(const CString& strReference)
{
    CString strWanted(strReference);
    strWanted.MakeLower();
    SP_DEVICE_INTERFACE_DATA Interface = {};
    Interface.cbSize = sizeof(Interface);
    for (DWORD dwIndex = 0; SetupDiEnumDeviceInterfaces(m_hDevInfo, nullptr, &m_InterfaceClass, dwIndex, &Interface); ++dwIndex) {
        DWORD dwRequired = 0;
        if (SetupDiGetDeviceInterfaceDetailW(m_hDevInfo, &Interface, nullptr, 0, &dwRequired, nullptr) ||
            GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return FALSE;
        std::vector<ULONG_PTR> Buffer(dwRequired / sizeof(ULONG_PTR) + 1);
        auto* pDetail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(Buffer.data());
        pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(m_hDevInfo, &Interface, pDetail, dwRequired, nullptr, nullptr)) return FALSE;
        const CString strPath(pDetail->DevicePath);
        CString strLast = strPath.Mid(strPath.ReverseFind(u'\\') + 1);
        if (strLast.MakeLower() == strWanted) {
            m_strDevicePath = strPath;
            return TRUE;
        }
    }
    return FALSE;
}

BOOL CCvUserModeConfig::Request(DWORD dwCode, const void* pvIn, DWORD dwInLength, void* pvOut, DWORD dwOutLength,
                                DWORD* pdwReturned)
{
    if (m_strDevicePath.IsEmpty()) return FALSE;
    HANDLE hDevice = CreateFileW(m_strDevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (hDevice == INVALID_HANDLE_VALUE) return FALSE;
    DWORD dwReturned = 0;
    const BOOL bResult = DeviceIoControl(hDevice, dwCode, const_cast<void*>(pvIn), dwInLength, pvOut, dwOutLength,
                                         &dwReturned, nullptr);
    CloseHandle(hDevice);
    if (pdwReturned) *pdwReturned = dwReturned;
    return bResult;
}

BOOL CCvUserModeConfig::ReadSet(CvUser::CTfInformationSet& Set, DWORD dwForwardCount, DWORD dwSizeCode, DWORD dwDataCode)
{
    BYTE Header[TF_USERMODE_REQUEST_HEADER_SIZE];
    PutHeader(Header, dwForwardCount);
    BYTE SizeBytes[4] = {};
    if (!Request(dwSizeCode, Header, sizeof(Header), SizeBytes, sizeof(SizeBytes), nullptr)) return FALSE;
    const DWORD dwSize = SizeBytes[0] | (SizeBytes[1] << 8) | (SizeBytes[2] << 16) | (static_cast<DWORD>(SizeBytes[3]) << 24);
    std::vector<BYTE> Data(dwSize);
    DWORD dwReturned = 0;
    if (!Request(dwDataCode, Header, sizeof(Header), Data.data(), dwSize, &dwReturned)) return FALSE;
    return Set.Deserialise(Data.data(), dwReturned);
}

BOOL CCvUserModeConfig::GetInformationSet(CvUser::CTfInformationSet& Set, DWORD dwForwardCount)
{
    return ReadSet(Set, dwForwardCount, IOCTL_TF_USERMODE_GET_SIZE, IOCTL_TF_USERMODE_GET_SET);
}

BOOL CCvUserModeConfig::GetStoredInformationSet(CvUser::CTfInformationSet& Set, DWORD dwForwardCount)
{
    return ReadSet(Set, dwForwardCount, IOCTL_TF_USERMODE_GET_DEFAULTS_SIZE, IOCTL_TF_USERMODE_GET_DEFAULTS);
}

BOOL CCvUserModeConfig::SetInformationSet(CvUser::CTfInformationSet& Set, DWORD dwForwardCount)
{
    const ULONG ulSize = Set.GetSerialisedSize();
    std::vector<BYTE> Input(ulSize + TF_USERMODE_REQUEST_HEADER_SIZE);
    PutHeader(Input.data(), dwForwardCount);
    if (!Set.Serialise(Input.data() + TF_USERMODE_REQUEST_HEADER_SIZE, ulSize)) return FALSE;
    return Request(IOCTL_TF_USERMODE_SET_SET, Input.data(), static_cast<DWORD>(Input.size()), nullptr, 0, nullptr);
}

BOOL CCvUserModeConfig::SendCommand(DWORD dwForwardCount)
{
    BYTE Header[TF_USERMODE_REQUEST_HEADER_SIZE];
    PutHeader(Header, dwForwardCount);
    return Request(IOCTL_TF_USERMODE_RESET_TO_DEFAULTS, Header, sizeof(Header), nullptr, 0, nullptr);
}
