// CTfWin9xUninstallOperation: removes the maker's older products from Windows 95, 98 and ME, whose
// devices are found by walking the registry's Enum tree.
#pragma once

#include "uninstalloperation.h"
#include "win9xuninstalldata.h"

class CTfWin9xUninstallOperation : public CTfUninstallOperation {
public:
    void SearchProducts(CProgressCtrl* pProgress) override;
    void SearchDriverFiles(CProgressCtrl* pProgress) override;
    void SearchRegistryEntries(CProgressCtrl* pProgress) override;
    bool UninstallProducts(CProgressCtrl* pProgress) override;
    bool UninstallDriverFiles(CProgressCtrl* pProgress) override;
    bool UninstallRegistryEntries(CProgressCtrl* pProgress) override;
    int IsRestartNeeded() override;

    const CTfWin9xUninstallData& Data() const { return m_Data; }

private:
    void AddKey(const CString& strKey);
    // The key named by the instance's Driver value, below the driver-key prefix.
    void AddDriverKey(const CString& strInstanceKey);
    void SearchEnumRoot(const CString& strRoot);
    void SearchMultiFunction(const CString& strRoot, const CString& strDevice);
    void SearchPci(const CString& strRoot, const CString& strDevice);
    void SearchByManufacturer(const CString& strRoot, const CString& strDevice);
    void SearchClassKeys();
    void DeleteWithCompanion(const CString& strPath, LPCWSTR pszCompanion, CTfStepProgress& step);

    CTfWin9xUninstallData m_Data;
};
