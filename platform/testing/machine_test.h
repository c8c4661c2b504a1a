// GoogleTest fixture that runs each test on a fresh emulated machine and fails the test on any
// verifier report the test did not take.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "machine.h"
#include "vf/verifier.h"

namespace emu::testing {

class MachineTest : public ::testing::Test {
protected:
    // Override to run the test on another Windows version or clock scale.
    virtual MachineOptions Options() const { return {}; }

    void SetUp() override;
    void TearDown() override;

    Machine& machine() { return *m_machine; }
    Verifier& verifier() { return m_machine->GetVerifier(); }
    // Takes the reports of one kind out, so the fixture does not fail the test on them.
    size_t Take(Violation kind) { return verifier().Take(kind).size(); }

    // Shuts the machine down before the test ends (to check what shutting down does).
    void ShutDownMachine();

private:
    void FailOnRemainingViolations();
    std::unique_ptr<Machine> m_machine;
};

// Raises the calling thread to an IRQL for one scope (to act as a DPC or a spin-lock holder).
class ScopedIrql {
public:
    explicit ScopedIrql(KIRQL irql) { KeRaiseIrql(irql, &m_old); }
    ~ScopedIrql() { KeLowerIrql(m_old); }
    ScopedIrql(const ScopedIrql&) = delete;
    ScopedIrql& operator=(const ScopedIrql&) = delete;

private:
    KIRQL m_old = PASSIVE_LEVEL;
};

}  // namespace emu::testing
