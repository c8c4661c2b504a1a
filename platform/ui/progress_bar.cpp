// The progress bar and the animation control. The bar keeps its range, step and position and
// counts the steps it was told to take; the animation keeps the clip it opened and whether it plays.
#include <algorithm>
#include <utility>

#include "ui_control.h"
#include "window.h"

namespace emu::ui {

namespace {

void SetRange(Window* window, int low, int high)
{
    window->control.progressLow = low;
    window->control.progressHigh = high;
    if (window->control.progressPos < low || window->control.progressPos > high) window->control.progressPos = low;
}

// PBM_STEPIT: a step past the high end starts the bar again from the low end.
int StepIt(ControlState& state)
{
    const int previous = state.progressPos;
    ++state.progressSteps;
    state.progressPos += state.progressStep;
    if (state.progressPos < state.progressLow || state.progressPos > state.progressHigh) state.progressPos = state.progressLow;
    return previous;
}

}  // namespace

LRESULT CALLBACK ProgressProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    Window* window = Windows().Find(hwnd);
    if (!window) return 0;
    ControlState& state = window->control;
    const LRESULT range = MAKELRESULT(state.progressLow, state.progressHigh);
    switch (message) {
    case PBM_SETRANGE: SetRange(window, LOWORD(lParam), HIWORD(lParam)); return range;
    case PBM_SETRANGE32: SetRange(window, static_cast<int>(wParam), static_cast<int>(lParam)); return range;
    case PBM_SETSTEP: return std::exchange(state.progressStep, static_cast<int>(wParam));
    case PBM_STEPIT: return StepIt(state);
    case PBM_GETPOS: return state.progressPos;
    case PBM_SETPOS: {
        const int previous = state.progressPos;
        state.progressPos = std::max(state.progressLow, std::min(state.progressHigh, static_cast<int>(wParam)));
        return previous;
    }
    case PBM_GETRANGE:
        if (lParam) *reinterpret_cast<PBRANGE*>(lParam) = PBRANGE{state.progressLow, state.progressHigh};
        return wParam ? state.progressLow : state.progressHigh;
    default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

LRESULT CALLBACK AnimateProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    Window* window = Windows().Find(hwnd);
    if (!window) return 0;
    ControlState& state = window->control;
    switch (message) {
    case ACM_OPENW:
        // A clip of the module's resources by its id; null closes the clip.
        state.animation = IS_INTRESOURCE(lParam) ? static_cast<UINT_PTR>(lParam) : 0;
        state.playing = false;
        return lParam && state.animation;
    case ACM_PLAY: state.playing = state.animation != 0; return state.playing;
    case ACM_STOP: state.playing = false; return TRUE;
    default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

ProgressState Progress(HWND bar)
{
    return OnOwner(bar, [&] {
        Window* window = Windows().Find(bar);
        if (!window) return ProgressState{};
        const ControlState& state = window->control;
        return ProgressState{true, state.progressLow, state.progressHigh, state.progressStep, state.progressPos,
                             state.progressSteps};
    });
}

AnimationState Animation(HWND control)
{
    return OnOwner(control, [&] {
        Window* window = Windows().Find(control);
        if (!window) return AnimationState{};
        return AnimationState{true, window->control.animation, window->control.playing};
    });
}

}  // namespace emu::ui
