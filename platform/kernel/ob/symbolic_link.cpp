// Symbolic links of the object namespace: IoCreateSymbolicLink and IoDeleteSymbolicLink.
#include <wdm.h>

#include <string>

#include "ke/kthread.h"
#include "ob/object_namespace.h"
#include "kernel.h"
#include "vf/verifier.h"

namespace {

// The text of a caller's UNICODE_STRING, or a failure status for a malformed one.
NTSTATUS TextOf(PCUNICODE_STRING text, const char* caller, std::u16string& out)
{
    if (!text) {
        emu::ReportViolation(emu::Violation::Bugcheck, std::string(caller) + " with a null name");
        return STATUS_INVALID_PARAMETER;
    }
    if (text->Length == 0 || (text->Length % sizeof(WCHAR)) != 0) return STATUS_OBJECT_NAME_INVALID;
    if (!text->Buffer) {
        emu::ReportViolation(emu::Violation::Bugcheck, std::string(caller) + " with a name whose buffer is null");
        return STATUS_INVALID_PARAMETER;
    }
    out.assign(text->Buffer, text->Length / sizeof(WCHAR));
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING symbolicLinkName, PUNICODE_STRING deviceName)
{
    emu::CheckIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    std::u16string link;
    std::u16string target;
    NTSTATUS status = TextOf(symbolicLinkName, "IoCreateSymbolicLink", link);
    if (NT_SUCCESS(status)) status = TextOf(deviceName, "IoCreateSymbolicLink", target);
    if (!NT_SUCCESS(status)) return status;
    // The target is not checked: a link may name something that does not exist (yet).
    return emu::Kernel::Current().GetNamespace().InsertLink(link, target);
}

extern "C" NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING symbolicLinkName)
{
    emu::CheckIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    std::u16string link;
    NTSTATUS status = TextOf(symbolicLinkName, "IoDeleteSymbolicLink", link);
    if (!NT_SUCCESS(status)) return status;
    emu::ObjectNamespace& names = emu::Kernel::Current().GetNamespace();
    std::lock_guard lock(names.DatabaseLock());
    std::optional<emu::NamespaceEntry> entry = names.Lookup(link);
    if (!entry) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (entry->type != emu::ObjectType::SymbolicLink) return STATUS_OBJECT_TYPE_MISMATCH;
    return names.Remove(link);
}
