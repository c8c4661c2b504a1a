// The install worker on a fresh machine and over an earlier installation, from the package's disk
// image and from folders where the bus INF is missing or broken.
#include <gtest/gtest.h>

#include "adapter_table.h"
#include "driver_store.h"
#include "file_system.h"
#include "ke/clock.h"
#include "setup_machine.h"
#include "ui_control.h"
#include "setupapi_control.h"
#include "setupapi_state.h"
#include "vexilusbinstaller.h"
#include "vexilusbinstalldata.h"
#include "vexilusbinstalloperation.h"

namespace emu::testing {
namespace {

using setupapi::DriverStore;

class InstallWorkerTest : public SetupMachineTest {};

TEST_F(InstallWorkerTest, OnAFreshMachineBothInfsGoToTheStoreAndAnAdapterPluggedAfterGetsItsComPort)
{
    MakeDiskImage(kDiskImage);
    const LONGLONG before = machine().GetClock().InterruptTime();
    EXPECT_TRUE(InstallSilently(kDiskImage));
    // Both INF copies, every bus ID and port ID offered to the present devices, and the tree
    // re-enumerated twice (then again retrying installation) after waits of 2 s and 5 s.
    EXPECT_EQ(DriverStore::Current().Infs().size(), 2u);
    EXPECT_EQ(DriverStore::Current().Updates().size(), cvpackage::AllAdapterIds().size() + 2);
    EXPECT_EQ(setupapi::Reenumerations().size(), 4u);
    EXPECT_GE(machine().GetClock().InterruptTime() - before, 7000LL * 10000);
    EXPECT_TRUE(ui::MessageBoxes().empty());

    PlugAdapter();
    EXPECT_TRUE(PortStarted());
    EXPECT_EQ(PortName(), u"COM1");
}

TEST_F(InstallWorkerTest, OverAnEarlierInstallationTheAdapterIsRemovedAndComesBackWithItsComNumber)
{
    MakeDiskImage(kDiskImage);
    ASSERT_TRUE(InstallSilently(kDiskImage));
    PlugAdapter();
    ASSERT_EQ(PortName(), u"COM1");

    EXPECT_TRUE(InstallSilently(kDiskImage));
    // The same INF files stay in the store under their names; the removed port gave COM1 back
    // and the port installed again from the store claims it anew.
    EXPECT_EQ(DriverStore::Current().Infs().size(), 2u);
    EXPECT_TRUE(PortStarted());
    EXPECT_EQ(PortName(), u"COM1");
    EXPECT_TRUE(m_engine->Failures().empty());
}

struct FailedCopy {
    const char* name;
    bool diskImage;       // the package's files are in the folder
    DWORD brokenBusInf;   // the copy of the bus INF fails with this error (0: it does not)
    const char16_t* detail;
};

class FailedCopyTest : public InstallWorkerTest, public ::testing::WithParamInterface<FailedCopy> {};

TEST_P(FailedCopyTest, TheRunEndsNotInstalledWithTheReasonAndChangesNothing)
{
    const FailedCopy& c = GetParam();
    files::FileSystem::Current().CreateDirectory(kDiskImage);
    if (c.diskImage) MakeDiskImage(kDiskImage);
    if (c.brokenBusInf) DriverStore::Current().MarkBroken(std::u16string(kDiskImage) + u"\\ENUMDRV.INF", c.brokenBusInf);
    {
        process::ProgramScope scope(SetupProgram(kDiskImage));
        CVexilUSBInstallData data;
        CVexilUSBInstaller installer(&data, TRUE);
        installer.Run();
        EXPECT_FALSE(data.m_bInstalled);
        EXPECT_EQ(std::u16string(data.m_strResultTitle), u"Product was not installed.");
        EXPECT_EQ(std::u16string(data.m_strResultDetail), c.detail);
        EXPECT_EQ(installer.CopyError(), c.brokenBusInf ? c.brokenBusInf : DWORD(ERROR_FILE_NOT_FOUND));
    }
    EXPECT_TRUE(DriverStore::Current().Infs().empty());
    EXPECT_TRUE(DriverStore::Current().Updates().empty());
    EXPECT_TRUE(setupapi::Reenumerations().empty());
    EXPECT_TRUE(ui::MessageBoxes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    BusInf, FailedCopyTest,
    ::testing::Values(FailedCopy{"Missing", false, 0,
                                 u"Error: Setup cannot find necessory inf file to install. Please make sure, you run this "
                                 u"application from the installation CD or DiskImage folder of the driver package."},
                      FailedCopy{"Broken", true, 0xE0000100, u"Error was detected. Error Code: 0xE0000100"}),
    [](const ::testing::TestParamInfo<FailedCopy>& info) { return info.param.name; });

TEST_F(InstallWorkerTest, TheDetectionFindsAnEarlierInstallationAndLeavesNoSetBehind)
{
    MakeDiskImage(kDiskImage);
    process::ProgramScope scope(SetupProgram(kDiskImage));
    auto liveSets = [] {
        std::lock_guard lock(setupapi::State().mutex);
        return setupapi::State().liveSets.size();
    };
    CVexilUSBInstallData data;
    const size_t sets = liveSets();
    EXPECT_FALSE(CVexilUSBInstallOperation().DetectPreviousInstallation(&data));
    EXPECT_EQ(liveSets(), sets);

    ASSERT_TRUE(InstallSilently(kDiskImage));
    PlugAdapter();
    EXPECT_TRUE(CVexilUSBInstallOperation().DetectPreviousInstallation(&data));
    EXPECT_EQ(liveSets(), sets);
    EXPECT_EQ(data.m_hDevInfo, INVALID_HANDLE_VALUE);
}

TEST_F(InstallWorkerTest, InTheWizardADeclinedQuestionLeavesTheEarlierInstallationAsItWas)
{
    MakeDiskImage(kDiskImage);
    ASSERT_TRUE(InstallSilently(kDiskImage));
    PlugAdapter();
    const size_t updates = DriverStore::Current().Updates().size();
    const size_t reenumerations = setupapi::Reenumerations().size();
    ui::ExpectMessageBox({std::nullopt, u"Confirm?", MB_ICONQUESTION | MB_YESNO, IDNO});
    {
        process::ProgramScope scope(SetupProgram(kDiskImage));
        CVexilUSBInstallData data;
        CVexilUSBInstaller(&data, FALSE).Run();
        EXPECT_FALSE(data.m_bInstalled);
        EXPECT_EQ(std::u16string(data.m_strResultTitle), u"Product was not installed.");
        EXPECT_EQ(std::u16string(data.m_strResultDetail), u"A previous installation was detected.");
    }
    EXPECT_TRUE(ui::UnexpectedMessageBoxes().empty());
    EXPECT_EQ(DriverStore::Current().Updates().size(), updates);
    EXPECT_EQ(setupapi::Reenumerations().size(), reenumerations);
    EXPECT_TRUE(PortStarted());
    EXPECT_EQ(PortName(), u"COM1");
}

}  // namespace
}  // namespace emu::testing
