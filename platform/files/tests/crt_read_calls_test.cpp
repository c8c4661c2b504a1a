// The runtime's whole-file reads: a descriptor holds the bytes the file had when it was opened.
#include <gtest/gtest.h>

#include <io.h>

#include <cerrno>

#include "file_system.h"
#include "machine_test.h"

namespace emu::testing {
namespace {

class CrtReadCallsTest : public MachineTest {};

TEST_F(CrtReadCallsTest, AFileIsReadWholeInPiecesUntilItsEnd)
{
    files::FileSystem::Current().WriteFile(u"C:\\WINDOWS\\Inf\\oem3.inf", {'a', 'b', 'c', 'd', 'e'});
    const int fd = _wopen(u"c:\\windows\\INF\\OEM3.INF", _O_RDONLY | _O_BINARY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(_filelength(fd), 5);
    // Later changes to the file do not reach the open descriptor.
    files::FileSystem::Current().WriteFile(u"C:\\WINDOWS\\Inf\\oem3.inf", {'x'});
    char buffer[8] = {};
    EXPECT_EQ(_read(fd, buffer, 3), 3);
    EXPECT_EQ(_read(fd, buffer + 3, 8), 2);
    EXPECT_EQ(_read(fd, buffer, 8), 0);
    EXPECT_STREQ(buffer, "abcde");
    EXPECT_EQ(_close(fd), 0);
}

TEST_F(CrtReadCallsTest, FailuresSetErrnoAsTheRuntimeDoes)
{
    files::FileSystem::Current().WriteFile(u"C:\\Media\\a.inf", {'a'});
    struct Case {
        const char* what;
        int (*call)();
        int error;
    } cases[] = {
        {"a missing file", [] { return _wopen(u"C:\\Media\\none.inf", _O_RDONLY); }, ENOENT},
        {"an open for writing", [] { return _wopen(u"C:\\Media\\a.inf", 0x0001 /* _O_WRONLY */); }, EACCES},
        {"no path", [] { return _wopen(nullptr, _O_RDONLY); }, EINVAL},
        {"the length of a closed descriptor", [] { return int(_filelength(1234)); }, EBADF},
        {"a read of a closed descriptor", [] { char c; return _read(1234, &c, 1); }, EBADF},
        {"a second close", [] {
             const int fd = _wopen(u"C:\\Media\\a.inf", _O_RDONLY);
             _close(fd);
             return _close(fd);
         }, EBADF},
    };
    for (const Case& c : cases) {
        errno = 0;
        EXPECT_EQ(c.call(), -1) << c.what;
        EXPECT_EQ(errno, c.error) << c.what;
    }
}

}  // namespace
}  // namespace emu::testing
