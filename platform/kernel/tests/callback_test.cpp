// Named callback objects: one object per name across drivers, its lifetime under references and
// OBJ_PERMANENT, notification order and IRQL, and unregistering while a call is running.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ex/callback_manager.h"
#include "ex/pool.h"
#include "machine_test.h"

namespace emu::testing {
namespace {

constexpr const WCHAR* kName = u"\\Callback\\{B7D1E087-F16B-40C1-B55E-A9B412D71BE3}";

// One registered routine's view of the calls it got.
struct Listener {
    std::string name;
    std::vector<std::string>* order = nullptr;
    std::atomic<int> calls{0};
    PVOID argument1 = nullptr;
    PVOID argument2 = nullptr;
    KIRQL irql = PASSIVE_LEVEL;
};

void Listen(PVOID context, PVOID argument1, PVOID argument2)
{
    auto* listener = static_cast<Listener*>(context);
    listener->argument1 = argument1;
    listener->argument2 = argument2;
    listener->irql = KeGetCurrentIrql();
    if (listener->order) listener->order->push_back(listener->name);
    ++listener->calls;
}

class CallbackObjectTest : public MachineTest {
protected:
    CallbackManager& callbacks() { return machine().GetCallbacks(); }

    NTSTATUS Create(PCALLBACK_OBJECT* object, const WCHAR* name, BOOLEAN create, ULONG attributes = 0x50,
                    BOOLEAN allowMultiple = TRUE)
    {
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, name);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, name ? &text : nullptr, attributes, nullptr, nullptr);
        return ExCreateCallback(object, &oa, create, allowMultiple);
    }
    PCALLBACK_OBJECT CreateOrFail(const WCHAR* name, ULONG attributes = 0x50, BOOLEAN allowMultiple = TRUE)
    {
        PCALLBACK_OBJECT object = nullptr;
        EXPECT_EQ(Create(&object, name, TRUE, attributes, allowMultiple), STATUS_SUCCESS);
        return object;
    }
};

TEST_F(CallbackObjectTest, TwoDriversCreatingOneNameShareOneObject)
{
    PCALLBACK_OBJECT first = CreateOrFail(kName);
    PCALLBACK_OBJECT second = CreateOrFail(u"\\CALLBACK\\{b7d1e087-f16b-40c1-b55e-a9b412d71be3}");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    PCALLBACK_OBJECT opened = nullptr;
    EXPECT_EQ(Create(&opened, kName, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(opened, first);
    EXPECT_EQ(callbacks().ObjectCount(), 1u);

    // Each driver registers on its own pointer; a notification reaches both.
    Listener one{"one"}, two{"two"};
    PVOID r1 = ExRegisterCallback(first, Listen, &one);
    PVOID r2 = ExRegisterCallback(second, Listen, &two);
    ASSERT_NE(r1, nullptr);
    ASSERT_NE(r2, nullptr);
    EXPECT_NE(r1, r2);
    ExNotifyCallback(first, &one, &two);
    EXPECT_EQ(one.calls, 1);
    EXPECT_EQ(two.calls, 1);
    EXPECT_EQ(two.argument1, &one);
    EXPECT_EQ(two.argument2, &two);

    ExUnregisterCallback(r1);
    ExUnregisterCallback(r2);
    for (PCALLBACK_OBJECT object : {first, second, opened}) ObDereferenceObject(object);
    // Permanent: still there for the next driver to load.
    EXPECT_EQ(callbacks().Find(kName), first);
    EXPECT_TRUE(callbacks().IsPermanent(first));
}

TEST_F(CallbackObjectTest, NamesThatCannotBeOpenedOrCreated)
{
    PCALLBACK_OBJECT object = reinterpret_cast<PCALLBACK_OBJECT>(0x1);
    EXPECT_EQ(Create(&object, kName, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(Create(&object, nullptr, TRUE), STATUS_UNSUCCESSFUL);  // callback objects must be named
    EXPECT_EQ(Create(&object, u"Callback\\X", TRUE), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Create(&object, u"\\Device\\X", TRUE), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Create(&object, u"\\Callback\\A\\B", TRUE), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Create(&object, u"\\Callback\\", TRUE), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(callbacks().ObjectCount(), 0u);

    machine().GetPool().FailNextWithTag(CallbackManager::kObjectTag);
    EXPECT_EQ(Create(&object, kName, TRUE), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(callbacks().Find(kName), nullptr);
}

TEST_F(CallbackObjectTest, TemporaryObjectLivesWhileReferencedOrRegistered)
{
    PCALLBACK_OBJECT object = CreateOrFail(kName, OBJ_CASE_INSENSITIVE);
    EXPECT_FALSE(callbacks().IsPermanent(object));
    Listener listener;
    PVOID registration = ExRegisterCallback(object, Listen, &listener);
    ASSERT_NE(registration, nullptr);
    ObDereferenceObject(object);
    // The registration holds it.
    EXPECT_EQ(callbacks().Find(kName), object);
    ExNotifyCallback(object, nullptr, nullptr);
    EXPECT_EQ(listener.calls, 1);

    ExUnregisterCallback(registration);
    EXPECT_EQ(callbacks().Find(kName), nullptr);
    EXPECT_EQ(callbacks().ObjectCount(), 0u);
    EXPECT_EQ(machine().GetPool().LiveCount(CallbackManager::kObjectTag), 0u);
    EXPECT_EQ(machine().GetPool().LiveCount(CallbackManager::kRegistrationTag), 0u);
    PCALLBACK_OBJECT again = nullptr;
    EXPECT_EQ(Create(&again, kName, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(CallbackObjectTest, PermanentObjectOutlivesEveryDriverUntilShutdown)
{
    PCALLBACK_OBJECT object = CreateOrFail(kName);
    ObDereferenceObject(object);
    PCALLBACK_OBJECT opened = nullptr;
    ASSERT_EQ(Create(&opened, kName, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(opened, object);
    ObDereferenceObject(opened);
    EXPECT_EQ(machine().GetPool().LiveCount(CallbackManager::kObjectTag), 1u);
    // The machine takes it down with itself (the sanitizers would see a leak otherwise).
    ShutDownMachine();
}

TEST_F(CallbackObjectTest, NotificationCallsEveryRegistrationInOrderAtTheCallersIrql)
{
    PCALLBACK_OBJECT object = CreateOrFail(kName);
    std::vector<std::string> order;
    Listener a{"a", &order}, b{"b", &order}, c{"c", &order};
    PVOID ra = ExRegisterCallback(object, Listen, &a);
    PVOID rb = ExRegisterCallback(object, Listen, &b);
    PVOID rc = ExRegisterCallback(object, Listen, &c);
    {
        ScopedIrql dispatch(DISPATCH_LEVEL);
        ExNotifyCallback(object, &order, nullptr);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(b.irql, DISPATCH_LEVEL);
    EXPECT_EQ(c.argument1, &order);

    // Unregistering one keeps the others' order; a new one goes last.
    ExUnregisterCallback(rb);
    PVOID rb2 = ExRegisterCallback(object, Listen, &b);
    order.clear();
    ExNotifyCallback(object, nullptr, nullptr);
    EXPECT_EQ(order, (std::vector<std::string>{"a", "c", "b"}));
    EXPECT_EQ(a.irql, PASSIVE_LEVEL);

    for (PVOID r : {ra, rc, rb2}) ExUnregisterCallback(r);
    order.clear();
    ExNotifyCallback(object, nullptr, nullptr);
    EXPECT_TRUE(order.empty());
    ObDereferenceObject(object);
}

TEST_F(CallbackObjectTest, SingleRegistrationObjectRefusesASecond)
{
    PCALLBACK_OBJECT object = CreateOrFail(kName, 0x50, FALSE);
    // Opening it asking for multiple registrations does not change what it allows.
    PCALLBACK_OBJECT opened = CreateOrFail(kName, 0x50, TRUE);
    Listener one, two;
    PVOID first = ExRegisterCallback(object, Listen, &one);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(ExRegisterCallback(opened, Listen, &two), nullptr);
    ExUnregisterCallback(first);
    PVOID second = ExRegisterCallback(opened, Listen, &two);
    EXPECT_NE(second, nullptr);
    ExUnregisterCallback(second);
    ObDereferenceObject(object);
    ObDereferenceObject(opened);
}

TEST_F(CallbackObjectTest, RegistrationFailsWithoutPoolAndLeavesNothingBehind)
{
    PCALLBACK_OBJECT object = CreateOrFail(kName, OBJ_CASE_INSENSITIVE);
    Listener listener;
    machine().GetPool().FailNextWithTag(CallbackManager::kRegistrationTag);
    EXPECT_EQ(ExRegisterCallback(object, Listen, &listener), nullptr);
    EXPECT_EQ(callbacks().RegistrationCount(object), 0u);
    // No reference was left on the object either: the caller's one is the last.
    ObDereferenceObject(object);
    EXPECT_EQ(callbacks().ObjectCount(), 0u);
}

TEST_F(CallbackObjectTest, MisuseIsReported)
{
    int notAnObject = 0;
    Listener listener;
    ExNotifyCallback(&notAnObject, nullptr, nullptr);
    EXPECT_EQ(Take(Violation::Bugcheck), 1u);

    PCALLBACK_OBJECT object = CreateOrFail(kName);
    PVOID registration = ExRegisterCallback(object, Listen, &listener);
    ExUnregisterCallback(registration);
    ExUnregisterCallback(registration);  // twice
    EXPECT_EQ(Take(Violation::Bugcheck), 1u);
    {
        ScopedIrql dispatch(DISPATCH_LEVEL);
        PVOID late = ExRegisterCallback(object, Listen, &listener);
        ExUnregisterCallback(late);  // it may wait: not allowed at DISPATCH_LEVEL
    }
    EXPECT_EQ(Take(Violation::IrqlTooHigh), 1u);
    ObDereferenceObject(object);
}

// Blocks inside the registered routine until released.
struct Blocker {
    std::latch entered{1};
    std::latch release{1};
    std::atomic<bool> finished{false};
};

void Block(PVOID context, PVOID, PVOID)
{
    auto* blocker = static_cast<Blocker*>(context);
    blocker->entered.count_down();
    blocker->release.wait();
    blocker->finished = true;
}

TEST_F(CallbackObjectTest, UnregisterWaitsForTheRunningCall)
{
    PCALLBACK_OBJECT object = CreateOrFail(kName);
    Blocker blocker;
    PVOID registration = ExRegisterCallback(object, Block, &blocker);
    std::thread notifier([&] { ExNotifyCallback(object, nullptr, nullptr); });
    blocker.entered.wait();

    std::atomic<bool> returned{false};
    std::atomic<bool> finishedWhenReturned{false};
    std::thread unregisterer([&] {
        ExUnregisterCallback(registration);
        finishedWhenReturned = blocker.finished.load();
        returned = true;
    });
    // Wait until the unregistration has begun (the object no longer lists it), bounded in real
    // time so that a broken build fails rather than hangs.
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (callbacks().RegistrationCount(object) != 0 && std::chrono::steady_clock::now() < bound)
        std::this_thread::yield();
    EXPECT_EQ(callbacks().RegistrationCount(object), 0u);
    EXPECT_FALSE(returned);

    blocker.release.count_down();
    unregisterer.join();
    notifier.join();
    EXPECT_TRUE(returned);
    EXPECT_TRUE(finishedWhenReturned);
    ObDereferenceObject(object);
}

struct SelfRemover {
    PVOID registration = nullptr;
    int calls = 0;
};

void UnregisterSelf(PVOID context, PVOID, PVOID)
{
    auto* self = static_cast<SelfRemover*>(context);
    ++self->calls;
    ExUnregisterCallback(self->registration);
}

TEST_F(CallbackObjectTest, UnregisteringFromItsOwnCallIsReportedAndDoesNotHang)
{
    PCALLBACK_OBJECT object = CreateOrFail(kName);
    SelfRemover self;
    Listener after{"after"};
    self.registration = ExRegisterCallback(object, UnregisterSelf, &self);
    PVOID afterRegistration = ExRegisterCallback(object, Listen, &after);
    ExNotifyCallback(object, nullptr, nullptr);
    EXPECT_EQ(Take(Violation::Bugcheck), 1u);
    EXPECT_EQ(after.calls, 1);  // the rest of the notification goes on
    ExNotifyCallback(object, nullptr, nullptr);
    EXPECT_EQ(self.calls, 1);
    EXPECT_EQ(after.calls, 2);
    EXPECT_EQ(machine().GetPool().LiveCount(CallbackManager::kRegistrationTag), 1u);
    ExUnregisterCallback(afterRegistration);
    ObDereferenceObject(object);
}

// A routine must never be called once ExUnregisterCallback has returned, however notifications
// and unregistrations interleave.
struct Guarded {
    std::atomic<bool> gone{false};
    std::atomic<int> lateCalls{0};
};

void GuardedCall(PVOID context, PVOID, PVOID)
{
    auto* guarded = static_cast<Guarded*>(context);
    if (guarded->gone) ++guarded->lateCalls;
}

TEST_F(CallbackObjectTest, NoCallAfterUnregisterReturnsUnderConcurrentNotification)
{
    PCALLBACK_OBJECT object = CreateOrFail(kName);
    std::atomic<bool> stop{false};
    std::vector<std::thread> notifiers;
    for (int i = 0; i < 3; ++i)
        notifiers.emplace_back([&, i] {
            while (!stop) {
                // Notifiers at both levels a driver may notify from.
                KIRQL old;
                KeRaiseIrql(i == 0 ? DISPATCH_LEVEL : PASSIVE_LEVEL, &old);
                ExNotifyCallback(object, nullptr, nullptr);
                KeLowerIrql(old);
            }
        });
    constexpr int kRounds = 500;
    std::vector<Guarded> guards(kRounds);
    for (Guarded& guarded : guards) {
        PVOID registration = ExRegisterCallback(object, GuardedCall, &guarded);
        ASSERT_NE(registration, nullptr);
        ExUnregisterCallback(registration);
        guarded.gone = true;
    }
    stop = true;
    for (std::thread& t : notifiers) t.join();
    int late = 0;
    for (Guarded& guarded : guards) late += guarded.lateCalls;
    EXPECT_EQ(late, 0);
    EXPECT_EQ(callbacks().RegistrationCount(), 0u);
    ObDereferenceObject(object);
}

}  // namespace
}  // namespace emu::testing
