// MFC's common-control objects the wizards use: the progress bar and the animation.
#pragma once

#include <afxwin.h>

class CProgressCtrl : public CWnd {
public:
    void SetRange(short nLower, short nUpper) { SendMessage(PBM_SETRANGE, 0, MAKELPARAM(nLower, nUpper)); }
    void SetRange32(int nLower, int nUpper) { SendMessage(PBM_SETRANGE32, nLower, nUpper); }
    int SetStep(int nStep) { return static_cast<int>(SendMessage(PBM_SETSTEP, nStep, 0)); }
    int StepIt() { return static_cast<int>(SendMessage(PBM_STEPIT, 0, 0)); }
    int SetPos(int nPos) { return static_cast<int>(SendMessage(PBM_SETPOS, nPos, 0)); }
    int GetPos() const { return static_cast<int>(SendMessage(PBM_GETPOS, 0, 0)); }
};

class CAnimateCtrl : public CWnd {
public:
    BOOL Open(UINT nID) { return static_cast<BOOL>(SendMessage(ACM_OPENW, 0, static_cast<LPARAM>(nID))); }
    BOOL Play(UINT nFrom, UINT nTo, UINT nRep)
    {
        return static_cast<BOOL>(SendMessage(ACM_PLAY, nRep, MAKELPARAM(nFrom, nTo)));
    }
    BOOL Stop() { return static_cast<BOOL>(SendMessage(ACM_STOP, 0, 0)); }
    BOOL Close() { return static_cast<BOOL>(SendMessage(ACM_OPENW, 0, 0)); }
};
