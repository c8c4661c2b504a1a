#include "ex/callback_manager.h"

#include "ex/pool.h"
#include "rtl/rtl_text.h"
#include "kernel.h"
#include "ob/object_manager.h"
#include "vf/verifier.h"

#include <algorithm>

namespace emu {

namespace {

constexpr std::u16string_view kDirectory = u"\\CALLBACK\\";
constexpr size_t kBodySize = 64;  // opaque to drivers; only its address matters

bool CheckIrql(Kernel& machine, const char* function, KIRQL highest)
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql <= highest) return true;
    machine.GetVerifier().Report(Violation::IrqlTooHigh,
                                 std::string(function) + " called at IRQL " + std::to_string(irql));
    return false;
}

}  // namespace

CallbackManager::CallbackManager(Kernel& machine) : m_kernel(machine), m_state(std::make_shared<State>()) {}

CallbackManager::~CallbackManager()
{
    std::vector<void*> permanent;
    {
        std::lock_guard lock(m_state->mutex);
        for (auto& [body, object] : m_state->objects) {
            if (!object.permanent) continue;
            object.permanent = false;
            permanent.push_back(body);
        }
    }
    for (void* body : permanent) m_kernel.GetObjectManager().Dereference(body);
}

NTSTATUS CallbackManager::KeyOf(POBJECT_ATTRIBUTES objectAttributes, std::u16string& key)
{
    if (!objectAttributes) return STATUS_INVALID_PARAMETER;
    PUNICODE_STRING name = objectAttributes->ObjectName;
    // Callback objects must be named.
    if (!name || name->Length == 0) return STATUS_UNSUCCESSFUL;
    if ((name->Length & 1) != 0 || !name->Buffer || name->Length > name->MaximumLength)
        return STATUS_OBJECT_NAME_INVALID;
    // Names relative to a directory handle would need the namespace's directories; this
    // directory is only reached by its full path.
    if (objectAttributes->RootDirectory) return STATUS_INVALID_PARAMETER;

    std::u16string_view text(reinterpret_cast<const char16_t*>(name->Buffer), name->Length / sizeof(WCHAR));
    if (text.front() != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    key.resize(text.size());
    std::transform(text.begin(), text.end(), key.begin(), Upcase);
    if (key.size() <= kDirectory.size() || key.compare(0, kDirectory.size(), kDirectory) != 0)
        return STATUS_OBJECT_PATH_NOT_FOUND;
    if (key.find(u'\\', kDirectory.size()) != std::u16string::npos) return STATUS_OBJECT_PATH_NOT_FOUND;
    return STATUS_SUCCESS;
}

NTSTATUS CallbackManager::Create(PCALLBACK_OBJECT* callbackObject, POBJECT_ATTRIBUTES objectAttributes,
                                 BOOLEAN create, BOOLEAN allowMultipleCallbacks)
{
    CheckIrql(m_kernel, "ExCreateCallback", APC_LEVEL);
    if (!callbackObject) {
        m_kernel.GetVerifier().Report(Violation::Bugcheck, "ExCreateCallback with no place for the object");
        return STATUS_INVALID_PARAMETER;
    }
    *callbackObject = nullptr;
    std::u16string key;
    const NTSTATUS nameStatus = KeyOf(objectAttributes, key);
    if (!NT_SUCCESS(nameStatus)) return nameStatus;

    ObjectManager& objects = m_kernel.GetObjectManager();
    std::lock_guard lock(m_state->mutex);
    auto named = m_state->names.find(key);
    if (named != m_state->names.end()) {
        // An object whose last reference is going at this very moment no longer counts.
        if (objects.Reference(named->second) > 0) {
            *callbackObject = static_cast<PCALLBACK_OBJECT>(named->second);
            return STATUS_SUCCESS;
        }
        m_state->names.erase(named);
    }
    if (!create) return STATUS_OBJECT_NAME_NOT_FOUND;

    Pool* pool = &m_kernel.GetPool();
    void* body = pool->Allocate(NonPagedPool, kBodySize, kObjectTag);
    if (!body) return STATUS_INSUFFICIENT_RESOURCES;
    Object object;
    object.key = key;
    object.allowMultiple = allowMultipleCallbacks != FALSE;
    object.permanent = (objectAttributes->Attributes & OBJ_PERMANENT) != 0;
    m_state->objects.emplace(body, std::move(object));
    m_state->names[key] = body;
    std::shared_ptr<State> state = m_state;
    objects.Register(body, ObjectType::Callback,
                     [state, pool](void* destroyed) { DestroyObject(state, pool, destroyed); });
    // The caller's reference came with registering; a permanent object keeps one of its own.
    if (m_state->objects[body].permanent) objects.Reference(body);
    *callbackObject = static_cast<PCALLBACK_OBJECT>(body);
    return STATUS_SUCCESS;
}

void CallbackManager::DestroyObject(const std::shared_ptr<State>& state, Pool* pool, void* body)
{
    {
        std::lock_guard lock(state->mutex);
        auto it = state->objects.find(body);
        if (it != state->objects.end()) {
            auto named = state->names.find(it->second.key);
            if (named != state->names.end() && named->second == body) state->names.erase(named);
            state->objects.erase(it);
        }
    }
    pool->Free(body, kObjectTag);
}

PVOID CallbackManager::Register(PCALLBACK_OBJECT callbackObject, PCALLBACK_FUNCTION function, PVOID context)
{
    CheckIrql(m_kernel, "ExRegisterCallback", DISPATCH_LEVEL);
    void* body = callbackObject;
    std::lock_guard lock(m_state->mutex);
    auto it = m_state->objects.find(body);
    if (it == m_state->objects.end()) {
        m_kernel.GetVerifier().Report(Violation::Bugcheck, "ExRegisterCallback on a pointer that is no callback object");
        return nullptr;
    }
    if (!function) return nullptr;
    Object& object = it->second;
    if (!object.allowMultiple && !object.registrations.empty()) return nullptr;

    void* handle = m_kernel.GetPool().Allocate(NonPagedPool, sizeof(void*) * 4, kRegistrationTag);
    if (!handle) return nullptr;
    // The registration keeps the object alive until it is unregistered.
    m_kernel.GetObjectManager().Reference(body);
    auto registration = std::make_shared<Registration>();
    registration->handle = handle;
    registration->object = body;
    registration->function = function;
    registration->context = context;
    object.registrations.push_back(registration);
    m_state->registrations.emplace(handle, std::move(registration));
    return handle;
}

void CallbackManager::Unregister(PVOID handle)
{
    CheckIrql(m_kernel, "ExUnregisterCallback", APC_LEVEL);
    std::shared_ptr<Registration> registration;
    bool fromItsOwnCall = false;
    {
        std::unique_lock lock(m_state->mutex);
        auto it = m_state->registrations.find(handle);
        if (it == m_state->registrations.end()) {
            lock.unlock();
            m_kernel.GetVerifier().Report(Violation::Bugcheck,
                                           "ExUnregisterCallback of a handle that is not registered");
            return;
        }
        registration = it->second;
        m_state->registrations.erase(it);
        registration->unregistered = true;
        auto object = m_state->objects.find(registration->object);
        if (object != m_state->objects.end()) std::erase(object->second.registrations, registration);

        const auto self = std::this_thread::get_id();
        fromItsOwnCall = std::find(registration->running.begin(), registration->running.end(), self) !=
                         registration->running.end();
        // Waiting for our own call would never end; the call returns once we are back in it.
        if (!fromItsOwnCall) m_state->idle.wait(lock, [&] { return registration->running.empty(); });
    }
    if (fromItsOwnCall)
        m_kernel.GetVerifier().Report(Violation::Bugcheck,
                                       "ExUnregisterCallback called from the registration's own callback "
                                       "function (it would wait for itself forever)");
    m_kernel.GetPool().Free(handle, kRegistrationTag);
    m_kernel.GetObjectManager().Dereference(registration->object);
}

void CallbackManager::Notify(PVOID callbackObject, PVOID argument1, PVOID argument2)
{
    CheckIrql(m_kernel, "ExNotifyCallback", DISPATCH_LEVEL);
    std::unique_lock lock(m_state->mutex);
    auto it = m_state->objects.find(callbackObject);
    if (it == m_state->objects.end()) {
        lock.unlock();
        m_kernel.GetVerifier().Report(Violation::Bugcheck, "ExNotifyCallback on a pointer that is no callback object");
        return;
    }
    // Registrations made during this notification wait for the next one; one unregistered
    // meanwhile is skipped.
    const std::vector<std::shared_ptr<Registration>> registrations = it->second.registrations;
    const auto self = std::this_thread::get_id();
    for (const std::shared_ptr<Registration>& registration : registrations) {
        if (registration->unregistered) continue;
        registration->running.push_back(self);
        lock.unlock();
        registration->function(registration->context, argument1, argument2);
        lock.lock();
        auto& running = registration->running;
        running.erase(std::find(running.begin(), running.end(), self));
        if (running.empty()) m_state->idle.notify_all();
    }
}

PCALLBACK_OBJECT CallbackManager::Find(std::u16string_view name) const
{
    std::u16string key(name.size(), u'\0');
    std::transform(name.begin(), name.end(), key.begin(), Upcase);
    std::lock_guard lock(m_state->mutex);
    auto it = m_state->names.find(key);
    return it == m_state->names.end() ? nullptr : static_cast<PCALLBACK_OBJECT>(it->second);
}

size_t CallbackManager::ObjectCount() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->objects.size();
}

size_t CallbackManager::RegistrationCount() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->registrations.size();
}

size_t CallbackManager::RegistrationCount(PCALLBACK_OBJECT callbackObject) const
{
    std::lock_guard lock(m_state->mutex);
    auto it = m_state->objects.find(callbackObject);
    return it == m_state->objects.end() ? 0 : it->second.registrations.size();
}

bool CallbackManager::IsPermanent(PCALLBACK_OBJECT callbackObject) const
{
    std::lock_guard lock(m_state->mutex);
    auto it = m_state->objects.find(callbackObject);
    return it != m_state->objects.end() && it->second.permanent;
}

}  // namespace emu
