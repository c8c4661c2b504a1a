// Error abort and its recovery through ClearCommError, and PurgeComm of each kind on requests and
// data the port holds.
#include <gtest/gtest.h>

#include "async_request.h"
#include "com_port_fixture.h"
#include "line_signals.h"

namespace e2e {
namespace {

struct AbortCase {
    const char* name;
    uint8_t errors;  // on the character, or 0 for a break
    DWORD commError;
};

const AbortCase kAborts[] = {
    {"Framing", emu::devices::status::kFramingError, CE_FRAME},
    {"Parity", emu::devices::status::kParityError, CE_RXPARITY},
    {"Break", 0, CE_BREAK},
};

class ErrorAbortTest : public ComPortTest, public ::testing::WithParamInterface<AbortCase> {};

TEST_P(ErrorAbortTest, ALineErrorStopsTheQueuesUntilClearCommError)
{
    const AbortCase& c = GetParam();
    Plug({.cable = Cable::Peer});
    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Configure(port, {.abortOnError = true});
    SetTimeouts(port, 0, 0, 0);
    AsyncRequest read(port);
    read.Read(100);
    ASSERT_TRUE(read.Pending());

    if (c.errors != 0)
        Peer().SendWithErrors(Now(), 0x41, c.errors);
    else
        Peer().SendBreak(Now());
    Notify();
    AdvanceMs(20);
    ASSERT_TRUE(read.Finish());
    EXPECT_EQ(read.Error(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    // Until the error is cleared, new requests and settings fail.
    AsyncRequest refused(port);
    refused.Read(10);
    ASSERT_TRUE(refused.Finish());
    EXPECT_EQ(refused.Error(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    DWORD modem = 0;
    EXPECT_FALSE(GetCommModemStatus(port, &modem));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));

    DWORD errors = 0;
    COMSTAT stat = {};
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(errors & c.commError, c.commError);

    // Cleared: the port reads again. The character that carried the error (a NUL for a break)
    // comes after the report: let it land before the receive buffer is emptied.
    EXPECT_TRUE(GetCommModemStatus(port, &modem));
    AwaitReceived(port, 1);
    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
    AsyncRequest again(port);
    again.Read(3);
    const uint8_t text[] = {'o', 'k', '!'};
    Peer().Send(Now(), text);
    Notify();
    AdvanceMs(20);
    ASSERT_TRUE(again.Finish());
    EXPECT_TRUE(again.Succeeded());
    EXPECT_EQ(again.Data(), std::vector<uint8_t>(std::begin(text), std::end(text)));
}

INSTANTIATE_TEST_SUITE_P(Errors, ErrorAbortTest, ::testing::ValuesIn(kAborts),
                         [](const ::testing::TestParamInfo<AbortCase>& info) { return std::string(info.param.name); });

// PurgeComm: each flag acts on its own queue and leaves the other alone. The peer holds CTS low so
// a write stays pending; a read waits for more than arrives; bytes wait in the receive buffer.
struct PurgeCase {
    const char* name;
    DWORD flags;
    bool readCancelled;
    bool writeCancelled;
    bool bufferEmptied;
};

const PurgeCase kPurges[] = {
    {"RxAbort", PURGE_RXABORT, true, false, false},
    {"TxAbort", PURGE_TXABORT, false, true, false},
    {"RxClear", PURGE_RXCLEAR, false, false, true},
    {"TxClear", PURGE_TXCLEAR, false, false, false},
    {"All", PURGE_RXABORT | PURGE_TXABORT | PURGE_RXCLEAR | PURGE_TXCLEAR, true, true, true},
};

class PurgeTest : public ComPortTest, public ::testing::WithParamInterface<PurgeCase> {};

TEST_P(PurgeTest, EachKindActsOnItsOwnQueue)
{
    const PurgeCase& c = GetParam();
    Plug({.cable = Cable::Peer});
    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Configure(port, {.rtsCts = true});
    // Two handles cannot share the port, so the buffered bytes come first, then the read waits for
    // more than is left.
    const uint8_t bytes[] = {1, 2, 3, 4, 5, 6, 7, 8};
    Peer().Send(Now(), bytes);
    Notify();
    AdvanceMs(20);
    COMSTAT stat = {};
    DWORD errors = 0;
    for (int polls = 0; polls < 100000 && stat.cbInQue < sizeof bytes; ++polls) ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    ASSERT_EQ(stat.cbInQue, sizeof bytes);

    AsyncRequest write(port);
    write.Write(std::vector<uint8_t>(4096, 0x55));  // CTS is low: it stays
    AdvanceMs(20);
    ASSERT_TRUE(write.Pending());

    ASSERT_TRUE(PurgeComm(port, c.flags));
    if (c.writeCancelled) {
        ASSERT_TRUE(write.Finish());
        EXPECT_EQ(write.Error(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    } else {
        EXPECT_TRUE(write.Pending());
    }
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, c.bufferEmptied ? 0u : sizeof bytes);

    // A read pending at the purge: it asks for more than is buffered.
    SetTimeouts(port, 0, 0, 0);
    AsyncRequest read(port);
    read.Read(stat.cbInQue + 4);
    ASSERT_TRUE(read.Pending());
    ASSERT_TRUE(PurgeComm(port, c.flags));
    if (c.readCancelled) {
        ASSERT_TRUE(read.Finish());
        EXPECT_EQ(read.Error(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    } else {
        EXPECT_TRUE(read.Pending());
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, PurgeTest, ::testing::ValuesIn(kPurges),
                         [](const ::testing::TestParamInfo<PurgeCase>& info) { return std::string(info.param.name); });

TEST_F(ComPortTest, APurgeWithNoFlagOrAnUnknownOneIsRefused)
{
    Plug({.cable = Cable::Peer});
    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    for (DWORD flags : {0x0u, 0x10u}) {
        EXPECT_FALSE(PurgeComm(port, flags));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
}

}  // namespace
}  // namespace e2e
