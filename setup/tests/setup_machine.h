// A fresh machine with the installation engine, the package's disk image in a folder, and Setup
// as the program that runs there.
#pragma once

#include <memory>
#include <string>

#include "ftdi_chip.h"
#include "install_engine.h"
#include "machine_test.h"
#include "program.h"

namespace emu::testing {

inline constexpr char16_t kDiskImage[] = u"C:\\Media";

class SetupMachineTest : public MachineTest {
protected:
    // Setup's sleeps (7 s in all) jump the machine's clock.
    void SetUp() override;
    void TearDown() override;

    // The INF files, both driver images and the co-installer libraries in the folder (the
    // co-installers are not loadable here: the engine's chain leaves them out).
    void MakeDiskImage(const std::u16string& folder);
    // Setup, started from that folder as an administrator (or with the token given).
    std::shared_ptr<process::Program> SetupProgram(const std::u16string& folder,
                                                   std::shared_ptr<process::Token> token = nullptr);
    // Runs the install worker silently as Setup from the folder; the data's installed flag.
    bool InstallSilently(const std::u16string& folder);
    // Plugs a one-port adapter and lets the machine install what arrived.
    void PlugAdapter();
    // The COM name of the adapter's port, and whether the port runs.
    std::u16string PortName();
    bool PortStarted();

    std::unique_ptr<setup::InstallEngine> m_engine;
    // Outlives the machine, which unplugs its model when it shuts down.
    std::unique_ptr<devices::FtdiChip> m_chip;
};

}  // namespace emu::testing
