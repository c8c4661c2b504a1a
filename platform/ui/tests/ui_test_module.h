// A module for the window system's tests: its resource tables (one dialog with every standard
// control, a string table) and a dialog procedure that logs what it receives and answers as told.
#pragma once

#include <commctrl.h>
#include <resource_script.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "machine_test.h"

namespace emu::testing {

enum : int {
    kDialog = 100,
    kCheck = 201,
    kRadioA = 202,
    kRadioB = 203,
    kBaud = 204,    // drop-down combo box with a digits-only edit
    kParity = 205,  // drop-down list
    kSlider = 206,
    kLabel = 207,
    kPush = 208,
    kTitleString = 300,
};

HINSTANCE TestModule();

// What a page procedure logs and answers; one per dialog window.
struct PageScript {
    std::string name;
    std::vector<std::string>* log = nullptr;
    std::map<UINT, LRESULT> notifyAnswers;  // PSN_* code -> DWLP_MSGRESULT
    std::function<void(HWND, WPARAM)> onCommand;
};

INT_PTR CALLBACK ScriptedPageProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
std::string NotificationName(UINT code);

class UiTest : public MachineTest {
protected:
    void TearDown() override;
};

}  // namespace emu::testing
