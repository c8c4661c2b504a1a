// The named callback object shared by the drivers: one system object per GUID, every registered
// routine reached by a notification, nothing reached once deleted, deletion waiting for a call that
// is running, clean failures; and the image's message table.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ex/callback_manager.h"
#include "ex/pool.h"
#include "machine_test.h"
#include "tfcallbackobject.h"
#include "tfeventlogmessages.h"
#include "tfmemorytracker.h"

namespace {

constexpr GUID kFrameworkGuid = {0xB7D1E087, 0xF16B, 0x40C1, {0xB5, 0x5E, 0xA9, 0xB4, 0x12, 0xD7, 0x1B, 0xE3}};
constexpr char16_t kObjectName[] = u"\\callback\\{b7d1e087-f16b-40c1-b55e-a9b412d71be3}";
constexpr ULONG kTracked = emu::PoolTag("TfKi");

struct Call {
    int nOwner;
    PVOID pArgument1;
    PVOID pArgument2;
};

// What one owner's routine saw.
struct Owner {
    int nId = 0;
    std::vector<Call>* pCalls = nullptr;
};

void Record(PVOID pContext, PVOID pArgument1, PVOID pArgument2)
{
    Owner* pOwner = (Owner*)pContext;
    pOwner->pCalls->push_back({pOwner->nId, pArgument1, pArgument2});
}

class CallbackObjectTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        m_pPrevious = TfSwapLibraryState(&m_State);
        ASSERT_TRUE(TfLibraryAddReference());
    }
    void TearDown() override
    {
        TfLibraryRelease();
        EXPECT_EQ(machine().GetPool().LiveCount(kTracked), 0u);
        TfSwapLibraryState(m_pPrevious);
        MachineTest::TearDown();
    }

    emu::CallbackManager& callbacks() { return machine().GetCallbacks(); }

    TF_LIBRARY_STATE m_State = {0, nullptr};
    PTF_LIBRARY_STATE m_pPrevious = nullptr;
};

TEST_F(CallbackObjectTest, TwoDriversShareOneObjectAndBothRoutinesReceiveEachNotification)
{
    std::vector<Call> calls;
    Owner first{1, &calls}, second{2, &calls};
    CTfCallbackObject FirstDriver, SecondDriver;
    ASSERT_TRUE(FirstDriver.m_Create(kFrameworkGuid, &Record, &first));

    // The second driver is another image with its own tracker.
    TF_LIBRARY_STATE OtherImage = {0, nullptr};
    PTF_LIBRARY_STATE pMine = TfSwapLibraryState(&OtherImage);
    ASSERT_TRUE(TfLibraryAddReference());
    EXPECT_TRUE(SecondDriver.m_Create(kFrameworkGuid, &Record, &second));
    TfLibraryRelease();
    TfSwapLibraryState(pMine);

    PCALLBACK_OBJECT pObject = callbacks().Find(kObjectName);
    ASSERT_NE(pObject, nullptr);
    EXPECT_EQ(FirstDriver.m_GetCallbackObject(), pObject);
    EXPECT_EQ(SecondDriver.m_GetCallbackObject(), pObject);
    EXPECT_TRUE(callbacks().IsPermanent(pObject));
    EXPECT_EQ(callbacks().RegistrationCount(pObject), 2u);

    EXPECT_TRUE(SecondDriver.m_Notify((PVOID)0x11, (PVOID)0x22));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].nOwner, 1);
    EXPECT_EQ(calls[1].nOwner, 2);
    for (const Call& call : calls) {
        EXPECT_EQ(call.pArgument1, (PVOID)0x11);
        EXPECT_EQ(call.pArgument2, (PVOID)0x22);
    }

    // A deleted registration is reached no more, and its owner cannot notify.
    FirstDriver.m_Delete();
    EXPECT_FALSE(FirstDriver.m_Notify(NULL, NULL));
    EXPECT_EQ(callbacks().RegistrationCount(pObject), 1u);
    calls.clear();
    EXPECT_TRUE(SecondDriver.m_Notify((PVOID)3, NULL));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].nOwner, 2);

    // Deleting twice is harmless; the permanent object outlives both drivers.
    FirstDriver.m_Delete();
    SecondDriver.m_Delete();
    EXPECT_FALSE(SecondDriver.m_Notify(NULL, NULL));
    EXPECT_EQ(callbacks().RegistrationCount(), 0u);
    EXPECT_EQ(callbacks().Find(kObjectName), pObject);
}

TEST_F(CallbackObjectTest, ANotifyOnlyObjectReachesTheOthersAndIsClosedByDelete)
{
    std::vector<Call> calls;
    Owner owner{7, &calls};
    CTfCallbackObject Listener, Notifier, NeverCreated;
    EXPECT_FALSE(NeverCreated.m_Notify(NULL, NULL));

    ASSERT_TRUE(Listener.m_Create(kFrameworkGuid, &Record, &owner));
    ASSERT_TRUE(Notifier.m_Create(kFrameworkGuid, NULL, NULL));
    EXPECT_FALSE(Notifier.m_IsRegistered());
    EXPECT_EQ(callbacks().RegistrationCount(), 1u);

    EXPECT_TRUE(Notifier.m_Notify((PVOID)5, (PVOID)6));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].pArgument1, (PVOID)5);

    Notifier.m_Delete();
    EXPECT_FALSE(Notifier.m_Notify((PVOID)5, (PVOID)6));
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(Notifier.m_GetCallbackObject(), nullptr);

    // Created again after a delete, it notifies again.
    ASSERT_TRUE(Notifier.m_Create(kFrameworkGuid, NULL, NULL));
    EXPECT_TRUE(Notifier.m_Notify(NULL, NULL));
    EXPECT_EQ(calls.size(), 2u);
}

TEST_F(CallbackObjectTest, DestroyingARegisteredObjectUnregistersIt)
{
    std::vector<Call> calls;
    Owner owner{1, &calls};
    CTfCallbackObject Notifier;
    ASSERT_TRUE(Notifier.m_Create(kFrameworkGuid, NULL, NULL));
    {
        CTfCallbackObject Listener;
        ASSERT_TRUE(Listener.m_Create(kFrameworkGuid, &Record, &owner));
        EXPECT_EQ(callbacks().RegistrationCount(), 1u);
    }
    EXPECT_EQ(callbacks().RegistrationCount(), 0u);
    EXPECT_TRUE(Notifier.m_Notify(NULL, NULL));
    EXPECT_TRUE(calls.empty());
}

// A routine that blocks until the test lets it go.
struct Blocker {
    std::atomic<bool> bEntered{false};
    std::atomic<bool> bRelease{false};
    std::atomic<bool> bReturned{false};
};

void Block(PVOID pContext, PVOID, PVOID)
{
    Blocker* pBlocker = (Blocker*)pContext;
    pBlocker->bEntered = true;
    pBlocker->bEntered.notify_all();
    pBlocker->bRelease.wait(false);
    pBlocker->bReturned = true;
}

TEST_F(CallbackObjectTest, DeleteWaitsForARunningCall)
{
    Blocker blocker;
    CTfCallbackObject Listener, Notifier;
    ASSERT_TRUE(Listener.m_Create(kFrameworkGuid, &Block, &blocker));
    ASSERT_TRUE(Notifier.m_Create(kFrameworkGuid, NULL, NULL));

    std::thread notifying([&] { EXPECT_TRUE(Notifier.m_Notify(NULL, NULL)); });
    blocker.bEntered.wait(false);

    std::atomic<bool> bDeleteStarted{false}, bDeleteReturned{false};
    bool bCallDoneWhenDeleteReturned = false;
    std::thread deleting([&] {
        bDeleteStarted = true;
        bDeleteStarted.notify_all();
        Listener.m_Delete();
        bCallDoneWhenDeleteReturned = blocker.bReturned;
        bDeleteReturned = true;
    });
    bDeleteStarted.wait(false);
    // Give a delete that does not wait every chance to return early.
    for (int i = 0; i < 1000 && !bDeleteReturned; ++i) std::this_thread::yield();
    EXPECT_FALSE(bDeleteReturned);

    blocker.bRelease = true;
    blocker.bRelease.notify_all();
    deleting.join();
    notifying.join();
    EXPECT_TRUE(bCallDoneWhenDeleteReturned);
    EXPECT_FALSE(Listener.m_Notify(NULL, NULL));
}

TEST_F(CallbackObjectTest, FailuresLeaveNothingRegistered)
{
    std::vector<Call> calls;
    Owner owner{1, &calls};
    CTfCallbackObject Notifier, Listener;
    ASSERT_TRUE(Notifier.m_Create(kFrameworkGuid, NULL, NULL));

    machine().GetPool().FailNextWithTag(emu::CallbackManager::kRegistrationTag);
    EXPECT_FALSE(Listener.m_Create(kFrameworkGuid, &Record, &owner));
    EXPECT_FALSE(Listener.m_IsRegistered());
    EXPECT_EQ(Listener.m_GetCallbackObject(), nullptr);
    EXPECT_FALSE(Listener.m_Notify(NULL, NULL));
    EXPECT_EQ(callbacks().RegistrationCount(), 0u);

    // The name cannot be built: nothing is opened.
    machine().GetPool().FailNth(1);
    EXPECT_FALSE(Listener.m_Create(kFrameworkGuid, &Record, &owner));
    machine().GetPool().FailNth(0);
    EXPECT_EQ(Listener.m_GetCallbackObject(), nullptr);

    // After the failures the same object still works.
    ASSERT_TRUE(Listener.m_Create(kFrameworkGuid, &Record, &owner));
    EXPECT_TRUE(Notifier.m_Notify(NULL, NULL));
    EXPECT_EQ(calls.size(), 1u);
}

TEST_F(CallbackObjectTest, ObjectsOfOtherGuidsAreSeparate)
{
    constexpr GUID kOther = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
    std::vector<Call> calls;
    Owner owner{1, &calls};
    CTfCallbackObject Listener, Notifier;
    ASSERT_TRUE(Listener.m_Create(kFrameworkGuid, &Record, &owner));
    ASSERT_TRUE(Notifier.m_Create(kOther, NULL, NULL));
    EXPECT_NE(Notifier.m_GetCallbackObject(), Listener.m_GetCallbackObject());
    EXPECT_NE(callbacks().Find(u"\\Callback\\{12345678-1234-5678-0102-030405060708}"), nullptr);
    EXPECT_TRUE(Notifier.m_Notify(NULL, NULL));
    EXPECT_TRUE(calls.empty());
}

// ----- message table ---------------------------------------------------------------------------

TEST(EventLogMessagesTest, ThreeCustomerMessagesOfFacilitySevenWithOneText)
{
    const ULONG kIds[] = {0x60070001, 0xA0070401, 0xE0070801};
    const ULONG kSeverities[] = {1, 2, 3};  // informational, warning, error
    const ULONG kCodes[] = {0x001, 0x401, 0x801};
    const std::u16string kText = u"Castel Vane Ltd - (%1).\r\n";
    ASSERT_EQ(TF_EVENT_MESSAGE_COUNT, 3);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const TF_EVENT_MESSAGE& message = g_TfEventMessages[i];
        EXPECT_EQ(message.ulMessageId, kIds[i]);
        EXPECT_EQ(message.ulMessageId >> 30, kSeverities[i]);
        EXPECT_EQ((message.ulMessageId >> 29) & 1, 1u);
        EXPECT_EQ((message.ulMessageId >> 16) & 0xFFF, (ULONG)TF_EVENT_FACILITY);
        EXPECT_EQ(message.ulMessageId & 0xFFFF, kCodes[i]);
        EXPECT_EQ(std::u16string(message.pszText), kText);
        EXPECT_EQ(TfFindEventMessage(kIds[i]), &message);
    }
    EXPECT_EQ(TfFindEventMessage(0x60070002), nullptr);
}

}  // namespace
