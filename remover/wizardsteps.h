// The operation's steps as the wizard and the Windows 95 dialog run them on their workers: each step
// announced in the status text, reported on the step bar by the operation and counted on the
// overall bar.
#pragma once

#include <afxcmn.h>

#include "uninstalloperation.h"

struct CTfStepControls {
    CWnd& status;
    CProgressCtrl& step;
    CProgressCtrl& overall;
    // The file steps run with WOW64's file-system redirection off (the wizard; not on Windows 95).
    bool redirectionOff;
};

// The three searches.
void RunSearches(CTfUninstallOperation& operation, const CTfStepControls& controls);
// The three removals, until one fails; true when all succeeded ("completed" is shown then).
bool RunRemovals(CTfUninstallOperation& operation, const CTfStepControls& controls);
