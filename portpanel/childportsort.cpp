// The ascending order of one adapter's COM numbers: the adapter's ports, found by walking its
// children (and, below a function that is not a port, two levels further), are given the same
// numbers sorted in walk order. A port that is in the way of another is moved to a temporary
// number first. Every rename is checked: when one fails the sort stops where it is, the port
// being swapped goes back to its own name, and no marker is written, so a later port installation
// tries again. The database is never held across a rename.
#include <cfgmgr32.h>

#include <algorithm>
#include <vector>

#include "adaptermodels.h"
#include "comname.h"
#include "comnumberassignment.h"
#include "comportutil.h"
#include "deviceinfolist.h"
#include "deviceparameter.h"
#include "devicenode.h"

namespace {

const DWORD FIRST_TEMPORARY_NUMBER = 3;
const DWORD LAST_TEMPORARY_NUMBER = 255;

class CChildPortSort {
public:
    CChildPortSort() { m_Target.cbSize = sizeof(m_Target); }
    BOOL IsValid() const { return m_Set.IsValid(); }
    BOOL OpenAdapter(DEVINST Port);
    BOOL Walk();
    void Finish(BOOL bRenamed);
    BOOL Reorder();
    BOOL IsOrdered() const;

private:
    BOOL WalkFirstLevel(DEVINST Child);
    BOOL WalkSecondLevel(DEVINST Function);
    BOOL WalkThirdLevel(DEVINST Function);
    BOOL Record(const SP_DEVINFO_DATA& Element);
    BOOL Rename(size_t nPort, const CString& strName);
    CString CurrentName(size_t nPort);
    BOOL MoveInto(size_t nPort, const CString& strWanted);

    CDeviceInfoList m_Set;
    DEVINST m_Adapter = 0;
    SP_DEVINFO_DATA m_Target = {};
    std::vector<DWORD> m_Numbers;
    std::vector<SP_DEVINFO_DATA> m_Ports;
};

BOOL IsLoaded(DEVINST DevInst)
{
    ULONG ulStatus = 0, ulProblem = 0;
    return CM_Get_DevNode_Status(&ulStatus, &ulProblem, DevInst, 0) == CR_SUCCESS && (ulStatus & DN_DRIVER_LOADED);
}

BOOL IsPortsClass(HDEVINFO hDevInfo, const SP_DEVINFO_DATA& Element, BOOL bUnreadable)
{
    CString strClass;
    if (!CCVDeviceRegInfo(hDevInfo, Element).GetClass(strClass)) return bUnreadable;
    strClass.MakeUpper();
    return strClass == u"PORTS";
}

BOOL CChildPortSort::OpenAdapter(DEVINST Port)
{
    CString strId;
    if (CM_Get_Parent(&m_Adapter, Port, 0) != CR_SUCCESS || !DeviceInstanceIdOf(m_Adapter, strId)) return FALSE;
    if (IsListedAdapterModel(strId)) {
        if (CM_Get_Parent(&m_Adapter, m_Adapter, 0) != CR_SUCCESS || CM_Get_Parent(&m_Adapter, m_Adapter, 0) != CR_SUCCESS ||
            !DeviceInstanceIdOf(m_Adapter, strId))
            return FALSE;
    }
    return m_Set.Open(strId, m_Target);
}

// FALSE ends the sort with nothing changed.
BOOL CChildPortSort::Walk()
{
    DEVINST Child = 0;
    for (CONFIGRET cr = CM_Get_Child(&Child, m_Adapter, 0); cr == CR_SUCCESS; cr = CM_Get_Sibling(&Child, Child, 0)) {
        if (!WalkFirstLevel(Child)) return FALSE;
    }
    return TRUE;
}

BOOL CChildPortSort::WalkFirstLevel(DEVINST Child)
{
    CString strId;
    if (!DeviceInstanceIdOf(Child, strId)) return TRUE;
    SP_DEVINFO_DATA Element;
    if (!IsLoaded(Child) || !m_Set.Open(strId, Element)) return FALSE;
    DWORD dwSorted = 0;
    if (ReadDeviceParameterDword(m_Set, &Element, u"ChildPortNameSorted", dwSorted) && dwSorted == 1) return FALSE;
    m_Target = Element;
    if (IsPortsClass(m_Set, Element, TRUE)) return Record(Element);
    return WalkSecondLevel(Child);
}

BOOL CChildPortSort::WalkSecondLevel(DEVINST Function)
{
    DEVINST Child = 0;
    for (CONFIGRET cr = CM_Get_Child(&Child, Function, 0); cr == CR_SUCCESS; cr = CM_Get_Sibling(&Child, Child, 0)) {
        CString strId;
        if (!DeviceInstanceIdOf(Child, strId)) continue;
        SP_DEVINFO_DATA Element;
        if (!IsLoaded(Child) || !m_Set.Open(strId, Element)) return FALSE;
        if (IsPortsClass(m_Set, Element, FALSE)) {
            if (!Record(Element)) return FALSE;
        } else if (!WalkThirdLevel(Child)) {
            return FALSE;
        }
    }
    return TRUE;
}

BOOL CChildPortSort::WalkThirdLevel(DEVINST Function)
{
    DEVINST Child = 0;
    for (CONFIGRET cr = CM_Get_Child(&Child, Function, 0); cr == CR_SUCCESS; cr = CM_Get_Sibling(&Child, Child, 0)) {
        CString strId;
        if (!DeviceInstanceIdOf(Child, strId)) continue;
        if (!IsLoaded(Child)) return FALSE;
        SP_DEVINFO_DATA Element;
        if (m_Set.Open(strId, Element) && !Record(Element)) return FALSE;
    }
    return TRUE;
}

BOOL CChildPortSort::Record(const SP_DEVINFO_DATA& Element)
{
    SP_DEVINFO_DATA Copy = Element;
    CString strName;
    if (!ReadDeviceParameterString(m_Set, &Copy, u"PortName", strName)) return FALSE;
    m_Numbers.push_back(ComNumberOf(strName));
    m_Ports.push_back(Element);
    return TRUE;
}

BOOL CChildPortSort::IsOrdered() const
{
    return m_Ports.size() < 2 || std::is_sorted(m_Numbers.begin(), m_Numbers.end());
}

CString CChildPortSort::CurrentName(size_t nPort)
{
    CString strName;
    if (!ReadDeviceParameterString(m_Set, &m_Ports[nPort], u"PortName", strName)) return CString();
    return strName;
}

BOOL CChildPortSort::Rename(size_t nPort, const CString& strName)
{
    return CCOMPortUtil(m_Set, m_Ports[nPort]).ChangePortName(strName, nullptr, FALSE, FALSE) &&
           CurrentName(nPort) == strName;
}

// Port j takes the wanted name; a port k that holds it swaps with j through a temporary number.
BOOL CChildPortSort::MoveInto(size_t j, const CString& strWanted)
{
    const CString strFormer = CurrentName(j);
    if (strFormer.IsEmpty()) return FALSE;
    if (strFormer == strWanted) return TRUE;
    size_t k = 0;
    while (k < m_Ports.size() && (k == j || CurrentName(k) != strWanted)) ++k;
    if (k == m_Ports.size()) return Rename(j, strWanted);
    const DWORD dwTemporary = CCOMPortUtil(m_Set, m_Ports[k]).FindFreeComNumber(FIRST_TEMPORARY_NUMBER, LAST_TEMPORARY_NUMBER);
    if (!dwTemporary || !Rename(k, ComNameOf(dwTemporary))) return FALSE;
    if (!Rename(j, strWanted)) {
        Rename(k, strWanted);
        return FALSE;
    }
    return Rename(k, strFormer);
}

BOOL CChildPortSort::Reorder()
{
    std::vector<DWORD> sorted(m_Numbers);
    std::sort(sorted.begin(), sorted.end());
    for (size_t j = 0; j < m_Ports.size(); ++j)
        if (!MoveInto(j, ComNameOf(sorted[j]))) return FALSE;
    return TRUE;
}

void CChildPortSort::Finish(BOOL bRenamed)
{
    WriteDeviceParameterDword(m_Set, &m_Target, u"ChildPortNameSorted", 1);
    if (!bRenamed) return;
    CPortUtil Util;
    Util.DisableDevice(m_Set, &m_Target);
    Util.EnableDevice(m_Set, &m_Target);
}

}  // namespace

BOOL SortChildPortNames(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData)
{
    (void)hDevInfo;
    CChildPortSort Sort;
    if (!Sort.IsValid() || !Sort.OpenAdapter(pDevInfoData->DevInst)) return FALSE;
    if (!Sort.Walk()) return TRUE;
    const BOOL bOrdered = Sort.IsOrdered();
    if (!bOrdered && !Sort.Reorder()) return TRUE;
    Sort.Finish(!bOrdered);
    return TRUE;
}
