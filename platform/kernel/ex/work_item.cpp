// Work items of the kernel interface: IoAllocateWorkItem, IoQueueWorkItem, IoFreeWorkItem.
#include <wdm.h>

#include "ex/work_queues.h"
#include "kernel.h"

namespace {
emu::WorkQueues& Queues() { return emu::Kernel::Current().GetWorkQueues(); }
}  // namespace

extern "C" PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT deviceObject)
{
    return Queues().AllocateWorkItem(deviceObject);
}

extern "C" void IoFreeWorkItem(PIO_WORKITEM ioWorkItem) { Queues().FreeWorkItem(ioWorkItem); }

extern "C" void IoQueueWorkItem(PIO_WORKITEM ioWorkItem, PIO_WORKITEM_ROUTINE workerRoutine, WORK_QUEUE_TYPE queueType,
                                PVOID context)
{
    Queues().QueueWorkItem(ioWorkItem, workerRoutine, queueType, context);
}
