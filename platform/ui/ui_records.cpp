// Message boxes answered by the test's responder, and the calls the machine only records: HTML
// Help, ShellExecute, MessageBeep and GDI's brushes.
#include "ui_records.h"

#include <htmlhelp.h>
#include <shellapi.h>
#include <wingdi.h>

#include "machine_state.h"
#include "rtl/rtl_text.h"

namespace emu::ui {

namespace {

win32::PerMachine<UiRecords> g_records;

bool Matches(const MessageBoxAnswer& answer, const MessageBoxRecord& box)
{
    return (!answer.text || *answer.text == box.text) && (!answer.caption || *answer.caption == box.caption) &&
           (!answer.type || *answer.type == box.type);
}

}  // namespace

UiRecords& Records() { return g_records.Get(); }

void ExpectMessageBox(MessageBoxAnswer answer)
{
    UiRecords& records = Records();
    std::lock_guard lock(records.mutex);
    records.answers.push_back(std::move(answer));
}

std::vector<MessageBoxRecord> MessageBoxes()
{
    UiRecords& records = Records();
    std::lock_guard lock(records.mutex);
    return records.boxes;
}

std::vector<MessageBoxRecord> UnexpectedMessageBoxes()
{
    std::vector<MessageBoxRecord> unexpected;
    for (const MessageBoxRecord& box : MessageBoxes())
        if (!box.expected) unexpected.push_back(box);
    return unexpected;
}

size_t PendingMessageBoxAnswers()
{
    UiRecords& records = Records();
    std::lock_guard lock(records.mutex);
    return records.answers.size();
}

void SetMessageBoxResponder(std::function<std::optional<int>(const MessageBoxRecord&)> responder)
{
    UiRecords& records = Records();
    std::lock_guard lock(records.mutex);
    records.responder = std::move(responder);
}

void ClearMessageBoxes()
{
    UiRecords& records = Records();
    std::lock_guard lock(records.mutex);
    records.boxes.clear();
}

std::vector<HtmlHelpRecord> HtmlHelpCalls()
{
    UiRecords& records = Records();
    std::lock_guard lock(records.mutex);
    return records.help;
}

std::vector<ShellRecord> ShellCalls()
{
    UiRecords& records = Records();
    std::lock_guard lock(records.mutex);
    return records.shell;
}

std::vector<UINT> MessageBeeps()
{
    UiRecords& records = Records();
    std::lock_guard lock(records.mutex);
    return records.beeps;
}

size_t LiveBrushes()
{
    UiRecords& records = Records();
    std::lock_guard lock(records.mutex);
    return records.brushes.size();
}

}  // namespace emu::ui

using emu::ui::Records;

extern "C" int MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType)
{
    emu::ui::MessageBoxRecord box{hWnd, lpText ? lpText : u"", lpCaption ? lpCaption : u"Error", uType, 0, false,
                                  std::this_thread::get_id()};
    emu::ui::UiRecords& records = Records();
    std::function<std::optional<int>(const emu::ui::MessageBoxRecord&)> responder;
    {
        std::lock_guard lock(records.mutex);
        if (!records.answers.empty()) {
            box.expected = emu::ui::Matches(records.answers.front(), box);
            box.answer = records.answers.front().answer;
            records.answers.pop_front();
        } else {
            responder = records.responder;
        }
    }
    // The responder may wait for the test: it runs with nothing locked.
    if (responder) {
        if (std::optional<int> answer = responder(box)) {
            box.answer = *answer;
            box.expected = true;
        }
    }
    // A box nobody expected is dismissed as its close button would.
    if (!box.expected && box.answer == 0) box.answer = (uType & 0xF) == MB_YESNO ? IDNO : IDCANCEL;
    std::lock_guard lock(records.mutex);
    records.boxes.push_back(box);
    return box.answer;
}

extern "C" BOOL MessageBeep(UINT uType)
{
    std::lock_guard lock(Records().mutex);
    Records().beeps.push_back(uType);
    return TRUE;
}

extern "C" HWND HtmlHelpW(HWND hwndCaller, LPCWSTR pszFile, UINT uCommand, DWORD_PTR dwData)
{
    emu::ui::HtmlHelpRecord record{hwndCaller, pszFile ? pszFile : u"", uCommand, {}};
    if (uCommand == HH_TP_HELP_WM_HELP && dwData) {
        const DWORD* pairs = reinterpret_cast<const DWORD*>(dwData);
        for (; pairs[0] || pairs[1]; pairs += 2) record.idPairs.insert(record.idPairs.end(), {pairs[0], pairs[1]});
    }
    std::lock_guard lock(Records().mutex);
    Records().help.push_back(record);
    return nullptr;
}

extern "C" HINSTANCE ShellExecuteW(HWND hwnd, LPCWSTR lpOperation, LPCWSTR lpFile, LPCWSTR lpParameters,
                                   LPCWSTR lpDirectory, INT nShowCmd)
{
    std::lock_guard lock(Records().mutex);
    Records().shell.push_back({hwnd, lpOperation ? lpOperation : u"", lpFile ? lpFile : u""});
    return reinterpret_cast<HINSTANCE>(static_cast<ULONG_PTR>(33));  // above 32: started
}

extern "C" HBRUSH CreateSolidBrush(COLORREF color)
{
    auto* brush = reinterpret_cast<HBRUSH>(new COLORREF(color));
    std::lock_guard lock(Records().mutex);
    Records().brushes.insert(brush);
    return brush;
}

extern "C" int SetBkMode(HDC hdc, int mode) { return OPAQUE; }

extern "C" void InitCommonControls(void) {}

extern "C" LPWSTR CharUpperW(LPWSTR lpsz)
{
    if (IS_INTRESOURCE(lpsz)) return reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(emu::Upcase(static_cast<WCHAR>(reinterpret_cast<ULONG_PTR>(lpsz)))));
    for (LPWSTR p = lpsz; *p; ++p) *p = emu::Upcase(*p);
    return lpsz;
}

extern "C" LPWSTR CharLowerW(LPWSTR lpsz)
{
    if (IS_INTRESOURCE(lpsz)) return reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(emu::Downcase(static_cast<WCHAR>(reinterpret_cast<ULONG_PTR>(lpsz)))));
    for (LPWSTR p = lpsz; *p; ++p) *p = emu::Downcase(*p);
    return lpsz;
}
