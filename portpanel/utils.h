// CUtils: the lists of choices the pages show in their combo boxes, filtered by the capability
// masks the driver reports, and the filling and reading of a combo box.
#pragma once

#include <atlctrls.h>
#include <atlstr.h>

#include <vector>

struct CListEntry {
    CString strText;
    DWORD dwValue;
};
typedef std::vector<CListEntry> CValueList;
typedef std::vector<CString> CStringList;

class CUtils {
public:
    virtual ~CUtils() {}

    void BuildBaudRateList(DWORD dwSupportedBaudRates, DWORD dwMaxBaudRate, CValueList& List);
    void BuildDataBitsList(DWORD dwSupportedDataBits, CValueList& List);
    void BuildParityList(UINT nStringId, DWORD dwSupportedParities, CValueList& List);
    void BuildStopBitsList(UINT nStringId, DWORD dwSupportedStopBits, CValueList& List);
    void BuildFlowControlList(UINT nStringId, DWORD dwSupportedFlowControls, CValueList& List);
    void BuildDuplexModeList(UINT nStringId, DWORD dwSupportedDuplexModes, CValueList& List);
    void BuildTransferSizeList(CValueList& List);
    void BuildLatencyTimerList(CValueList& List);

    void FillComboBox(CComboBox& Box, const CValueList& List, DWORD dwCurrent, BOOL bMaskMatch);
    void FillComboBoxStrings(CComboBox& Box, const CStringList& List, const CString& strCurrent);
    DWORD GetSelectedItemData(CComboBox& Box);

private:
    // A string-table entry split at its commas; the text at position i is added with the i-th
    // value when the i-th mask bit is in dwSupported (a mask of 0 is always added).
    void BuildFromString(UINT nStringId, DWORD dwSupported, const DWORD* pdwMasks, const DWORD* pdwValues,
                         size_t nCount, CValueList& List);
};
