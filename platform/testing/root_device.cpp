#include "root_device.h"

namespace emu::testing {

PDEVICE_OBJECT CreateRootPdo(TestDriver& driver)
{
    driver.SetDispatch(IRP_MJ_PNP, [](PDEVICE_OBJECT, PIRP irp) {
        switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            return TestDriver::Complete(irp, STATUS_SUCCESS, irp->IoStatus.Information);
        default:
            return TestDriver::Complete(irp, irp->IoStatus.Status, irp->IoStatus.Information);
        }
    });
    PDEVICE_OBJECT pdo = driver.CreateDevice();
    if (pdo) pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return pdo;
}

}  // namespace emu::testing
