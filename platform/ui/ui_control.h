// What a test does with the headless window system in place of a user: clicking, choosing,
// typing, moving sliders, hovering and asking for help; answering message boxes; and reading the
// record of help, shell and sound calls.
#pragma once

#include <commctrl.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace emu::ui {

class PropertySheet;

// ---- The user's actions ----------------------------------------------------------------------
// A click: BM_CLICK to a button (nothing when it is disabled), the mouse's press and release to
// any other enabled window.
void Click(HWND window);
// Chooses an entry of a combo box, as with the mouse (CBN_SELCHANGE to its parent).
void SelectComboItem(HWND comboBox, int index);
// Replaces the text of an edit control, or of a drop-down combo box's edit, as typed: an ES_NUMBER
// edit drops every character that is not a digit. EN_CHANGE (and CBN_EDITCHANGE) follow.
void TypeText(HWND editOrComboBox, std::u16string_view text);
// Drags a track bar's thumb to a position (kept inside its range); WM_HSCROLL to its parent.
void MoveTrackBar(HWND trackBar, int position);
// Context help on a control (WM_HELP to its dialog).
void ContextHelp(HWND control);

struct ToolTipShown {
    bool shown = false;
    std::u16string text;
    std::u16string title;  // the tip's title and icon after the owner answered
    int icon = TTI_NONE;
};
// Hovers over a window that is a tool of a tool tip; an active tip asks its owner for the text.
ToolTipShown Hover(HWND tool);

// Waits (at most `limit`) until `condition` holds, looking again every millisecond; false when the
// time ran out. For a test's thread acting on windows of a program's thread.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10));

// The Close command of a window's system menu (Alt+F4): nothing when the command was deleted.
void CloseWithSystemMenu(HWND window);

// Takes the calling thread's messages: carries out those other threads sent and delivers the posted
// ones, in order (those they post too); returns how many posted ones.
size_t DispatchPostedMessages();
size_t LiveWindows();

// ---- Message boxes -------------------------------------------------------------------------
struct MessageBoxAnswer {
    std::optional<std::u16string> text;  // what the box must say (unchecked when empty)
    std::optional<std::u16string> caption;
    std::optional<UINT> type;
    int answer = IDOK;
};
struct MessageBoxRecord {
    HWND owner = nullptr;
    std::u16string text;
    std::u16string caption;
    UINT type = 0;
    int answer = 0;
    bool expected = true;  // an answer was queued and the box matched it, or the responder answered
    std::thread::id thread;  // the thread that showed the box
};
void ExpectMessageBox(MessageBoxAnswer answer);
// Answers the boxes no queued answer is left for, on the thread that shows the box (it may block
// that thread until the test lets it go); no answer leaves the box unexpected. Null removes it.
void SetMessageBoxResponder(std::function<std::optional<int>(const MessageBoxRecord&)> responder);
std::vector<MessageBoxRecord> MessageBoxes();
std::vector<MessageBoxRecord> UnexpectedMessageBoxes();
size_t PendingMessageBoxAnswers();
void ClearMessageBoxes();

// ---- Modal property sheets -------------------------------------------------------------------
// The next PropertySheetW runs this script (the user's doing while the sheet is up); a sheet
// without a script is cancelled at once and counted.
void ScriptNextModalSheet(std::function<void(PropertySheet&)> script);
size_t UnscriptedModalSheets();

// ---- Controls' state, read on the thread that owns the control ---------------------------------------
struct ProgressState {
    bool exists = false;
    int low = 0, high = 0, step = 0, pos = 0;
    size_t steps = 0;  // PBM_STEPIT messages taken
};
ProgressState Progress(HWND bar);
struct AnimationState {
    bool exists = false;
    UINT_PTR clip = 0;  // the resource id opened
    bool playing = false;
};
AnimationState Animation(HWND control);
// The template a dialog (or property page) was made from, 0 for another window.
WORD DialogTemplateId(HWND dialog);

// ---- The screen ------------------------------------------------------------------------------------
struct Display {
    int bitsPerPixel = 32;
    int dpi = 96;
    bool deviceContextFails = false;  // GetDC gives no device context
};
void SetDisplay(Display display);
// The bitmap resource a bitmap handle was loaded from (0 for none), and the live fonts and bitmaps.
UINT BitmapResourceId(HBITMAP bitmap);
size_t LiveFonts();
size_t LiveBitmaps();

// ---- Records -----------------------------------------------------------------------------------
struct HtmlHelpRecord {
    HWND caller = nullptr;
    std::u16string file;
    UINT command = 0;
    std::vector<DWORD> idPairs;  // HH_TP_HELP_WM_HELP's table up to its 0, 0 end
};
struct ShellRecord {
    HWND owner = nullptr;
    std::u16string operation;
    std::u16string file;
};
std::vector<HtmlHelpRecord> HtmlHelpCalls();
std::vector<ShellRecord> ShellCalls();
std::vector<UINT> MessageBeeps();
size_t LiveBrushes();

}  // namespace emu::ui
