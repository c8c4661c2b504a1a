// Sleep: the thread waits on the machine clock, as a kernel delay, so a paused or fast clock
// decides how long it takes in real time. Sleep(0) only gives up the rest of the time slice.
#include <synchapi.h>

#include <ntifs.h>

#include <thread>

extern "C" void Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(dwMilliseconds) * 10000;
    KeDelayExecutionThread(UserMode, FALSE, &interval);
}
