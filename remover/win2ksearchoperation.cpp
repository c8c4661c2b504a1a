// The searches of the Windows 2000-and-later operation: devices, registry entries, files.
#include <fileapi_disk.h>
#include <sysinfoapi.h>

#include <vector>

#include "cvserviceutil.h"
#include "operationtext.h"
#include "uninstallutil.h"
#include "win2kuninstalloperation.h"

namespace {

constexpr DWORD kHardwareIdBytes = 2048;
constexpr DWORD kStringBytes = 260 * sizeof(WCHAR);
constexpr DWORD kMatchingIdBytes = 520;

CString WindowsDirectory()
{
    WCHAR szDirectory[260] = {};
    const UINT uLength = GetSystemWindowsDirectoryW(szDirectory, 260);
    return uLength && uLength < 260 ? CString(szDirectory) : CString();
}

HKEY OpenForReading(const CString& strKey)
{
    HKEY hKey = nullptr;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, strKey, 0, KEY_READ, &hKey) == ERROR_SUCCESS ? hKey : nullptr;
}

CString Upper(CString strText)
{
    return strText.MakeUpper();
}

}  // namespace

bool CTfWin2kUninstallOperation::MatchesPattern(const CString& strUpperText) const
{
    return TfContainsAny(strUpperText, m_Data.m_HardwareIdPatterns);
}

bool CTfWin2kUninstallOperation::IsPackageService(const CString& strService) const
{
    return TfContainsNoCase(m_Data.m_ServiceNames, strService);
}

bool CTfWin2kUninstallOperation::IsPackageDevice(CCVUninstallRegInfo& regInfo)
{
    CString strHardwareId;
    if (regInfo.GetHardwareID(strHardwareId) && !TfPassesSubsysRule(Upper(strHardwareId))) return false;
    CString strClass;
    regInfo.GetClass(strClass);
    if (!strClass.IsEmpty()) return TfContainsNoCase(m_Data.m_SetupClasses, strClass);
    CString strService;
    return !regInfo.GetService(strService) || strService.CompareNoCase(u"USBCCGP") != 0;
}

void CTfWin2kUninstallOperation::FindDevices(CProgressCtrl* pProgress)
{
    CTfStepProgress& step = BeginStep(pProgress);
    CUninstallUtil util;
    if (!util.GetAllClassDevices(m_Data.m_hDevInfo, DIGCF_ALLCLASSES)) {
        m_Data.m_hDevInfo = INVALID_HANDLE_VALUE;
        step.Advance();
        return;
    }
    DWORD dwCount = 0;
    SP_DEVINFO_DATA counted{};
    counted.cbSize = sizeof counted;
    while (SetupDiEnumDeviceInfo(m_Data.m_hDevInfo, dwCount, &counted)) ++dwCount;
    step.SetRange(0, static_cast<int>(dwCount));
    for (DWORD dwIndex = 0; dwIndex < dwCount; ++dwIndex) {
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        if (SetupDiEnumDeviceInfo(m_Data.m_hDevInfo, dwIndex, &data) && !m_Data.m_Devices.Contains(data.DevInst)) {
            // One character more than the read may fill, so the text always ends.
            std::vector<WCHAR> hardwareId(kHardwareIdBytes / sizeof(WCHAR) + 1, 0);
            if (SetupDiGetDeviceRegistryPropertyW(m_Data.m_hDevInfo, &data, SPDRP_HARDWAREID, nullptr,
                                                  reinterpret_cast<PBYTE>(hardwareId.data()), kHardwareIdBytes, nullptr) &&
                MatchesPattern(Upper(CString(hardwareId.data())))) {
                auto* pRecord = new CTfDeviceRecord(m_Data.m_hDevInfo, data);
                if (IsPackageDevice(pRecord->m_RegInfo))
                    m_Data.m_Devices.AddTail(pRecord);
                else
                    delete pRecord;
            }
        }
        step.Advance();
    }
}

void CTfWin2kUninstallOperation::SearchRegistryEntries(CProgressCtrl* pProgress)
{
    CTfStepProgress& step = BeginStep(pProgress);
    step.SetRange(0, 3);
    SearchCandidateKeys();
    step.Advance();
    SearchDriverKeys();
    step.Advance();
    SearchEnumRoots();
    step.Advance();
}

void CTfWin2kUninstallOperation::SearchCandidateKeys()
{
    for (const CString& strKey : m_Data.m_CandidateKeys) {
        HKEY hKey = OpenForReading(strKey);
        if (!hKey) continue;
        RegCloseKey(hKey);
        if (TfPassesSubsysRule(Upper(strKey))) TfAddOnce(m_Data.m_RegistryKeys, Upper(strKey));
    }
    TfAddOnce(m_Data.m_RegistryKeys, Upper(u"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vexil.USB"));
}

void CTfWin2kUninstallOperation::SearchDriverKeys()
{
    for (const CString& strClassKey : m_Data.m_ClassKeys) {
        HKEY hClass = OpenForReading(strClassKey);
        if (!hClass) continue;
        for (const CString& strSubKey : TfSubKeyNames(hClass, 260)) {
            HKEY hDriver = nullptr;
            if (RegOpenKeyExW(hClass, strSubKey, 0, KEY_READ, &hDriver) != ERROR_SUCCESS) continue;
            CString strDescription, strMatchingId;
            const bool bMatches = TfReadRegString(hDriver, u"DriverDesc", strDescription, kStringBytes) &&
                                  TfReadRegString(hDriver, u"MatchingDeviceId", strMatchingId, kMatchingIdBytes) &&
                                  MatchesPattern(Upper(strMatchingId));
            RegCloseKey(hDriver);
            if (!bMatches) continue;
            CString strKey;
            strKey.Format(u"%s\\%s", static_cast<LPCWSTR>(strClassKey), static_cast<LPCWSTR>(strSubKey));
            TfAddOnce(m_Data.m_RegistryKeys, Upper(strKey));
        }
        RegCloseKey(hClass);
    }
}

void CTfWin2kUninstallOperation::SearchEnumRoots()
{
    for (const CString& strRoot : m_Data.m_EnumRoots) {
        HKEY hRoot = OpenForReading(strRoot);
        if (!hRoot) continue;
        const CTfStringTable devices = TfSubKeyNames(hRoot, 512);
        RegCloseKey(hRoot);
        for (const CString& strDevice : devices) SearchEnumDevice(strRoot, strDevice);
    }
}

void CTfWin2kUninstallOperation::SearchEnumDevice(const CString& strRoot, const CString& strDevice)
{
    CString strDeviceKey;
    strDeviceKey.Format(u"%s\\%s", static_cast<LPCWSTR>(strRoot), static_cast<LPCWSTR>(strDevice));
    HKEY hDevice = OpenForReading(strDeviceKey);
    if (!hDevice) return;
    const CTfStringTable instances = TfSubKeyNames(hDevice, 512);
    RegCloseKey(hDevice);
    for (const CString& strInstance : instances) {
        CString strInstanceKey;
        strInstanceKey.Format(u"%s\\%s", static_cast<LPCWSTR>(strDeviceKey), static_cast<LPCWSTR>(strInstance));
        HKEY hInstance = OpenForReading(strInstanceKey);
        if (!hInstance) continue;
        CString strClass, strService, strHardwareId;
        bool bMatches = TfReadRegString(hInstance, u"Class", strClass, kStringBytes) &&
                        TfContainsNoCase(m_Data.m_SetupClasses, strClass);
        if (bMatches && TfReadRegString(hInstance, u"Service", strService, kStringBytes)) bMatches = IsPackageService(strService);
        bMatches = bMatches && TfReadRegFirstString(hInstance, u"HardwareID", strHardwareId, kStringBytes) &&
                   MatchesPattern(Upper(strHardwareId));
        RegCloseKey(hInstance);
        if (!bMatches) continue;
        TfAddOnce(m_Data.m_RegistryKeys, Upper(strDeviceKey));
        ReadPortNames(Upper(strInstanceKey));
    }
}

void CTfWin2kUninstallOperation::ReadPortNames(const CString& strInstanceKey)
{
    HKEY hInstance = OpenForReading(strInstanceKey);
    if (!hInstance) return;
    HKEY hParameters = nullptr;
    const LSTATUS status = RegOpenKeyExW(hInstance, u"Device Parameters", 0, KEY_READ, &hParameters);
    RegCloseKey(hInstance);
    if (status != ERROR_SUCCESS) return;
    CString strPortName;
    const bool bRead = TfReadRegString(hParameters, u"PortName", strPortName, kStringBytes);
    RegCloseKey(hParameters);
    if (!bRead) return;
    DWORD dwNumber = 0;
    const CString strDigits = strPortName.Mid(3);
    for (int i = 0; i < strDigits.GetLength() && strDigits[i] >= u'0' && strDigits[i] <= u'9' && dwNumber < 100000; ++i)
        dwNumber = dwNumber * 10 + static_cast<DWORD>(strDigits[i] - u'0');
    // A name without a number names no COM port.
    if (dwNumber == 0) return;
    for (DWORD dwKnown : m_Data.m_ComPorts)
        if (dwKnown == dwNumber) return;
    m_Data.m_ComPorts.push_back(dwNumber);
}

bool CTfWin2kUninstallOperation::InfNamesPackage(const CString& strPath) const
{
    CString strText;
    if (!TfReadTextFile(strPath, strText)) return false;
    strText.MakeUpper();
    return TfContainsAny(strText, m_Data.m_SetupClasses) && MatchesPattern(strText);
}

void CTfWin2kUninstallOperation::AddOemInf(const CString& strPath)
{
    if (TfAddOnce(m_Data.m_OemInfNames, strPath)) ++m_Data.m_nOemInfsFound;
}

// A device bound to a driver of another package keeps its INF and its service.
void CTfWin2kUninstallOperation::SearchDeviceInfs()
{
    CUninstallUtil util;
    const bool bWindows2000 = util.IsWindows2000();
    for (CTfDeviceRecord* pRecord = m_Data.m_Devices.GetFirst(); pRecord; pRecord = m_Data.m_Devices.GetNext()) {
        CString strService;
        if (!pRecord->m_RegInfo.GetService(strService) || !IsPackageService(strService)) continue;
        TfAddOnce(m_Data.m_Services, Upper(strService));
        CString strPath;
        if (!pRecord->m_RegInfo.GetInfPath(strPath)) continue;
        const CString strUpper = Upper(strPath);
        const CString strName = TfFileNameOf(strUpper);
        if (strName == u"MF.INF" || strUpper.Find(u"MSPORT") >= 0 || strUpper.Find(u"USBCCGP") >= 0) continue;
        if (TfContainsNoCase(m_Data.m_InfFiles, strPath) || TfContainsNoCase(m_Data.m_OemInfNames, strPath)) continue;
        if (!InfNamesPackage(strPath)) continue;
        // An OEM copy leaves the driver store through SetupUninstallOEMInfW, where there is one.
        if (!bWindows2000 && strName.Left(3) == u"OEM")
            AddOemInf(strPath);
        else
            m_Data.m_InfFiles.push_back(strPath);
    }
}

void CTfWin2kUninstallOperation::SearchServiceImages()
{
    const CString strWindows = WindowsDirectory();
    for (const CString& strService : m_Data.m_Services) {
        CCVServiceUtil service;
        if (!service.OpenService(strService, SERVICE_ALL_ACCESS) || !service.QueryConfig()) continue;
        if (service.GetImagePath().IsEmpty()) continue;
        CString strPath;
        strPath.Format(u"%s\\%s", static_cast<LPCWSTR>(strWindows), static_cast<LPCWSTR>(service.GetImagePath()));
        TfAddOnce(m_Data.m_OtherFiles, strPath);
    }
}

void CTfWin2kUninstallOperation::SearchExistingFiles(CTfStepProgress& step)
{
    CUninstallUtil util;
    CString strSystem;
    util.GetSystemDir(strSystem);
    const CString strWindows = WindowsDirectory();
    struct Group {
        const CTfStringTable& names;
        LPCWSTR pszFormat;
        const CString& strDirectory;
        CTfStringTable& found;
    } groups[] = {{m_Data.m_SystemFiles, u"%s\\%s", strSystem, m_Data.m_OtherFiles},
                  {m_Data.m_DriverFiles, u"%s\\Drivers\\%s", strSystem, m_Data.m_OtherFiles},
                  {m_Data.m_HelpFiles, u"%s\\Help\\%s", strWindows, m_Data.m_FurtherFiles},
                  {m_Data.m_HelpFiles, u"%s\\%s", strSystem, m_Data.m_FurtherFiles}};
    for (Group& group : groups) {
        for (const CString& strName : group.names) {
            CString strPath;
            strPath.Format(group.pszFormat, static_cast<LPCWSTR>(group.strDirectory), static_cast<LPCWSTR>(strName));
            if (TfFileExists(strPath)) TfAddOnce(group.found, strPath);
        }
        step.Advance();
    }
}

void CTfWin2kUninstallOperation::SearchOemInfs()
{
    CUninstallUtil util;
    const CString strWindows = WindowsDirectory();
    if (util.IsWindows2000()) {
        for (const CString& strName : m_Data.m_InfNames) {
            CString strPath;
            strPath.Format(u"%s\\inf\\%s", static_cast<LPCWSTR>(strWindows), static_cast<LPCWSTR>(strName));
            if (TfFileExists(strPath)) TfAddOnce(m_Data.m_InfFiles, strPath);
        }
        return;
    }
    CString strPattern;
    strPattern.Format(u"%s\\Inf\\oem*.inf", static_cast<LPCWSTR>(strWindows));
    WIN32_FIND_DATAW data{};
    HANDLE hFind = FindFirstFileW(strPattern, &data);
    if (hFind == INVALID_HANDLE_VALUE) return;
    CTfStringTable paths;
    do {
        CString strPath;
        strPath.Format(u"%s\\Inf\\%s", static_cast<LPCWSTR>(strWindows), data.cFileName);
        paths.push_back(strPath);
    } while (FindNextFileW(hFind, &data));
    FindClose(hFind);
    for (const CString& strPath : paths)
        if (InfNamesPackage(strPath)) AddOemInf(strPath);
}

void CTfWin2kUninstallOperation::SearchDriverFiles(CProgressCtrl* pProgress)
{
    CTfStepProgress& step = BeginStep(pProgress);
    step.SetRange(0, 9);
    SearchDeviceInfs();
    step.Advance();
    for (const CString& strName : m_Data.m_ServiceNames) TfAddOnce(m_Data.m_Services, Upper(strName));
    step.Advance();
    SearchServiceImages();
    step.Advance();
    SearchExistingFiles(step);
    SearchOemInfs();
    step.Advance();
    step.Advance();
}
