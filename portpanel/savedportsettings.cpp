// Saving and restoring a card's port settings.
//
// A restore whose saved name is the port's current name leaves the name as it is and makes sure
// the database still claims its number (releasing it first would leave a running port's number
// free for the next port). The saved record is deleted with its UI1 subkey, so it is restored
// once only.
#include "savedportsettings.h"

#include <cfgmgr32.h>

#include "comname.h"
#include "comportutil.h"
#include "devicenode.h"
#include "registryvaluecopy.h"

namespace {

const REGSAM SAVED_KEY_ACCESS = KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;  // 0x2001F

CString DeviceParametersPath(const CString& strInstanceId)
{
    return CString(u"System\\CurrentControlSet\\Enum\\") + strInstanceId + u"\\Device Parameters";
}

// A key closed when the object goes.
class CRegKey {
public:
    CRegKey() = default;
    ~CRegKey()
    {
        if (m_hKey && m_hKey != INVALID_HANDLE_VALUE) RegCloseKey(m_hKey);
    }
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;
    HKEY* operator&() { return &m_hKey; }
    operator HKEY() const { return m_hKey; }
    BOOL IsOpen() const { return m_hKey && m_hKey != INVALID_HANDLE_VALUE; }
    void Attach(HKEY hKey) { m_hKey = hKey; }

private:
    HKEY m_hKey = nullptr;
};

BOOL OpenMachineKey(const CString& strPath, REGSAM samDesired, CRegKey& Key)
{
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, strPath, 0, samDesired, &Key) == ERROR_SUCCESS;
}

BOOL CreateSubKey(HKEY hParent, LPCWSTR pszName, CRegKey& Key)
{
    return RegCreateKeyExW(hParent, pszName, 0, nullptr, 0, SAVED_KEY_ACCESS, nullptr, &Key, nullptr) == ERROR_SUCCESS;
}

// The UI1 set of `strSourcePath`, if it has one, copied to a UI1 subkey of `hTarget`.
void CopyUiSet(const CString& strSourcePath, HKEY hTarget)
{
    CRegKey Source, Target;
    if (!OpenMachineKey(strSourcePath + u"\\UI1", KEY_READ, Source)) return;
    if (CreateSubKey(hTarget, u"UI1", Target)) CopyDwordAndStringValues(Source, Target);
}

void SaveOneChild(HKEY hCard, DEVINST Child)
{
    CString strChildId;
    if (!DeviceInstanceIdOf(Child, strChildId)) return;
    CRegKey Saved, Source;
    if (!CreateSubKey(hCard, ChildKeyName(strChildId), Saved)) return;
    const CString strSourcePath = DeviceParametersPath(strChildId);
    if (!OpenMachineKey(strSourcePath, KEY_READ, Source)) return;
    ForEachRegistryValue(Source, [&Saved](LPCWSTR pszName, DWORD dwType, const BYTE* pbData, DWORD cbData) {
        if (dwType == REG_DWORD || (dwType == REG_SZ && CString(pszName) == u"PortName"))
            WriteCopiedValue(Saved, pszName, dwType, pbData, cbData);
    });
    CopyUiSet(strSourcePath, Saved);
}

typedef LSTATUS(WINAPI* REGDELETEKEYEXW)(HKEY, LPCWSTR, REGSAM, DWORD);

LSTATUS DeleteKey(HKEY hParent, LPCWSTR pszName)
{
    static REGDELETEKEYEXW pfnDeleteKeyEx = [] {
        HMODULE hAdvapi = GetModuleHandleW(u"Advapi32.dll");
        return hAdvapi ? reinterpret_cast<REGDELETEKEYEXW>(reinterpret_cast<void*>(GetProcAddress(hAdvapi, "RegDeleteKeyExW")))
                       : nullptr;
    }();
    return pfnDeleteKeyEx ? pfnDeleteKeyEx(hParent, pszName, 0, 0) : RegDeleteKeyW(hParent, pszName);
}

// The saved record and its UI1 subkey (a key with subkeys cannot be deleted).
void DeleteSavedRecord(const CString& strParentId, const CString& strChildKey)
{
    CRegKey Parent;
    if (!OpenMachineKey(DeviceParametersPath(strParentId), KEY_READ | KEY_SET_VALUE, Parent)) return;
    DeleteKey(Parent, strChildKey + u"\\UI1");
    DeleteKey(Parent, strChildKey);
}

// The port takes its saved name back, if it runs under a name now.
void RestoreSavedName(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, const CString& strSavedName)
{
    CCOMPortUtil Port(hDevInfo, *pDevInfoData);
    CString strCurrent;
    if (!Port.GetDeviceParameterString(u"PortName", strCurrent)) return;
    WCHAR szTarget[256] = {};
    if (!Port.CanOpenPort(strCurrent) && !QueryDosDeviceW(strCurrent, szTarget, 256)) return;
    if (strCurrent == strSavedName) {
        if (Port.OpenComDB()) {
            if (Port.IsPortFree(ComNumberOf(strCurrent))) Port.ClaimPort(ComNumberOf(strCurrent), FALSE);
            Port.CloseComDB();
        }
        return;
    }
    Port.ReleaseComNumber(strSavedName);
    Port.ChangePortName(strSavedName, nullptr, FALSE, FALSE);
}

}  // namespace

CString ChildKeyName(const CString& strInstanceId)
{
    const int nFirst = strInstanceId.Find(u'\\');
    const int nSecond = nFirst < 0 ? -1 : strInstanceId.Find(u'\\', nFirst + 1);
    CString strName = strInstanceId;
    if (nSecond >= 0) {
        const CString strMiddle = nSecond > nFirst + 1 ? strInstanceId.Mid(nSecond - 1, 1) : CString();
        strName = strInstanceId.Left(nFirst + 1) + strMiddle + strInstanceId.Mid(nSecond);
    }
    strName.Replace(u"\\", u"_");
    return strName;
}

void SaveChildPortSettings(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData)
{
    CRegKey Card;
    Card.Attach(SetupDiOpenDevRegKey(hDevInfo, pDevInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DEV, GENERIC_WRITE));
    if (!Card.IsOpen()) return;
    DEVINST Child = 0;
    for (CONFIGRET cr = CM_Get_Child(&Child, pDevInfoData->DevInst, 0); cr == CR_SUCCESS; cr = CM_Get_Sibling(&Child, Child, 0))
        SaveOneChild(Card, Child);
}

BOOL RestoreSavedPortSettings(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData)
{
    CRegKey Port;
    Port.Attach(SetupDiOpenDevRegKey(hDevInfo, pDevInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DEV, GENERIC_WRITE));
    if (!Port.IsOpen()) return FALSE;
    DEVINST Parent = 0;
    CString strParentId, strPortId;
    if (CM_Get_Parent(&Parent, pDevInfoData->DevInst, 0) != CR_SUCCESS || !DeviceInstanceIdOf(Parent, strParentId) ||
        !DeviceInstanceIdOf(pDevInfoData->DevInst, strPortId))
        return FALSE;
    const CString strChildKey = ChildKeyName(strPortId);
    const CString strSavedPath = DeviceParametersPath(strParentId) + u"\\" + strChildKey;
    CString strSavedName;
    {
        CRegKey Saved;
        if (!OpenMachineKey(strSavedPath, KEY_READ, Saved)) return FALSE;
        ForEachRegistryValue(Saved, [&](LPCWSTR pszName, DWORD dwType, const BYTE* pbData, DWORD cbData) {
            if (dwType == REG_DWORD && CString(pszName).Find(u"Supported") < 0)
                WriteCopiedValue(Port, pszName, dwType, pbData, cbData);
            else if (dwType == REG_SZ && CString(pszName) == u"PortName")
                strSavedName = TextOfRegistryData(pbData, cbData);
        });
    }
    if (!strSavedName.IsEmpty()) RestoreSavedName(hDevInfo, pDevInfoData, strSavedName);
    CopyUiSet(strSavedPath, Port);
    DeleteSavedRecord(strParentId, strChildKey);
    return TRUE;
}
