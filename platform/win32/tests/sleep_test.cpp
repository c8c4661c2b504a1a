// Sleep waits on the machine clock: on a fast clock a long sleep takes little real time, and the
// machine's time has moved on by at least the interval.
#include <gtest/gtest.h>

#include <synchapi.h>

#include <chrono>

#include "ke/clock.h"
#include "machine_test.h"

namespace emu::testing {
namespace {

class SleepTest : public MachineTest {
protected:
    MachineOptions Options() const override
    {
        MachineOptions options;
        options.clockScale = 10000;
        return options;
    }
};

TEST_F(SleepTest, ASleepLastsItsIntervalInMachineTime)
{
    for (DWORD milliseconds : {0u, 1u, 5000u}) {
        const LONGLONG before = machine().GetClock().InterruptTime();
        Sleep(milliseconds);
        EXPECT_GE(machine().GetClock().InterruptTime() - before, LONGLONG(milliseconds) * 10000) << milliseconds;
    }
}

}  // namespace
}  // namespace emu::testing
