// Object manager of the emulated machine: reference-counted kernel objects and the handle table.
#pragma once

#include <wdm.h>

#include <functional>
#include <mutex>
#include <unordered_map>

namespace emu {

enum class ObjectType { Thread, Key, Event, File, Device, Driver, Callback, SymbolicLink, Other };

// Windows' own object-type records (PsThreadType and its siblings point at these).
POBJECT_TYPE ObjectTypeRecord(ObjectType type);
ObjectType ObjectTypeOf(POBJECT_TYPE record);
// The dispatcher object a wait on an object of that kind waits on (a file waits on its
// FILE_OBJECT's Event), or null for a kind that cannot be waited on.
PVOID WaitableObjectOf(void* body, ObjectType type);

class ObjectManager {
public:
    ~ObjectManager();

    // Registers an object body with one reference; `destroy` runs when the last reference goes.
    void Register(void* body, ObjectType type, std::function<void(void*)> destroy);
    // The object's close procedure: runs when its last handle closes, before that handle's
    // reference goes (the I/O manager's IRP_MJ_CLEANUP of a file).
    void SetCloseProcedure(void* body, std::function<void(void*)> close);
    bool IsObject(const void* body) const;
    LONG_PTR Reference(void* body);
    LONG_PTR Dereference(void* body);

    // A handle holds one reference to its object.
    HANDLE CreateHandle(void* body, ACCESS_MASK grantedAccess, KPROCESSOR_MODE mode);
    // Returns the body of an open handle with one more reference (the caller dereferences it).
    NTSTATUS ReferenceByHandle(HANDLE handle, const ObjectType* expectedType, void** body,
                               ACCESS_MASK* grantedAccess = nullptr, ObjectType* type = nullptr);
    // The body of an open handle without a new reference, or null.
    void* Lookup(HANDLE handle, ObjectType* type = nullptr) const;
    NTSTATUS CloseHandle(HANDLE handle);
    // Closes every handle made for that mode (user mode's, when its process goes).
    void CloseHandles(KPROCESSOR_MODE mode);
    size_t OpenHandleCount() const;
    size_t ObjectCount() const;

private:
    struct Object {
        ObjectType type;
        LONG_PTR references;
        std::function<void(void*)> destroy;
        size_t handles = 0;
        std::function<void(void*)> close;
    };
    struct Handle {
        void* body;
        ACCESS_MASK granted;
        KPROCESSOR_MODE mode;
    };
    mutable std::mutex m_mutex;
    std::unordered_map<const void*, Object> m_objects;
    std::unordered_map<ULONG_PTR, Handle> m_handles;
    ULONG_PTR m_nextHandle = 0x80000004;  // kernel handles look like Windows' (high bit set)
};

}  // namespace emu
