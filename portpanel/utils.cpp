// The value lists and combo-box filling of the pages.
#include "utils.h"

namespace {

struct BaudRow {
    DWORD dwRate;
    DWORD dwMask;
};

const BaudRow BAUD_ROWS[] = {
    {75, 0x1},       {110, 0x2},      {134, 0x4},      {150, 0x8},          {300, 0x10},         {600, 0x20},
    {1200, 0x40},    {1800, 0x80},    {2400, 0x100},   {4800, 0x200},       {7200, 0x400},       {9600, 0x800},
    {14400, 0x1000}, {19200, 0x2000}, {38400, 0x4000}, {57600, 0x40000},    {115200, 0x20000},   {128000, 0x10000},
    {230400, 0x10000000}, {460800, 0x10000000}, {921600, 0x10000000},
};

CString Number(DWORD dwValue)
{
    CString strText;
    strText.Format(u"%u", dwValue);
    return strText;
}

}  // namespace

void CUtils::BuildBaudRateList(DWORD dwSupportedBaudRates, DWORD dwMaxBaudRate, CValueList& List)
{
    for (const BaudRow& Row : BAUD_ROWS)
        if ((dwSupportedBaudRates & Row.dwMask) && Row.dwRate <= dwMaxBaudRate) List.push_back({Number(Row.dwRate), Row.dwRate});
}

void CUtils::BuildDataBitsList(DWORD dwSupportedDataBits, CValueList& List)
{
    for (DWORD dwIndex = 0; dwIndex < 4; ++dwIndex)
        if (dwSupportedDataBits & (1u << dwIndex)) List.push_back({Number(5 + dwIndex), dwIndex});
}

void CUtils::BuildParityList(UINT nStringId, DWORD dwSupportedParities, CValueList& List)
{
    static const DWORD Masks[] = {0x400, 0x200, 0x100, 0x800, 0x1000};
    static const DWORD Values[] = {2, 1, 0, 3, 4};
    BuildFromString(nStringId, dwSupportedParities, Masks, Values, 5, List);
}

void CUtils::BuildStopBitsList(UINT nStringId, DWORD dwSupportedStopBits, CValueList& List)
{
    static const DWORD Masks[] = {0x1, 0x2, 0x4};
    static const DWORD Values[] = {0, 1, 2};
    BuildFromString(nStringId, dwSupportedStopBits, Masks, Values, 3, List);
}

void CUtils::BuildFlowControlList(UINT nStringId, DWORD dwSupportedFlowControls, CValueList& List)
{
    static const DWORD Masks[] = {0x4, 0x1, 0};
    static const DWORD Values[] = {4, 1, 0};
    BuildFromString(nStringId, dwSupportedFlowControls, Masks, Values, 3, List);
}

void CUtils::BuildDuplexModeList(UINT nStringId, DWORD dwSupportedDuplexModes, CValueList& List)
{
    static const DWORD Masks[] = {0x1, 0x2, 0x4, 0x8, 0x10};
    static const DWORD Values[] = {1, 2, 3, 4, 5};
    BuildFromString(nStringId, dwSupportedDuplexModes, Masks, Values, 5, List);
}

void CUtils::BuildTransferSizeList(CValueList& List)
{
    for (DWORD dwSize = 64; dwSize <= 4096; dwSize += 64) List.push_back({Number(dwSize), dwSize});
}

void CUtils::BuildLatencyTimerList(CValueList& List)
{
    for (DWORD dwMs = 1; dwMs <= 255; ++dwMs) List.push_back({Number(dwMs), dwMs});
}

void CUtils::BuildFromString(UINT nStringId, DWORD dwSupported, const DWORD* pdwMasks, const DWORD* pdwValues,
                             size_t nCount, CValueList& List)
{
    CString strAll;
    strAll.LoadString(nStringId);
    int nStart = 0;
    for (size_t i = 0; i < nCount && nStart <= strAll.GetLength(); ++i) {
        int nComma = strAll.Find(u',', nStart);
        if (nComma < 0) nComma = strAll.GetLength();
        const CString strText = strAll.Mid(nStart, nComma - nStart);
        nStart = nComma + 1;
        if (pdwMasks[i] == 0 || (dwSupported & pdwMasks[i])) List.push_back({strText, pdwValues[i]});
    }
}

void CUtils::FillComboBox(CComboBox& Box, const CValueList& List, DWORD dwCurrent, BOOL bMaskMatch)
{
    Box.ResetContent();
    int nSelect = CB_ERR;
    for (const CListEntry& Entry : List) {
        const int nIndex = Box.AddString(Entry.strText);
        Box.SetItemData(nIndex, Entry.dwValue);
        if (Entry.dwValue == dwCurrent || (bMaskMatch && (Entry.dwValue & dwCurrent) == dwCurrent)) nSelect = nIndex;
    }
    if (nSelect == CB_ERR) {
        nSelect = Box.AddString(Number(dwCurrent));
        Box.SetItemData(nSelect, dwCurrent);
    }
    Box.SetCurSel(nSelect);
}

void CUtils::FillComboBoxStrings(CComboBox& Box, const CStringList& List, const CString& strCurrent)
{
    Box.ResetContent();
    int nSelect = CB_ERR;
    for (const CString& strText : List) {
        const int nIndex = Box.AddString(strText);
        if (strText == strCurrent) nSelect = nIndex;
    }
    Box.SetCurSel(nSelect);
}

DWORD CUtils::GetSelectedItemData(CComboBox& Box)
{
    if (!Box.IsWindow()) return static_cast<DWORD>(-1);
    const int nIndex = Box.GetCurSel();
    if (nIndex == CB_ERR) return static_cast<DWORD>(-1);
    return static_cast<DWORD>(Box.GetItemData(nIndex));
}
