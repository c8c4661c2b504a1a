// The plain dialog of Windows 95: Uninstall runs the whole search and removal on a worker, Finish
// closes (offering a restart when the operation asks for one). One worker at a time: Uninstall is
// off while it runs, and Finish waits for it to end.
#pragma once

#include <afxcmn.h>

#include "uninstalloperation.h"
#include "wizardsupport.h"

class CTfWin95Dialog : public CDialog {
public:
    explicit CTfWin95Dialog(CWnd* pParent = nullptr);
    ~CTfWin95Dialog() override;

protected:
    BOOL OnInitDialog() override;
    void DoDataExchange(CDataExchange* pDX) override;
    void OnUninstall();
    void OnFinish();
    void OnDestroy();
    static UINT UninstallThreadProc(LPVOID pParam);
    bool Uninstall();
    void Reboot();

    CStatic m_message;
    CProgressCtrl m_stepProgress;
    CProgressCtrl m_overallProgress;
    CStatic m_status;
    CButton m_uninstallButton;
    CStatic m_label;
    CStatic m_continue;
    CTfUninstallOperation* m_pOperation = nullptr;
    CFont m_titleFont;
    CTfWorker m_worker;

    DECLARE_MESSAGE_MAP()
};
