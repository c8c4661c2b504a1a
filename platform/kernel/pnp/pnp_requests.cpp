// The PnP requests Windows sends around a start and a removal besides the state changes themselves:
// the resource requirements and the function driver's filtering of them before START, the
// capabilities again through the whole stack after it, and the removal relations before a
// query-remove. The machine assigns the resources its tests gave, so the requirement lists are
// checked and freed; the removal relations are asked for and released.
#include "pnp/pnp_manager.h"

#include <cstddef>
#include <string>

#include "ex/pool.h"
#include "ke/kthread.h"
#include "kernel.h"
#include "pnp/pnp_node.h"
#include "vf/verifier.h"

namespace emu {

namespace {

// What the manager hands a stack to fill: version 1, and "unknown" for the address and number.
DEVICE_CAPABILITIES FreshCapabilities()
{
    DEVICE_CAPABILITIES capabilities{};
    capabilities.Size = sizeof(DEVICE_CAPABILITIES);
    capabilities.Version = 1;
    capabilities.Address = 0xFFFFFFFF;
    capabilities.UINumber = 0xFFFFFFFF;
    return capabilities;
}

}  // namespace

void PnpManager::FreeAnswer(ULONG_PTR answer, const char* what)
{
    if (!answer) return;
    if (!m_kernel.GetPool().Find(reinterpret_cast<void*>(answer))) {
        ReportViolation(Violation::Bugcheck, std::string(what) + " answer is not a pool block");
        return;
    }
    ExFreePool(reinterpret_cast<PVOID>(answer));
}

std::optional<std::vector<PDEVICE_OBJECT>> PnpManager::TakeRelations(ULONG_PTR answer, const char* what)
{
    if (!answer) return std::vector<PDEVICE_OBJECT>{};
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(answer);
    std::optional<PoolBlock> block = m_kernel.GetPool().Find(relations);
    if (!block) {
        ReportViolation(Violation::Bugcheck, std::string(what) + " answer is not a pool block");
        return std::nullopt;
    }
    const size_t header = offsetof(DEVICE_RELATIONS, Objects);
    if (block->size < header || relations->Count > (block->size - header) / sizeof(PDEVICE_OBJECT)) {
        ReportViolation(Violation::Bugcheck, std::string(what) + " answer counts more objects than its block holds");
        ExFreePool(relations);
        return std::nullopt;
    }
    std::vector<PDEVICE_OBJECT> objects(relations->Objects, relations->Objects + relations->Count);
    ExFreePool(relations);
    return objects;
}

// Before START: the bus driver's requirements, then the function driver's say on them. A function
// driver that answers with a list of its own frees the one it was given; the manager frees the
// list it ends up with.
void PnpManager::QueryResourceRequirements(Node* node)
{
    PDEVICE_OBJECT pdo = node->info.pdo;
    ULONG_PTR required = 0;
    if (!NT_SUCCESS(SendPnp(node, pdo, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, nullptr, &required))) required = 0;

    auto list = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(required);
    ULONG_PTR filtered = required;  // the filter finds the list in IoStatus.Information too
    const NTSTATUS status = SendPnp(
        node, pdo, IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
        [list](PIO_STACK_LOCATION stack) { stack->Parameters.FilterResourceRequirements.IoResourceRequirementList = list; },
        &filtered);
    if (NT_SUCCESS(status))
        FreeAnswer(filtered, "FILTER_RESOURCE_REQUIREMENTS");
    else
        FreeAnswer(required, "QUERY_RESOURCE_REQUIREMENTS");
}

NTSTATUS PnpManager::QueryCapabilities(Node* node, PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES& capabilities)
{
    capabilities = FreshCapabilities();
    DEVICE_CAPABILITIES* answer = &capabilities;
    return SendPnp(node, pdo, IRP_MN_QUERY_CAPABILITIES,
                   [answer](PIO_STACK_LOCATION stack) { stack->Parameters.DeviceCapabilities.Capabilities = answer; },
                   nullptr);
}

// After START the whole stack answers (before it, only the bus driver had); a failed query leaves
// what the node knew.
void PnpManager::RequeryCapabilities(Node* node)
{
    DEVICE_CAPABILITIES capabilities;
    if (!NT_SUCCESS(QueryCapabilities(node, node->info.pdo, capabilities))) return;
    {
        std::lock_guard lock(m_treeMutex);
        node->info.hasCapabilities = true;
        node->info.capabilities = capabilities;
    }
    SetProperties(node);
}

// Before a query-remove: the devices the stack says must go with it. They are released again;
// the machine removes only the subtree.
void PnpManager::QueryRemovalRelations(Node* node)
{
    ULONG_PTR answer = 0;
    const NTSTATUS status = SendPnp(
        node, node->info.pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
        [](PIO_STACK_LOCATION stack) { stack->Parameters.QueryDeviceRelations.Type = RemovalRelations; }, &answer,
        RemovalRelations);
    if (!NT_SUCCESS(status)) return;
    if (std::optional<std::vector<PDEVICE_OBJECT>> related = TakeRelations(answer, "RemovalRelations"))
        for (PDEVICE_OBJECT device : *related)
            if (device) ObDereferenceObject(device);
}

}  // namespace emu
