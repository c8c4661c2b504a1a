// The machine's record of message boxes, help, shell and sound calls, and the answers and scripts
// tests queued.
#pragma once

#include <wingdi.h>

#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "ui_control.h"

namespace emu::ui {

struct UiRecords {
    std::mutex mutex;  // guards every field
    std::deque<MessageBoxAnswer> answers;
    std::vector<MessageBoxRecord> boxes;
    std::deque<std::function<void(PropertySheet&)>> sheetScripts;
    size_t unscriptedSheets = 0;
    std::vector<HtmlHelpRecord> help;
    std::vector<ShellRecord> shell;
    std::vector<UINT> beeps;
    std::set<HBRUSH> brushes;
    std::map<HFONT, LOGFONTW> fonts;
    std::map<HBITMAP, UINT> bitmaps;  // the resource id each was loaded from
    std::function<std::optional<int>(const MessageBoxRecord&)> responder;
    Display display;
};

UiRecords& Records();

}  // namespace emu::ui
