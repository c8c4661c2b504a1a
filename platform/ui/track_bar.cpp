// The track bar: a position kept inside its range; a range change pulls the position into it.
#include <algorithm>

#include "window.h"

namespace emu::ui {

namespace {

void Clamp(ControlState& state) { state.pos = std::clamp(state.pos, state.rangeMin, std::max(state.rangeMin, state.rangeMax)); }

}  // namespace

LRESULT CALLBACK TrackBarProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    Window* window = Windows().Find(hwnd);
    if (!window) return 0;
    ControlState& state = window->control;
    switch (message) {
    case TBM_GETPOS: return state.pos;
    case TBM_GETRANGEMIN: return state.rangeMin;
    case TBM_GETRANGEMAX: return state.rangeMax;
    case TBM_SETPOS: state.pos = static_cast<int>(lParam); break;
    case TBM_SETRANGE:
        state.rangeMin = static_cast<short>(LOWORD(lParam));
        state.rangeMax = static_cast<short>(HIWORD(lParam));
        break;
    case TBM_SETRANGEMIN: state.rangeMin = static_cast<int>(lParam); break;
    case TBM_SETRANGEMAX: state.rangeMax = static_cast<int>(lParam); break;
    case TBM_SETPAGESIZE: return 0;
    default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    Clamp(state);
    return 0;
}

}  // namespace emu::ui
