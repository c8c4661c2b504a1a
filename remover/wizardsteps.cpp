#include "wizardsteps.h"

#include "resource.h"
#include "wizardsupport.h"

namespace {

// Runs a file step with redirection off when asked, and on again after if it was switched.
template <class Step>
auto WithoutRedirection(bool redirectionOff, Step step)
{
    const BOOL switched = redirectionOff && EnableFsRedirection(FALSE) == TRUE;
    auto result = step();
    if (switched) EnableFsRedirection(TRUE);
    return result;
}

}  // namespace

void RunSearches(CTfUninstallOperation& operation, const CTfStepControls& controls)
{
    controls.status.SetWindowText(LoadResourceString(IDS_SEARCHING_PRODUCTS));
    operation.SearchProducts(&controls.step);
    controls.overall.StepIt();
    controls.status.SetWindowText(LoadResourceString(IDS_SEARCHING_FILES));
    WithoutRedirection(controls.redirectionOff, [&] {
        operation.SearchDriverFiles(&controls.step);
        return true;
    });
    controls.overall.StepIt();
    controls.status.SetWindowText(LoadResourceString(IDS_SEARCHING_REGISTRY));
    operation.SearchRegistryEntries(&controls.step);
    controls.overall.StepIt();
}

bool RunRemovals(CTfUninstallOperation& operation, const CTfStepControls& controls)
{
    controls.status.SetWindowText(LoadResourceString(IDS_UNINSTALLING_PRODUCTS));
    if (!operation.UninstallProducts(&controls.step)) return false;
    controls.overall.StepIt();
    controls.status.SetWindowText(LoadResourceString(IDS_UNINSTALLING_FILES));
    if (!WithoutRedirection(controls.redirectionOff, [&] { return operation.UninstallDriverFiles(&controls.step); }))
        return false;
    controls.overall.StepIt();
    controls.status.SetWindowText(LoadResourceString(IDS_UNINSTALLING_REGISTRY));
    if (!operation.UninstallRegistryEntries(&controls.step)) return false;
    controls.overall.StepIt();
    controls.status.SetWindowText(LoadResourceString(IDS_COMPLETED));
    return true;
}
