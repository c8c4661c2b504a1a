// Named callback objects of the emulated machine (ExCreateCallback and its siblings).
//
// Callback objects live in the "\Callback" directory; names compare without regard to case. The
// object manager counts the references: ExCreateCallback hands one to its caller, every
// registration holds one, and an object created with OBJ_PERMANENT keeps one of the machine's
// until the machine shuts down. Notification calls the registered functions in registration order
// on the notifier's thread, at its IRQL; unregistering waits for calls of that registration running
// on other threads.
#pragma once

#include <wdm.h>

#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ex/pool.h"

namespace emu {

class Kernel;

class CallbackManager {
public:
    // Pool tags of the object bodies and of the registration records (allocation faults injected
    // with these tags make ExCreateCallback and ExRegisterCallback fail).
    static constexpr ULONG kObjectTag = PoolTag("Cbko");
    static constexpr ULONG kRegistrationTag = PoolTag("Cbrb");

    explicit CallbackManager(Kernel& machine);
    // Lets go of the permanent objects; objects still referenced live on until the object manager
    // goes away.
    ~CallbackManager();
    CallbackManager(const CallbackManager&) = delete;
    CallbackManager& operator=(const CallbackManager&) = delete;

    // ---- The kernel's entry points -----------------------------------------------------------
    NTSTATUS Create(PCALLBACK_OBJECT* callbackObject, POBJECT_ATTRIBUTES objectAttributes, BOOLEAN create,
                    BOOLEAN allowMultipleCallbacks);
    PVOID Register(PCALLBACK_OBJECT callbackObject, PCALLBACK_FUNCTION function, PVOID context);
    void Unregister(PVOID registration);
    void Notify(PVOID callbackObject, PVOID argument1, PVOID argument2);

    // ---- Census for tests --------------------------------------------------------------------
    // The live object of that full name ("\Callback\X", any case), without a new reference.
    PCALLBACK_OBJECT Find(std::u16string_view name) const;
    size_t ObjectCount() const;
    size_t RegistrationCount() const;
    size_t RegistrationCount(PCALLBACK_OBJECT callbackObject) const;
    bool IsPermanent(PCALLBACK_OBJECT callbackObject) const;

private:
    struct Registration {
        void* handle = nullptr;  // the pool block handed out as the registration handle
        void* object = nullptr;
        PCALLBACK_FUNCTION function = nullptr;
        PVOID context = nullptr;
        bool unregistered = false;
        // One entry per call of the function under way, naming the thread that makes it.
        std::vector<std::thread::id> running;
    };
    struct Object {
        std::u16string key;  // upper-cased full name
        bool allowMultiple = true;
        bool permanent = false;
        std::vector<std::shared_ptr<Registration>> registrations;  // in registration order
    };
    // Shared with the object manager's destroy routines, which may run after this manager is
    // gone (an object a driver never dereferenced is destroyed with the object manager).
    struct State {
        std::mutex mutex;
        std::condition_variable idle;  // a registration's last running call has returned
        std::map<std::u16string, void*> names;
        std::unordered_map<void*, Object> objects;
        std::unordered_map<void*, std::shared_ptr<Registration>> registrations;
    };

    static void DestroyObject(const std::shared_ptr<State>& state, Pool* pool, void* body);
    // The name's key, or a failure status for a name this directory cannot hold.
    static NTSTATUS KeyOf(POBJECT_ATTRIBUTES objectAttributes, std::u16string& key);

    Kernel& m_kernel;
    std::shared_ptr<State> m_state;
};

}  // namespace emu
