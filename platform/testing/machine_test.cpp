#include "machine_test.h"

namespace emu::testing {

void MachineTest::SetUp() { m_machine = std::make_unique<Machine>(Options()); }

void MachineTest::TearDown()
{
    if (!m_machine) return;
    FailOnRemainingViolations();
    m_machine.reset();
}

void MachineTest::ShutDownMachine()
{
    FailOnRemainingViolations();
    m_machine.reset();
}

void MachineTest::FailOnRemainingViolations()
{
    for (const ViolationRecord& record : m_machine->GetVerifier().TakeAll())
        ADD_FAILURE() << "verifier: " << ViolationName(record.kind) << ": " << record.detail;
}

}  // namespace emu::testing
