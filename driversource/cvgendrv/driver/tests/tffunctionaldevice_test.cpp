// Functional device: naming policy 1 and its registry values, the single-open gate and the undo of
// a failed open, configuration-interface handles, zero-length and direct writes, device-control
// routing (method, state, clamping, the XOFF-counter rule), internal device control and pairing.
#include "tffunctionaldevice_harness.h"

#include <cstring>

#include <ntddser.h>

#include "ke/clock.h"
#include "ob/object_manager.h"
#include "tfphysicaldevice.h"
#include "tfregistry.h"

namespace {

using namespace tftest;

class FunctionalDeviceTest : public FrameworkTest {
protected:
    void Open(NTSTATUS expected)
    {
        Request create(Fdo(), IRP_MJ_CREATE);
        create.Send();
        ASSERT_TRUE(create.Completed());
        EXPECT_EQ(create.Status(), expected);
    }
    void Close()
    {
        Request cleanup(Fdo(), IRP_MJ_CLEANUP);
        cleanup.Send();
        Request close(Fdo(), IRP_MJ_CLOSE);
        close.Send();
        ASSERT_TRUE(close.Completed());
    }
};

TEST_F(FunctionalDeviceTest, CountPolicyNumbersDevicesAndRemembersTheIndex)
{
    auto& registry = machine().GetRegistry();
    registry.SetDword(kServicePath, u"DeviceCount", 1);
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_GetNameIndex(), 1u);
    EXPECT_EQ(registry.GetDword(HardwareKey(), u"DeviceNameIndex"), 2u);
    EXPECT_EQ(registry.GetDword(kServicePath, u"DeviceCount"), 2u);
    EXPECT_EQ(Device()->m_GetSymbolicLinkName().m_GetLength(), sizeof(u"TFTEST1") - sizeof(char16_t));

    // The same device again keeps its index and counts nothing.
    DeleteDevice();
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_GetNameIndex(), 1u);
    EXPECT_EQ(registry.GetDword(kServicePath, u"DeviceCount"), 2u);

    // A stored index of 0 means none: the device is numbered afresh.
    DeleteDevice();
    registry.SetDword(HardwareKey(), u"DeviceNameIndex", 0);
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_GetNameIndex(), 2u);
}

TEST_F(FunctionalDeviceTest, EntryOneNamesTheDeviceInsteadOfThePolicy)
{
    WriteDeviceValues(0);
    Rec().fill = [](CTfDeviceCallbacks* table) { table->m_DeviceCreation = EntryDeviceCreation; };
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(Rec().Count("entry1"), 1u);
    EXPECT_EQ(machine().GetRegistry().GetDword(kServicePath, u"DeviceCount"), std::nullopt);
}

TEST_F(FunctionalDeviceTest, OneOpenAtATimeAndNoDirectoryOpens)
{
    Rec().fill = [](CTfDeviceCallbacks* table) {
        table->m_CreateCallback = EntryCreate;
        table->m_CloseCallback = EntryClose;
        table->m_CleanupCallback = EntryCleanup;
    };
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    Open(STATUS_SUCCESS);
    Open(STATUS_ACCESS_DENIED);
    Close();
    Open(STATUS_SUCCESS);
    Close();
    EXPECT_EQ(Rec().Count("entry2"), 2u);
    EXPECT_EQ(Rec().Count("entry3"), 2u);

    Request directory(Fdo(), IRP_MJ_CREATE);
    directory.Stack()->Parameters.Create.Options = FILE_DIRECTORY_FILE;
    directory.Send();
    EXPECT_EQ(directory.Status(), STATUS_NOT_A_DIRECTORY);
}

TEST_F(FunctionalDeviceTest, AFailedOpenIsUndoneInTheDriverAndGivesTheGateBack)
{
    // A create the driver refused leaves nothing open. Once the driver has opened, a failure after
    // it (the configuration sets refused at load) must close the driver again, as a handle's
    // cleanup and close would (entries 4 then 3), or it stays open with no handle to close it.
    struct Case {
        const char* name;
        bool createResult;
        bool setsResult;
        std::vector<std::string> calls;
    };
    const Case cases[] = {
        {"create refused", false, true, {"entry2"}},
        {"sets refused at load", true, false, {"entry2", "entry18", "entry4", "entry3"}},
    };
    // A configuration interface registers under the device's driver key.
    machine().GetIo().SetDevicePropertyString(Pdo(), DevicePropertyDriverKeyName,
                                              u"{4D36E978-E325-11CE-BFC1-08002BE10318}\\0001");
    Rec().withSet = true;
    Rec().fill = [](CTfDeviceCallbacks* table) {
        table->m_CreateCallback = EntryCreate;
        table->m_CloseCallback = EntryClose;
        table->m_CleanupCallback = EntryCleanup;
        table->m_UserModeInterface = EntryUserModeInterface;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
        {
            std::lock_guard lock(Rec().mutex);
            Rec().calls.clear();
        }
        Rec().entryResult = c.createResult;
        Rec().setsResult = c.setsResult;
        Open(STATUS_UNSUCCESSFUL);
        {
            std::lock_guard lock(Rec().mutex);
            EXPECT_EQ(Rec().calls, c.calls);
        }
        // The gate is free again: the next open succeeds.
        Rec().entryResult = true;
        Rec().setsResult = true;
        Open(STATUS_SUCCESS);
        Close();
        DeleteDevice();
    }
}

TEST_F(FunctionalDeviceTest, NullEntriesOpenAndCloseAndTheGateIsStillReleased)
{
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    Open(STATUS_SUCCESS);
    Close();
    Open(STATUS_SUCCESS);
    Close();
}

TEST_F(FunctionalDeviceTest, ConfigurationHandlesBypassTheGateAndAreRefusedForData)
{
    Rec().fill = [](CTfDeviceCallbacks* table) { table->m_CreateCallback = EntryCreate; };
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    Open(STATUS_SUCCESS);
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_CLOSE}) {
        Request request(Fdo(), major, 4);
        request.SetFileName(u"\\cvgendrv_{4d36e978}\\0001");
        request.Send();
        ASSERT_TRUE(request.Completed());
        bool allowed = major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE;
        EXPECT_EQ(request.Status(), allowed ? STATUS_SUCCESS : STATUS_ACCESS_DENIED) << int(major);
    }
    EXPECT_EQ(Rec().Count("entry2"), 1u);
    // Before the start even a configuration request is refused as every device control is.
    Request control(Fdo(), IRP_MJ_DEVICE_CONTROL, 8, 0x8001E000, 4);
    control.SetFileName(u"\\CVGENDRV_X");
    control.Send();
    EXPECT_EQ(control.Status(), STATUS_DEVICE_REMOVED);
    Close();
}

TEST_F(FunctionalDeviceTest, ZeroLengthAndDirectWrites)
{
    Rec().fill = [](CTfDeviceCallbacks* table) { table->m_ChildWriteCallback = EntryChildWrite; };
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE}) {
        Request empty(Fdo(), major, 0);
        empty.Send();
        EXPECT_EQ(empty.Status(), STATUS_SUCCESS);
        EXPECT_EQ(empty.Information(), 0u);
    }
    // Direct writes complete at once and reach entry 9 in their order, at PASSIVE_LEVEL.
    for (uint8_t i = 1; i <= 5; i++) {
        Request write(Fdo(), IRP_MJ_WRITE, i);
        std::memset(write.Buffer().data(), i, i);
        write.Send();
        ASSERT_TRUE(write.Completed());
        EXPECT_EQ(write.Information(), i);
    }
    ASSERT_TRUE(Rec().WaitForChildWrites(5));
    std::lock_guard lock(Rec().mutex);
    for (uint8_t i = 1; i <= 5; i++) {
        EXPECT_EQ(Rec().childWrites[i - 1], std::vector<uint8_t>(i, i));
    }
}

TEST_F(FunctionalDeviceTest, WriteWithoutAnyWritePathFails)
{
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    Request write(Fdo(), IRP_MJ_WRITE, 3);
    write.Send();
    EXPECT_EQ(write.Status(), STATUS_UNSUCCESSFUL);
}

TEST_F(FunctionalDeviceTest, DeviceControlRouting)
{
    Rec().fill = [](CTfDeviceCallbacks* table) { table->m_DeviceControlCallback = EntryBufferedControl; };
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    {
        Request early(Fdo(), IRP_MJ_DEVICE_CONTROL, 4, IOCTL_SERIAL_GET_BAUD_RATE, 4);
        early.Send();
        EXPECT_EQ(early.Status(), STATUS_DEVICE_REMOVED);
    }
    Start();
    {
        Request neither(Fdo(), IRP_MJ_DEVICE_CONTROL, 4, CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x7FF, METHOD_NEITHER, 0), 4);
        neither.Send();
        EXPECT_EQ(neither.Status(), STATUS_NOT_SUPPORTED);
    }
    Rec().controlInformation = 4;
    {
        Request fits(Fdo(), IRP_MJ_DEVICE_CONTROL, 0, IOCTL_SERIAL_GET_BAUD_RATE, 4);
        fits.Send();
        EXPECT_EQ(fits.Status(), STATUS_SUCCESS);
        EXPECT_EQ(fits.Information(), 4u);
    }
    // A callback that claims more than the caller's buffer does not get it copied out.
    Rec().controlInformation = 64;
    {
        Request overrun(Fdo(), IRP_MJ_DEVICE_CONTROL, 0, IOCTL_SERIAL_GET_BAUD_RATE, 4);
        overrun.Send();
        EXPECT_EQ(overrun.Status(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(overrun.Information(), 0u);
    }
    EXPECT_EQ(Rec().Count("buffered-control"), 2u);
}

TEST_F(FunctionalDeviceTest, XoffCounterIsHeldOnlyWhenTheDriverAcceptedACounter)
{
    machine().GetClock().SetScale(0);  // the held counter's time-out must not run out meanwhile
    Rec().fill = [](CTfDeviceCallbacks* table) { table->m_DeviceControlQueueingCallback = EntryQueueingControl; };
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    Start();
    // The driver stores an accepted counter's values in the write queue, as a port driver does; the
    // framework may queue the request only after that.
    Rec().onQueueingControl = [this](ULONG code, PVOID input, ULONG inputLength) {
        bool accepted = Rec().controlStatus == STATUS_SUCCESS;
        if (code != IOCTL_SERIAL_XOFF_COUNTER || inputLength < sizeof(SERIAL_XOFF_COUNTER) || !accepted) return;
        SERIAL_XOFF_COUNTER values;
        std::memcpy(&values, input, sizeof(values));
        Device()->m_GetWriteQueue()->m_SetXoffCounter([](PVOID, UCHAR) {}, nullptr, values.Timeout,
                                                      (ULONG)values.Counter, values.XoffChar);
    };
    auto send = [&](LONG counter, ULONG inputLength, NTSTATUS answer) {
        Rec().controlStatus = answer;
        auto request = std::make_unique<Request>(Fdo(), IRP_MJ_DEVICE_CONTROL, inputLength, IOCTL_SERIAL_XOFF_COUNTER, 0);
        SERIAL_XOFF_COUNTER values{1000, counter, 0x13};
        std::memcpy(request->Buffer().data(), &values, std::min<size_t>(inputLength, sizeof(values)));
        request->Send();
        return request;
    };
    auto zero = send(0, sizeof(SERIAL_XOFF_COUNTER), STATUS_SUCCESS);
    EXPECT_TRUE(zero->Completed());
    EXPECT_EQ(zero->Status(), STATUS_SUCCESS);
    auto closed = send(5, sizeof(SERIAL_XOFF_COUNTER), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(closed->Status(), STATUS_INVALID_DEVICE_REQUEST);
    auto shortInput = send(5, 8, STATUS_SUCCESS);
    EXPECT_TRUE(shortInput->Completed());
    EXPECT_FALSE(Device()->m_GetWriteQueue()->m_IsXoffCounterHeld());

    auto held = send(5, sizeof(SERIAL_XOFF_COUNTER), STATUS_SUCCESS);
    EXPECT_FALSE(held->Completed());
    EXPECT_TRUE(Device()->m_GetWriteQueue()->m_IsXoffCounterHeld());
    Device()->m_GetWriteQueue()->m_CancelAllIrps(TRUE);
    ASSERT_TRUE(held->WaitCompleted());
    EXPECT_EQ(held->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(Device()->m_GetWriteQueue()->m_IsXoffCounterHeld());
}

TEST_F(FunctionalDeviceTest, InternalDeviceControlPrefersTheRequestLevelEntry)
{
    Rec().fill = [](CTfDeviceCallbacks* table) { table->m_InternalDeviceControlCallback = EntryBufferedControl; };
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    {
        Request noBuffer(Fdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, CTL_CODE(0x8006, 0x801, METHOD_BUFFERED, 0), 0);
        noBuffer.NoBuffer();
        noBuffer.Send();
        EXPECT_EQ(noBuffer.Status(), STATUS_INVALID_PARAMETER);
    }
    {
        Request buffered(Fdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, 8, CTL_CODE(0x8006, 0x801, METHOD_BUFFERED, 0), 8);
        buffered.Send();
        EXPECT_EQ(buffered.Status(), STATUS_SUCCESS);
    }
    Device()->m_GetCallbacks()->m_InternalDeviceControlRequestCallback = EntryRequestControl;
    {
        Request request(Fdo(), IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, CTL_CODE(0x8006, 0x801, METHOD_NEITHER, 0), 0);
        request.Send();
        EXPECT_EQ(request.Status(), STATUS_SUCCESS);
    }
    EXPECT_EQ(Rec().Count("buffered-control"), 1u);
    EXPECT_EQ(Rec().Count("request-control"), 1u);
}

TEST_F(FunctionalDeviceTest, FirstPartnerIsMarkedAndUnpairingLeavesTheListEmpty)
{
    machine().GetIo().SetDevicePropertyString(Pdo(), DevicePropertyHardwareID, u"FTDIBUS\\X__OB\0");
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    EXPECT_TRUE(Device()->m_IsFirstPartner());
    EXPECT_EQ(TfGetDriver()->m_GetDeviceList()->m_GetCount(), 1u);
    Device()->m_UnpairDevices();
    Device()->m_UnpairDevices();
    EXPECT_TRUE(TfGetDriver()->m_GetDeviceList()->m_IsEmpty());
}

// An upper "__YB" device sits on a framework child whose partner name is the link of an "__OB" device
// of the same driver: it takes a reference to that device (its partner) and the "__OB" device
// redirects to it (paired).
class PairingTest : public FunctionalDeviceTest {
protected:
    // A framework child of this driver, plugged as a root node (no function driver is bound), with
    // the partner name a bus driver gives it and the values of a device stacked on it.
    PDEVICE_OBJECT PlugChild(ULONG index, const CTfString& partner)
    {
        std::u16string childKey = std::u16string(kServicePath) + u"\\Child" + std::u16string(1, u'0' + index);
        auto& registry = machine().GetRegistry();
        EXPECT_TRUE(registry.CreateKey(childKey));
        registry.SetDword(childKey, u"ContextID", index);
        registry.SetDword(childKey, u"TypeOfDevice", FILE_DEVICE_UNKNOWN);
        registry.SetString(childKey, u"DeviceName", u"TfChild" + std::u16string(1, u'0' + index));
        registry.SetString(childKey, u"DeviceTextDescription", u"Child");
        registry.SetString(childKey, u"BusQueryDeviceID", u"FTDIBUS\\X__YB");
        registry.SetString(childKey, u"BusQueryHardwareIDs", u"FTDIBUS\\X__YB");
        registry.SetString(childKey, u"BusTypeGuid", u"{862AB446-2AA7-4B60-8945-F579C09F36CB}");
        registry.SetDword(childKey, u"LegacyBusType", 15);
        CTfString Path(PagedPool, (const WCHAR*)childKey.c_str());
        HANDLE hKey = nullptr;
        EXPECT_TRUE(CTfRegistry::m_OpenKey(Path, &hKey, KEY_READ, FALSE));
        BOOLEAN bSuccess = FALSE;
        auto* pChild = new (NonPagedPool) CTfPhysicalDevice(m_driver->Driver(), nullptr, hKey, 0, &bSuccess);
        ZwClose(hKey);
        EXPECT_TRUE(bSuccess);
        EXPECT_EQ(pChild->m_GetPartnerName()->m_Assign(partner), STATUS_SUCCESS);
        PDEVICE_OBJECT child = pChild->m_GetDeviceObject();
        std::u16string instance = u"ROOT\\TFPAIR\\000" + std::u16string(1, u'0' + index);
        // No function driver is bound: the node only gets its keys and properties.
        machine().GetPnp().AddRootDevice(instance, {u"FTDIBUS\\X__YB"}, child);
        machine().GetIo().SetDevicePropertyString(child, DevicePropertyHardwareID, u"FTDIBUS\\X__YB\0");
        WriteDeviceValuesFor(child, u"TfPair", u"TFPAIR", 1, 0);
        return child;
    }
    NTSTATUS AddDeviceOn(PDEVICE_OBJECT pdo)
    {
        return m_driver->Driver()->DriverExtension->AddDevice(m_driver->Driver(), pdo);
    }
    static CTfFunctionalDevice* FunctionalDeviceOf(PDEVICE_OBJECT fdo)
    {
        return static_cast<CTfFunctionalDevice*>(CTfDriver::sm_PeekDevice(fdo));
    }
    // References to the device object besides the one this call takes.
    LONG_PTR References(PDEVICE_OBJECT device)
    {
        emu::ObjectManager& objects = machine().GetObjectManager();
        LONG_PTR count = objects.Reference(device);
        objects.Dereference(device);
        return count - 1;
    }
};

TEST_F(PairingTest, PartnersLetGoOfEachOtherWhicheverIsDeletedFirst)
{
    machine().GetIo().SetDevicePropertyString(Pdo(), DevicePropertyHardwareID, u"FTDIBUS\\X__OB\0");
    for (bool firstGoesFirst : {true, false}) {
        SCOPED_TRACE(firstGoesFirst ? "the __OB device deleted first" : "the __YB device deleted first");
        ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
        PDEVICE_OBJECT firstFdo = Fdo();
        CTfFunctionalDevice* first = Device();
        EXPECT_TRUE(first->m_IsFirstPartner());
        LONG_PTR firstReferences = References(firstFdo);

        PDEVICE_OBJECT child = PlugChild(firstGoesFirst ? 1 : 2, first->m_GetSymbolicLinkName());
        ASSERT_EQ(AddDeviceOn(child), STATUS_SUCCESS);
        PDEVICE_OBJECT secondFdo = child->AttachedDevice;
        CTfFunctionalDevice* second = FunctionalDeviceOf(secondFdo);
        ASSERT_NE(second, nullptr);
        EXPECT_FALSE(second->m_IsFirstPartner());
        EXPECT_EQ(second->m_GetPartnerDeviceObject(), firstFdo);
        EXPECT_EQ(first->m_GetPairedDeviceObject(), secondFdo);
        EXPECT_EQ(References(firstFdo), firstReferences + 1);
        EXPECT_EQ(TfGetDriver()->m_GetDeviceList()->m_GetCount(), 2u);

        if (firstGoesFirst) {
            DeleteDevice();
            EXPECT_EQ(second->m_GetPartnerDeviceObject(), nullptr);
            EXPECT_FALSE(machine().GetObjectManager().IsObject(firstFdo)) << "a partner reference keeps it";
            ASSERT_TRUE(CTfDriver::sm_DeleteDeviceObject(secondFdo, nullptr));
        } else {
            ASSERT_TRUE(CTfDriver::sm_DeleteDeviceObject(secondFdo, nullptr));
            EXPECT_EQ(first->m_GetPairedDeviceObject(), nullptr);
            EXPECT_EQ(References(firstFdo), firstReferences);
            DeleteDevice();
        }
        EXPECT_TRUE(TfGetDriver()->m_GetDeviceList()->m_IsEmpty());
        // The child goes as Plug and Play removes it.
        EXPECT_EQ(machine().GetPnp().QueryRemoveDevice(child), STATUS_SUCCESS);
    }
}

}  // namespace
