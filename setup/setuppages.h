// Setup's three wizard pages: the welcome page that looks for an earlier installation, the install
// page that runs the install worker behind an animation, and the finish page with the result.
// Each page keeps the thread it started and refuses Cancel (and the sheet's Close) while that
// thread runs, so no worker outlives the page it uses.
#pragma once

#include <atomic>

#include <afxcmn.h>
#include <afxdlgs.h>

class CVexilUSBInstallData;

namespace setup {

// A page with a worker thread of its own.
class CWorkerPage : public CPropertyPage {
public:
    using CPropertyPage::CPropertyPage;
    ~CWorkerPage() override;

    BOOL OnQueryCancel() override;
    BOOL IsWorkerRunning() const;

protected:
    // Starts the procedure with this page as its argument (after the previous run has ended).
    void StartWorker(AFX_THREADPROC pfnProc);

private:
    CWinThread* m_pWorker = nullptr;
};

class CTfIntroPage : public CWorkerPage {
public:
    explicit CTfIntroPage(CVexilUSBInstallData* pData);

    BOOL OnInitDialog() override;
    BOOL OnSetActive() override;
    // Stays while the detection runs: the install worker shares its data.
    LRESULT OnWizardNext() override;
    static UINT DetectThreadProc(LPVOID pParam);

    BOOL m_bDetected = FALSE;
    // Set when the detection starts, cleared by its worker once it is done with the data, before it
    // enables Next: a Next pressed from then on goes ahead though the worker has not quite ended.
    std::atomic<bool> m_bDetecting{false};

private:
    CVexilUSBInstallData* m_pData;
    CFont m_TitleFont;
};

class CVexilUSBInstallPage : public CWorkerPage {
public:
    CVexilUSBInstallPage(CVexilUSBInstallData* pData, BOOL bSilent);

    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    BOOL OnSetActive() override;
    static UINT InstallThreadProc(LPVOID pParam);
    // The worker on the calling thread (the silent run); TRUE.
    BOOL RunInstall();

    CAnimateCtrl m_Animation;
    BOOL m_bSilent;
    // The Win32 error of the last run's failed INF copy, else 0.
    DWORD m_dwCopyError = 0;

private:
    CVexilUSBInstallData* m_pData;
};

class CTfFinishPage : public CPropertyPage {
public:
    explicit CTfFinishPage(CVexilUSBInstallData* pData);

    BOOL OnInitDialog() override;
    BOOL OnSetActive() override;

private:
    CVexilUSBInstallData* m_pData;
    CFont m_TitleFont;
};

// The title font of the intro and finish pages: the message font as 8-point Verdana Bold.
void CreateTitleFont(CFont& font);

}  // namespace setup
