// Pulling the adapter out while an application has requests pending on its port: every request
// completes, new ones fail at once, the handle closes, nothing is left behind, the COM name is
// released, and plugging an adapter again gives the application the same port back.
#include <gtest/gtest.h>

#include "async_request.h"
#include "com_port_fixture.h"

namespace e2e {
namespace {

TEST_F(ComPortTest, SurpriseRemovalCompletesPendingReadsWritesAndWaits)
{
    Plug({.cable = Cable::Peer});
    const std::u16string name = PortNames().at(0);
    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Configure(port, {.rtsCts = true});  // the peer's CTS is low: writes stay pending
    SetTimeouts(port, 0, 0, 0);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_CTS));

    AsyncRequest read(port), write(port), wait(port);
    read.Read(64);
    write.Write(std::vector<uint8_t>(4096, 0xA5));
    wait.WaitEvent();
    AdvanceMs(20);
    ASSERT_TRUE(read.Pending());
    ASSERT_TRUE(write.Pending());
    ASSERT_TRUE(wait.Pending());

    Unplug();
    for (AsyncRequest* request : {&read, &write, &wait}) {
        ASSERT_TRUE(request->Finish()) << "a request was left pending by the removal";
        EXPECT_FALSE(request->Succeeded() && request->Transferred() > 0);
    }
    // New requests on the open handle fail at once.
    AsyncRequest late(port);
    late.Read(4);
    ASSERT_TRUE(late.Finish());
    EXPECT_FALSE(late.Succeeded());
    DWORD modem = 0;
    EXPECT_FALSE(GetCommModemStatus(port, &modem));
    Close(port);
    EXPECT_FALSE(NameIsLinked(name)) << "the COM name still leads to a device";

    // Plugged again, the same name opens the port and data flows.
    Plug({.cable = Cable::Loopback});
    ASSERT_EQ(PortNames().at(0), name);
    HANDLE again = OpenName(name);
    ASSERT_NE(again, INVALID_HANDLE_VALUE);
    Configure(again, {.rtsCts = true});
    const std::vector<uint8_t> data = RandomBytes(1000, 5);
    AsyncRequest echo(again);
    echo.Write(data);
    EXPECT_EQ(ReadAll(again, data.size()), data);
    ASSERT_TRUE(echo.Finish());
    EXPECT_TRUE(echo.Succeeded());
}

TEST_F(ComPortTest, RemovalWithNoRequestPendingReleasesTheName)
{
    Plug();
    const std::u16string name = PortNames().at(0);
    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Unplug();
    EXPECT_FALSE(NameIsLinked(name));
    EXPECT_EQ(OpenName(name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    Close(port);
}

}  // namespace
}  // namespace e2e
