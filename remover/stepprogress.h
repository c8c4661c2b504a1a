// The progress a step of an uninstall operation reports on the progress bar it is given: a range
// with a step of 1, and one advance per item. A step that has no bar reports nothing.
#pragma once

#include <windows.h>

class CProgressCtrl;

class CTfStepProgress {
public:
    explicit CTfStepProgress(CProgressCtrl* pProgress) : m_pProgress(pProgress) {}

    void SetRange(int nLower, int nUpper);
    void Advance();
    // A step with nothing to do: the range 0 to 1 and one advance.
    void Nothing();

    // What the step reported, for tests.
    int Lower() const { return m_nLower; }
    int Upper() const { return m_nUpper; }
    int Advances() const { return m_nAdvances; }

private:
    CProgressCtrl* m_pProgress;
    int m_nLower = 0;
    int m_nUpper = 0;
    int m_nAdvances = 0;
};
