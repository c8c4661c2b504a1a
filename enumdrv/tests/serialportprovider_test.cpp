// The ISerial record as the port object builds it: which operations it publishes, the capability
// bytes, each operation reaching its member with its arguments, and the callback invokers.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "cviserial.h"
#include "ex/pool.h"
#include "machine_test.h"
#include "tfmemorytracker.h"

namespace {

// A provider whose members record their calls as "name(args)".
class CRecordingProvider : public CSerialPortProvider {
public:
    std::vector<std::string> Calls;

    BOOLEAN m_ConnectCallback() override { return Note("connect"); }
    BOOLEAN m_DisconnectCallback() override { return Note("disconnect"); }
    BOOLEAN m_PortWriteCallback(CTfBuffer* pBuffer) override
    {
        ULONG ulLength = pBuffer->m_GetLength();
        pBuffer->m_Delete();
        return Note("write(" + std::to_string(ulLength) + ")");
    }
    BOOLEAN m_RtsCallback(BOOLEAN b) override { return Note("rts(" + N(b) + ")"); }
    BOOLEAN m_DtrCallback(BOOLEAN b) override { return Note("dtr(" + N(b) + ")"); }
    BOOLEAN m_CommSettingsCallback(UCHAR a, UCHAR b, UCHAR c) override
    {
        return Note("comm(" + N(a) + "," + N(b) + "," + N(c) + ")");
    }
    BOOLEAN m_BaudrateCallback(ULONG r) override { return Note("baud(" + N(r) + ")"); }
    BOOLEAN m_TriggerLevelsCallback(UCHAR a, UCHAR b, UCHAR c) override
    {
        return Note("trigger(" + N(a) + "," + N(b) + "," + N(c) + ")");
    }
    BOOLEAN m_HandshakingSettingsCallback(BOOLEAN a, BOOLEAN b, BOOLEAN c, BOOLEAN d, BOOLEAN e, BOOLEAN f, BOOLEAN g,
                                          BOOLEAN h, BOOLEAN i, BOOLEAN j, BOOLEAN k, BOOLEAN l) override
    {
        std::string s;
        for (BOOLEAN v : {a, b, c, d, e, f, g, h, i, j, k, l}) s += N(v);
        return Note("handshake(" + s + ")");
    }
    BOOLEAN m_InternalLoopbackCallback(BOOLEAN b) override { return Note("loopback(" + N(b) + ")"); }
    BOOLEAN m_DuplexModeSettingsCallback(ULONG m, BOOLEAN c) override { return Note("duplex(" + N(m) + "," + N(c) + ")"); }
    BOOLEAN m_SetBreakCallback(BOOLEAN b) override { return Note("break(" + N(b) + ")"); }
    BOOLEAN m_PurgeCallback(BOOLEAN t, BOOLEAN r) override { return Note("purge(" + N(t) + "," + N(r) + ")"); }
    BOOLEAN m_IsBaudRateSettableCallback(ULONG r) override { return Note("settable(" + N(r) + ")"); }
    BOOLEAN m_SetSpecialCharactersCallback(UCHAR a, UCHAR b, UCHAR c, UCHAR d, UCHAR e, UCHAR f) override
    {
        return Note("chars(" + N(a) + "," + N(b) + "," + N(c) + "," + N(d) + "," + N(e) + "," + N(f) + ")");
    }
    BOOLEAN m_LsrMstInsertionCallback(UCHAR e) override { return Note("lsrmst(" + N(e) + ")"); }
    BOOLEAN m_PretendXoffReceivedCallback(BOOLEAN b) override { return Note("pretend(" + N(b) + ")"); }
    BOOLEAN m_SendImmediateCharacterCallback(UCHAR c) override { return Note("immediate(" + N(c) + ")"); }
    BOOLEAN m_GetFifoSizesCallback(PULONG pTx, PULONG pRx) override
    {
        *pTx = 128;
        *pRx = 256;
        return Note("fifo");
    }
    BOOLEAN m_GetModemStatusCallback() override { return Note("modem"); }
    BOOLEAN m_SendXonXoffCallback(BOOLEAN b) override { return Note("xonxoff(" + N(b) + ")"); }
    BOOLEAN m_GetMaximumBaudRateCallback(PULONG p) override
    {
        *p = 1000000;
        return Note("maxbaud");
    }

    // The FTDI port's record: version 5, all rates unknown, capabilities 0, 0, 0 and six ones.
    ISerial* BuildFtdi(UCHAR ucDuplex)
    {
        return m_CreateInterface(ISERIAL_VERSION, ucDuplex, ISERIAL_SUPPORTED_BAUD_UNKNOWN, 0, 0, 0, 1, 1, 1, 1, 1, 1);
    }

private:
    static std::string N(ULONG v) { return std::to_string(v); }
    BOOLEAN Note(const std::string& call)
    {
        Calls.push_back(call);
        return TRUE;
    }
};

// What the port driver's callbacks saw.
struct PortDriverSide {
    std::vector<std::string> Calls;
    PVOID SeenContext = nullptr;
    ULONG AvailableAnswer = 0;

    static PortDriverSide* From(PVOID p) { return static_cast<PortDriverSide*>(p); }
    static BOOLEAN Read(PVOID p, CTfBuffer* pBuffer)
    {
        From(p)->Calls.push_back("read(" + std::to_string(pBuffer->m_GetLength()) + ")");
        pBuffer->m_Delete();
        return TRUE;
    }
    static BOOLEAN Line(PVOID p, BOOLEAN a, BOOLEAN b, BOOLEAN c, BOOLEAN d, BOOLEAN e, BOOLEAN f, BOOLEAN g, BOOLEAN h)
    {
        std::string s;
        for (BOOLEAN v : {a, b, c, d, e, f, g, h}) s += std::to_string(v);
        From(p)->Calls.push_back("line(" + s + ")");
        return TRUE;
    }
    static BOOLEAN Modem(PVOID p, BOOLEAN a, BOOLEAN b, BOOLEAN c, BOOLEAN d, BOOLEAN e)
    {
        std::string s;
        for (BOOLEAN v : {a, b, c, d, e}) s += std::to_string(v);
        From(p)->Calls.push_back("modem(" + s + ")");
        return TRUE;
    }
    static BOOLEAN Written(PVOID p, ULONG n)
    {
        From(p)->Calls.push_back("written(" + std::to_string(n) + ")");
        return TRUE;
    }
    static BOOLEAN Sent(PVOID p)
    {
        From(p)->Calls.push_back("sent");
        return TRUE;
    }
    static BOOLEAN XoffSent(PVOID p, BOOLEAN b)
    {
        From(p)->Calls.push_back("xoffsent(" + std::to_string(b) + ")");
        return TRUE;
    }
    static BOOLEAN Room(PVOID p, ULONG r, ULONG f, PULONG pAvailable)
    {
        From(p)->Calls.push_back("room(" + std::to_string(r) + "," + std::to_string(f) + ")");
        *pAvailable = From(p)->AvailableAnswer;
        return TRUE;
    }

    void FillInto(ISerial* pISerial)
    {
        pISerial->m_pContext = this;
        pISerial->m_Callbacks.pRead = Read;
        pISerial->m_Callbacks.pLineStatus = Line;
        pISerial->m_Callbacks.pModemStatus = Modem;
        pISerial->m_Callbacks.pDataWritten = Written;
        pISerial->m_Callbacks.pImmediateCharacterSent = Sent;
        pISerial->m_Callbacks.pXoffSent = XoffSent;
        pISerial->m_Callbacks.pAvailableReceiveBufferSize = Room;
    }
};

class SerialPortProviderTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_TRUE(TfLibraryAddReference());
        m_Baseline = LiveTracked();
        m_pProvider = new (NonPagedPool) CRecordingProvider();
        ASSERT_NE(m_pProvider, nullptr);
    }
    void TearDown() override
    {
        delete m_pProvider;
        // The provider's record goes with it: nothing of either is left.
        EXPECT_EQ(m_Baseline, LiveTracked());
        TfLibraryRelease();
        MachineTest::TearDown();
    }
    size_t LiveTracked() { return machine().GetPool().LiveCount(TF_TAG_TRACKED); }
    CTfBuffer* NewBuffer(ULONG ulLength)
    {
        CTfBuffer* pBuffer = new (NonPagedPool) CTfBuffer();
        EXPECT_TRUE(pBuffer->m_Allocate(ulLength));
        return pBuffer;
    }

    size_t m_Baseline = 0;
    CRecordingProvider* m_pProvider = nullptr;
};

TEST_F(SerialPortProviderTest, TheFtdiRecordPublishesEveryOperationButTheOptionalOnesItLacks)
{
    struct Case {
        UCHAR duplex, lsrMst, eepromRead, eepromWrite;
    };
    for (Case c : {Case{0, 0, 0, 0}, Case{1, 0, 0, 0}, Case{1, 1, 1, 1}, Case{0, 0, 1, 0}, Case{2, 0, 0, 2}}) {
        SCOPED_TRACE(testing::Message() << "duplex " << int(c.duplex) << " lsr " << int(c.lsrMst) << " eeprom "
                                        << int(c.eepromRead) << int(c.eepromWrite));
        CRecordingProvider* pProvider = new (NonPagedPool) CRecordingProvider();
        ISerial* pISerial = pProvider->m_CreateInterface(ISERIAL_VERSION, c.duplex, ISERIAL_SUPPORTED_BAUD_UNKNOWN,
                                                         c.lsrMst, c.eepromRead, c.eepromWrite, 1, 1, 1, 1, 1, 1);
        ASSERT_NE(pISerial, nullptr);
        EXPECT_EQ(pISerial->m_pOwner, pProvider);
        EXPECT_EQ(pISerial->m_pContext, nullptr);
        EXPECT_EQ(pISerial->m_ucDuplex, c.duplex);
        const PVOID* ppOps = reinterpret_cast<const PVOID*>(&pISerial->m_Operations);
        for (int op = 1; op <= ISERIAL_OPERATION_COUNT; ++op) {
            bool published = true;
            if (op == 11) published = c.duplex == 1;
            if (op == 12) published = c.eepromRead == 1;
            if (op == 13) published = c.eepromWrite == 1;
            if (op == 18) published = c.lsrMst == 1;
            EXPECT_EQ(ppOps[op - 1] != nullptr, published) << "operation " << op;
        }
        const PVOID* ppCallbacks = reinterpret_cast<const PVOID*>(&pISerial->m_Callbacks);
        for (int cb = 0; cb < ISERIAL_CALLBACK_COUNT; ++cb) EXPECT_EQ(ppCallbacks[cb], nullptr);
        delete pProvider;
    }
}

TEST_F(SerialPortProviderTest, CapabilitiesAreStoredInRecordOrderWithDsrBeforeDtr)
{
    // Arguments in the builder's order: LSR/MST, EEPROM read, EEPROM write, CTS, RTS, DTR, DSR, DCD, RI.
    ISerial* pISerial = m_pProvider->m_CreateInterface(ISERIAL_VERSION, 0, 0x12345678, 0, 0, 0, 1, 1, 0, 1, 0, 1);
    ASSERT_NE(pISerial, nullptr);
    EXPECT_EQ(pISerial->m_ulSupportedBaudRates, 0x12345678u);
    const UCHAR* pucCaps = reinterpret_cast<const UCHAR*>(&pISerial->m_Capabilities);
    // Record order: LSR/MST, EEPROM read, EEPROM write, CTS, RTS, DSR, DTR, DCD, RI.
    EXPECT_EQ(std::vector<UCHAR>(pucCaps, pucCaps + 9), (std::vector<UCHAR>{0, 0, 0, 1, 1, 1, 0, 0, 1}));
}

TEST_F(SerialPortProviderTest, OnlyVersion5IsBuiltAndOnlyOnce)
{
    EXPECT_EQ(m_pProvider->m_CreateInterface(4, 0, ISERIAL_SUPPORTED_BAUD_UNKNOWN, 0, 0, 0, 1, 1, 1, 1, 1, 1), nullptr);
    EXPECT_EQ(m_pProvider->m_CreateInterface(6, 0, ISERIAL_SUPPORTED_BAUD_UNKNOWN, 0, 0, 0, 1, 1, 1, 1, 1, 1), nullptr);
    EXPECT_EQ(m_pProvider->m_PeekISerial(), nullptr);
    // A port without a record is an impossible state for whoever asks for it.
    EXPECT_EQ(m_pProvider->m_GetISerial(), nullptr);
    EXPECT_EQ(Take(emu::Violation::AssertReport), 1u);

    ISerial* pFirst = m_pProvider->BuildFtdi(0);
    ASSERT_NE(pFirst, nullptr);
    EXPECT_EQ(m_pProvider->BuildFtdi(1), nullptr);
    EXPECT_EQ(Take(emu::Violation::AssertReport), 1u);
    EXPECT_EQ(m_pProvider->m_GetISerial(), pFirst);
    EXPECT_EQ(pFirst->m_ucDuplex, 0);
}

TEST_F(SerialPortProviderTest, EachOperationReachesItsMemberWithItsArguments)
{
    ISerial* pISerial = m_pProvider->m_CreateInterface(ISERIAL_VERSION, 1, ISERIAL_SUPPORTED_BAUD_UNKNOWN, 1, 1, 1, 1,
                                                       1, 1, 1, 1, 1);
    ASSERT_NE(pISerial, nullptr);
    ISERIAL_OPERATIONS& Ops = pISerial->m_Operations;
    CSerialPortProvider* pOwner = pISerial->m_pOwner;
    UCHAR aucEeprom[4] = {};
    ULONG ulTx = 0, ulRx = 0, ulMax = 0;
    struct Case {
        std::function<BOOLEAN()> call;
        std::string expected;
        BOOLEAN result;
    };
    std::vector<Case> cases = {
        {[&] { return Ops.pConnect(pOwner); }, "connect", TRUE},
        {[&] { return Ops.pDisconnect(pOwner); }, "disconnect", TRUE},
        {[&] { return Ops.pWrite(pOwner, NewBuffer(7)); }, "write(7)", TRUE},
        {[&] { return Ops.pSetRts(pOwner, TRUE); }, "rts(1)", TRUE},
        {[&] { return Ops.pSetDtr(pOwner, FALSE); }, "dtr(0)", TRUE},
        {[&] { return Ops.pCommSettings(pOwner, 3, 2, 1); }, "comm(3,2,1)", TRUE},
        {[&] { return Ops.pSetBaudRate(pOwner, 115200); }, "baud(115200)", TRUE},
        {[&] { return Ops.pTriggerLevels(pOwner, 1, 8, 14); }, "trigger(1,8,14)", TRUE},
        {[&] { return Ops.pHandshaking(pOwner, 1, 0, 1, 0, 1, 0, 1, 1, 0, 0, 1, 0); }, "handshake(101010110010)", TRUE},
        {[&] { return Ops.pInternalLoopback(pOwner, TRUE); }, "loopback(1)", TRUE},
        {[&] { return Ops.pDuplexMode(pOwner, 2, TRUE); }, "duplex(2,1)", TRUE},
        // EEPROM access is the base's: refused, nothing reaches the port class.
        {[&] { return Ops.pReadEeprom(pOwner, 0, 4, aucEeprom); }, "", FALSE},
        {[&] { return Ops.pWriteEeprom(pOwner, 0, 4, aucEeprom); }, "", FALSE},
        {[&] { return Ops.pSetBreak(pOwner, TRUE); }, "break(1)", TRUE},
        {[&] { return Ops.pPurge(pOwner, TRUE, FALSE); }, "purge(1,0)", TRUE},
        {[&] { return Ops.pIsBaudRateSettable(pOwner, 300); }, "settable(300)", TRUE},
        {[&] { return Ops.pSpecialCharacters(pOwner, 1, 2, 3, 4, 17, 19); }, "chars(1,2,3,4,17,19)", TRUE},
        {[&] { return Ops.pLsrMstInsertion(pOwner, 0xFF); }, "lsrmst(255)", TRUE},
        {[&] { return Ops.pPretendXoffReceived(pOwner, TRUE); }, "pretend(1)", TRUE},
        {[&] { return Ops.pSendImmediateCharacter(pOwner, 'A'); }, "immediate(65)", TRUE},
        {[&] { return Ops.pGetFifoSizes(pOwner, &ulTx, &ulRx); }, "fifo", TRUE},
        {[&] { return Ops.pGetModemStatus(pOwner); }, "modem", TRUE},
        {[&] { return Ops.pSendXonXoff(pOwner, TRUE); }, "xonxoff(1)", TRUE},
        {[&] { return Ops.pGetMaximumBaudRate(pOwner, &ulMax); }, "maxbaud", TRUE},
    };
    ASSERT_EQ(cases.size(), size_t(ISERIAL_OPERATION_COUNT));
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "operation " << i + 1);
        m_pProvider->Calls.clear();
        EXPECT_EQ(cases[i].call(), cases[i].result);
        std::vector<std::string> expected;
        if (!cases[i].expected.empty()) expected.push_back(cases[i].expected);
        EXPECT_EQ(m_pProvider->Calls, expected);
    }
    EXPECT_EQ(ulTx, 128u);
    EXPECT_EQ(ulRx, 256u);
    EXPECT_EQ(ulMax, 1000000u);
    // A null owner is a failed call, and a buffer handed over with it is not lost.
    m_pProvider->Calls.clear();
    EXPECT_FALSE(Ops.pConnect(nullptr));
    EXPECT_FALSE(Ops.pWrite(nullptr, NewBuffer(3)));
    EXPECT_TRUE(m_pProvider->Calls.empty());
}

TEST_F(SerialPortProviderTest, CallbacksAreRaisedOnlyWithTheirPointerAndTheContext)
{
    ISerial* pISerial = m_pProvider->BuildFtdi(0);
    ASSERT_NE(pISerial, nullptr);
    PortDriverSide side;
    side.AvailableAnswer = 3000;
    ULONG ulAvailable = 0;
    auto raiseAll = [&] {
        std::vector<BOOLEAN> results = {
            m_pProvider->m_InvokeRead(NewBuffer(5)),
            m_pProvider->m_InvokeLineStatus(1, 0, 0, 1, 1, 0, 0, 1),
            m_pProvider->m_InvokeModemStatus(1, 1, 0, 1, 0),
            m_pProvider->m_InvokeDataWritten(4096),
            m_pProvider->m_InvokeImmediateCharacterSent(),
            m_pProvider->m_InvokeXoffSent(TRUE),
            m_pProvider->m_InvokeAvailableReceiveBufferSize(62, 318, &ulAvailable),
        };
        return results;
    };

    // Callbacks written, context not yet: nothing is called, every invoker answers FALSE, and the
    // received buffer is freed rather than lost (the fixture checks the pool).
    side.FillInto(pISerial);
    pISerial->m_pContext = nullptr;
    EXPECT_EQ(raiseAll(), std::vector<BOOLEAN>(7, FALSE));
    EXPECT_TRUE(side.Calls.empty());

    // Context written, callbacks not: the same.
    ISERIAL_CALLBACKS Saved = pISerial->m_Callbacks;
    RtlZeroMemory(&pISerial->m_Callbacks, sizeof(pISerial->m_Callbacks));
    pISerial->m_pContext = &side;
    EXPECT_EQ(raiseAll(), std::vector<BOOLEAN>(7, FALSE));
    EXPECT_TRUE(side.Calls.empty());

    // Both: each callback gets its arguments in order.
    pISerial->m_Callbacks = Saved;
    EXPECT_EQ(raiseAll(), std::vector<BOOLEAN>(7, TRUE));
    EXPECT_EQ(side.Calls, (std::vector<std::string>{"read(5)", "line(10011001)", "modem(11010)", "written(4096)",
                                                    "sent", "xoffsent(1)", "room(62,318)"}));
    EXPECT_EQ(ulAvailable, 3000u);
}

}  // namespace
