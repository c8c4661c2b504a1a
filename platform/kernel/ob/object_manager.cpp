#include "ob/object_manager.h"

#include "kernel.h"
#include "vf/verifier.h"

#include <algorithm>
#include <cstdio>
#include <vector>

struct _OBJECT_TYPE {
    emu::ObjectType kind;
    const char* name;
};

namespace {
_OBJECT_TYPE g_threadType{emu::ObjectType::Thread, "Thread"};
_OBJECT_TYPE g_eventType{emu::ObjectType::Event, "Event"};
_OBJECT_TYPE g_fileType{emu::ObjectType::File, "File"};
_OBJECT_TYPE g_keyType{emu::ObjectType::Key, "Key"};
_OBJECT_TYPE g_otherType{emu::ObjectType::Other, "Other"};
POBJECT_TYPE g_threadTypePtr = &g_threadType;
POBJECT_TYPE g_eventTypePtr = &g_eventType;
POBJECT_TYPE g_fileTypePtr = &g_fileType;
}  // namespace

extern "C" {
POBJECT_TYPE* PsThreadType = &g_threadTypePtr;
POBJECT_TYPE* ExEventObjectType = &g_eventTypePtr;
POBJECT_TYPE* IoFileObjectType = &g_fileTypePtr;
}

namespace emu {

POBJECT_TYPE ObjectTypeRecord(ObjectType type)
{
    switch (type) {
    case ObjectType::Thread: return &g_threadType;
    case ObjectType::Event: return &g_eventType;
    case ObjectType::File: return &g_fileType;
    case ObjectType::Key: return &g_keyType;
    default: return &g_otherType;
    }
}

ObjectType ObjectTypeOf(POBJECT_TYPE record) { return record ? record->kind : ObjectType::Other; }

ObjectManager::~ObjectManager()
{
    // Whatever is still open when the machine goes away is destroyed with it.
    std::unordered_map<const void*, Object> objects;
    {
        std::lock_guard lock(m_mutex);
        m_handles.clear();
        objects.swap(m_objects);
    }
    for (auto& [body, object] : objects)
        if (object.destroy) object.destroy(const_cast<void*>(body));
}

void ObjectManager::Register(void* body, ObjectType type, std::function<void(void*)> destroy)
{
    std::lock_guard lock(m_mutex);
    m_objects[body] = Object{type, 1, std::move(destroy), 0, {}};
}

void ObjectManager::SetCloseProcedure(void* body, std::function<void(void*)> close)
{
    std::lock_guard lock(m_mutex);
    auto it = m_objects.find(body);
    if (it != m_objects.end()) it->second.close = std::move(close);
}

bool ObjectManager::IsObject(const void* body) const
{
    std::lock_guard lock(m_mutex);
    return m_objects.count(body) != 0;
}

LONG_PTR ObjectManager::Reference(void* body)
{
    std::lock_guard lock(m_mutex);
    auto it = m_objects.find(body);
    if (it == m_objects.end()) return 0;
    return ++it->second.references;
}

LONG_PTR ObjectManager::Dereference(void* body)
{
    std::function<void(void*)> destroy;
    LONG_PTR left;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_objects.find(body);
        if (it == m_objects.end()) {
            left = -1;
        } else {
            left = --it->second.references;
            if (left == 0) {
                destroy = std::move(it->second.destroy);
                m_objects.erase(it);
            }
        }
    }
    if (left < 0) {
        Kernel::Current().GetVerifier().Report(Violation::Bugcheck, "ObDereferenceObject of an object that is not referenced");
        return 0;
    }
    if (destroy) destroy(body);
    return left;
}

HANDLE ObjectManager::CreateHandle(void* body, ACCESS_MASK grantedAccess, KPROCESSOR_MODE mode)
{
    std::lock_guard lock(m_mutex);
    auto it = m_objects.find(body);
    if (it == m_objects.end()) return nullptr;
    ++it->second.references;
    ++it->second.handles;
    ULONG_PTR value = m_nextHandle;
    m_nextHandle += 4;
    m_handles[value] = Handle{body, grantedAccess, mode};
    return reinterpret_cast<HANDLE>(value);
}

NTSTATUS ObjectManager::ReferenceByHandle(HANDLE handle, const ObjectType* expectedType, void** body,
                                          ACCESS_MASK* grantedAccess, ObjectType* type)
{
    std::lock_guard lock(m_mutex);
    auto it = m_handles.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == m_handles.end()) return STATUS_INVALID_HANDLE;
    auto object = m_objects.find(it->second.body);
    if (object == m_objects.end()) return STATUS_INVALID_HANDLE;
    if (expectedType && object->second.type != *expectedType) return STATUS_OBJECT_TYPE_MISMATCH;
    ++object->second.references;
    *body = it->second.body;
    if (grantedAccess) *grantedAccess = it->second.granted;
    if (type) *type = object->second.type;
    return STATUS_SUCCESS;
}

void* ObjectManager::Lookup(HANDLE handle, ObjectType* type) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_handles.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == m_handles.end()) return nullptr;
    if (type) {
        auto object = m_objects.find(it->second.body);
        if (object != m_objects.end()) *type = object->second.type;
    }
    return it->second.body;
}

NTSTATUS ObjectManager::CloseHandle(HANDLE handle)
{
    void* body = nullptr;
    std::function<void(void*)> close;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_handles.find(reinterpret_cast<ULONG_PTR>(handle));
        if (it == m_handles.end()) return STATUS_INVALID_HANDLE;
        body = it->second.body;
        m_handles.erase(it);
        auto object = m_objects.find(body);
        if (object != m_objects.end() && --object->second.handles == 0) close = object->second.close;
    }
    if (close) close(body);
    Dereference(body);
    return STATUS_SUCCESS;
}

void ObjectManager::CloseHandles(KPROCESSOR_MODE mode)
{
    std::vector<HANDLE> handles;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [value, entry] : m_handles)
            if (entry.mode == mode) handles.push_back(reinterpret_cast<HANDLE>(value));
    }
    // In the order they were made.
    std::sort(handles.begin(), handles.end());
    for (HANDLE handle : handles) CloseHandle(handle);
}

size_t ObjectManager::OpenHandleCount() const
{
    std::lock_guard lock(m_mutex);
    return m_handles.size();
}

size_t ObjectManager::ObjectCount() const
{
    std::lock_guard lock(m_mutex);
    return m_objects.size();
}

}  // namespace emu
