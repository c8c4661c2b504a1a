// Configuration interface: registration, handle recognition, the six control codes with their
// length and index rules, refused and malformed changes that must leave nothing behind, defaults
// that never replace the live values, forwarding to the driver below with the caller's lengths
// and file object, the loading walk at start and create, and concurrent requests on one set.
//
// The interface runs on a device node of the machine's PnP manager (its hardware key), with a
// small test set; the driver's apply step and the forwarding are scripted hooks.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "pnp/interface_manager.h"
#include "io/io_manager.h"
#include "pnp/pnp_manager.h"
#include "ex/pool.h"
#include "cm/registry.h"
#include "vf/verifier.h"
#include "machine_test.h"
#include "test_driver.h"
#include "tfmemorytracker.h"
#include "tfregistryinformationset.h"
#include "tfrequest.h"
#include "tfstring.h"
#include "tfusermodeinterface.h"

namespace {

using emu::Violation;

constexpr ULONG kTracked = emu::PoolTag("TfKi");
constexpr char16_t kDriverKey[] = u"{4D36E978-E325-11CE-BFC1-08002BE10318}\\0003";
constexpr char16_t kReference[] = u"CVGENDRV_{4D36E978-E325-11CE-BFC1-08002BE10318}0003";

std::u16string HardwareKey(std::u16string_view instance)
{
    return std::u16string(emu::kEnumKeyPath) + u"\\" + std::u16string(instance) + u"\\Device Parameters";
}

// The wire form of the test set (flags 3): Baudrate, Name, Flags.
std::vector<uint8_t> Wire(ULONG ulBaud, const std::string& name, ULONG ulFlags)
{
    std::vector<uint8_t> bytes;
    auto put = [&](ULONG value) {
        for (int i = 0; i < 4; i++) bytes.push_back(uint8_t(value >> (8 * i)));
    };
    put(ulBaud);
    put(ULONG(name.size()));
    bytes.insert(bytes.end(), name.begin(), name.end());
    bytes.push_back(0);
    put(ulFlags);
    return bytes;
}

// What the interface's set is bound to; lives on the heap so it goes before the library reference.
struct SetTargets {
    ULONG ulBaud = 0;
    CTfString Name{NonPagedPool};
    ULONG ulFlags = 0;
};

// One request as the I/O manager hands it to a driver: METHOD_BUFFERED, system buffer
// max(in, out), the file object of the handle.
class Request {
public:
    Request(ULONG code, ULONG count, ULONG index, std::vector<uint8_t> payload, ULONG outputLength,
            PFILE_OBJECT fileObject = nullptr)
    {
        std::vector<uint8_t> input(8);
        std::memcpy(input.data(), &count, 4);
        std::memcpy(input.data() + 4, &index, 4);
        input.insert(input.end(), payload.begin(), payload.end());
        Init(code, input, outputLength, fileObject);
    }
    Request(ULONG code, std::vector<uint8_t> input, ULONG outputLength) { Init(code, input, outputLength, nullptr); }
    ~Request()
    {
        if (m_irp) IoFreeIrp(m_irp);
    }

    PIRP Irp() const { return m_irp; }
    void NullBuffer() { m_irp->AssociatedIrp.SystemBuffer = nullptr; }
    NTSTATUS Status() const { return m_irp->IoStatus.Status; }
    ULONG_PTR Information() const { return m_irp->IoStatus.Information; }
    bool Completed() const { return m_completed; }
    std::vector<uint8_t> Output() const
    {
        return std::vector<uint8_t>(m_buffer.begin(), m_buffer.begin() + std::min<size_t>(Information(), m_buffer.size()));
    }
    ULONG OutputUlong() const
    {
        ULONG value = 0;
        std::memcpy(&value, m_buffer.data(), 4);
        return value;
    }

private:
    void Init(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength, PFILE_OBJECT fileObject)
    {
        m_buffer.assign(std::max<size_t>({input.size(), outputLength, 1}), 0xCD);
        std::copy(input.begin(), input.end(), m_buffer.begin());
        m_irp = IoAllocateIrp(1, FALSE);
        IoSetCompletionRoutine(m_irp, &Request::OnComplete, this, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(m_irp);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(m_irp);
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = code;
        stack->Parameters.DeviceIoControl.InputBufferLength = ULONG(input.size());
        stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        stack->FileObject = fileObject;
        m_irp->AssociatedIrp.SystemBuffer = m_buffer.data();
    }
    static NTSTATUS OnComplete(PDEVICE_OBJECT, PIRP, PVOID context)
    {
        static_cast<Request*>(context)->m_completed = true;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PIRP m_irp = nullptr;
    std::vector<uint8_t> m_buffer;
    bool m_completed = false;
};

class UserModeInterfaceTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        m_pPrevious = TfSwapLibraryState(&m_State);
        ASSERT_TRUE(TfLibraryAddReference());
        m_pdo = m_pdoDriver.CreateDevice(u"\\Device\\CvTestPdo1");
        m_busPdo = m_pdoDriver.CreateDevice(u"\\Device\\CvTestPdo2");
        ASSERT_TRUE(m_pdo && m_busPdo);
        m_pInterface = MakeInterface(m_pdo, u"ROOT\\CVTEST\\0000", &m_targets, 2);
        ASSERT_NE(m_pInterface, nullptr);
        m_pInterface->m_SetHooks(&UserModeInterfaceTest::SetChanged, nullptr, this);
    }
    void TearDown() override
    {
        delete m_pInterface;
        delete m_pBusInterface;
        delete m_targets;
        delete m_busTargets;
        TfLibraryRelease();
        EXPECT_EQ(machine().GetPool().LiveCount(kTracked), 0u);
        TfSwapLibraryState(m_pPrevious);
        MachineTest::TearDown();
    }

    emu::Registry& registry() { return machine().GetRegistry(); }

    // An interface on a device node with a test set of three values.
    TfUserModeInterface* MakeInterface(PDEVICE_OBJECT pdo, std::u16string_view instance,
                                       SetTargets** ppTargets, ULONG setCount)
    {
        machine().GetPnp().AddRootDevice(instance, {u"ROOT\\CVTEST"}, pdo);
        machine().GetIo().SetDevicePropertyString(pdo, DevicePropertyDriverKeyName, kDriverKey);
        machine().GetInterfaces().SetInstancePath(pdo, instance);
        *ppTargets = new SetTargets;
        auto* pSet = new (NonPagedPool) CTfRegistryInformationSet();
        EXPECT_TRUE(pSet->m_AddDwordEntry(u"Baudrate", &(*ppTargets)->ulBaud, 9600, nullptr));
        EXPECT_TRUE(pSet->m_AddStringEntry(u"Name", &(*ppTargets)->Name, "USB", nullptr));
        EXPECT_TRUE(pSet->m_AddDwordEntry(u"Flags", &(*ppTargets)->ulFlags, 0, nullptr));
        auto* pInterface = new (NonPagedPool) TfUserModeInterface();
        pInterface->m_SetInformationSet(pSet);
        pInterface->m_SetInterfaceGuid(TF_PORT_INTERFACE_GUID_WORDS);
        pInterface->m_SetSetCount(setCount);
        pInterface->m_SetPhysicalDeviceObject(pdo);
        return pInterface;
    }

    std::u16string SetKey(ULONG index, std::u16string_view instance = u"ROOT\\CVTEST\\0000")
    {
        return HardwareKey(instance) + u"\\UI" + std::u16string(1, char16_t(u'0' + index));
    }

    void Store(ULONG index, ULONG baud, std::u16string_view name, ULONG flags, bool defaults = false,
               std::u16string_view instance = u"ROOT\\CVTEST\\0000")
    {
        std::u16string key = SetKey(index, instance) + (defaults ? u"\\Default" : u"");
        registry().SetDword(key, u"Baudrate", baud);
        registry().SetString(key, u"Name", name);
        registry().SetDword(key, u"Flags", flags);
    }
    std::optional<ULONG> StoredBaud(ULONG index, bool defaults = false)
    {
        return registry().GetDword(SetKey(index) + (defaults ? u"\\Default" : u""), u"Baudrate");
    }

    NTSTATUS Send(TfUserModeInterface* pInterface, Request& request)
    {
        NTSTATUS status = pInterface->m_Dispatch_Device_Control(request.Irp());
        EXPECT_TRUE(request.Completed());
        EXPECT_EQ(status, request.Status());
        return status;
    }
    NTSTATUS Send(Request& request) { return Send(m_pInterface, request); }

    static std::string Name(SetTargets* targets)
    {
        if (targets->Name.m_IsEmpty()) return {};
        return std::string(targets->Name.m_GetAnsiBuffer(), targets->Name.m_GetAnsiLength());
    }

    // The driver's apply step: records each call and answers as scripted.
    struct HookCall {
        ULONG index;
        ULONG phase;
        ULONG baud;
    };
    static BOOLEAN SetChanged(PVOID context, CTfRegistryInformationSet*, ULONG index, ULONG phase, PUCHAR storeAgain)
    {
        auto* self = static_cast<UserModeInterfaceTest*>(context);
        self->m_calls.push_back({index, phase, self->m_targets->ulBaud});
        if (self->m_onSetChanged) return self->m_onSetChanged(index, phase, storeAgain);
        return TRUE;
    }

    TF_LIBRARY_STATE m_State = {0, nullptr};
    PTF_LIBRARY_STATE m_pPrevious = nullptr;
    // The physical device objects: named devices of a bus driver of the test's own.
    emu::testing::TestDriver m_pdoDriver{u"CvTestPdo"};
    PDEVICE_OBJECT m_pdo = nullptr;
    SetTargets* m_targets = nullptr;
    TfUserModeInterface* m_pInterface = nullptr;
    std::vector<HookCall> m_calls;
    std::function<BOOLEAN(ULONG, ULONG, PUCHAR)> m_onSetChanged;

    PDEVICE_OBJECT m_busPdo = nullptr;
    SetTargets* m_busTargets = nullptr;
    TfUserModeInterface* m_pBusInterface = nullptr;
};

// ---------------------------------------------------------------------------------------------
// Registration and handles
// ---------------------------------------------------------------------------------------------

TEST_F(UserModeInterfaceTest, InitRegistersTheUpperCasedReferenceStringAndDestructionDisablesIt)
{
    ASSERT_TRUE(m_pInterface->m_Init());
    ASSERT_TRUE(m_pInterface->m_IsRegistered());
    CTfString* pReference = m_pInterface->m_GetReferenceString();
    EXPECT_EQ(std::u16string(pReference->m_GetWideBuffer(), pReference->m_GetLength() / 2), kReference);

    PCUNICODE_STRING pLink = m_pInterface->m_GetSymbolicLinkName();
    std::u16string link(pLink->Buffer, pLink->Length / 2);
    EXPECT_TRUE(link.ends_with(std::u16string(u"\\") + kReference)) << std::string(link.begin(), link.end());
    auto info = machine().GetInterfaces().Find(link);
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->enabled);
    EXPECT_EQ(info->pdo, m_pdo);

    delete m_pInterface;
    m_pInterface = nullptr;
    info = machine().GetInterfaces().Find(link);
    ASSERT_TRUE(info);
    EXPECT_FALSE(info->enabled);
}

TEST_F(UserModeInterfaceTest, InitWithoutASetRegistersNothingAndWithoutAPdoFails)
{
    TfUserModeInterface NoSet;
    NoSet.m_SetPhysicalDeviceObject(m_pdo);
    EXPECT_TRUE(NoSet.m_Init());
    EXPECT_FALSE(NoSet.m_IsRegistered());

    m_pInterface->m_SetPhysicalDeviceObject(nullptr);
    EXPECT_FALSE(m_pInterface->m_Init());
    EXPECT_EQ(Take(Violation::AssertReport), 1u);
    EXPECT_FALSE(m_pInterface->m_IsRegistered());
}

TEST_F(UserModeInterfaceTest, InterfaceFilesAreRecognisedByTheirPrefixInAnyCase)
{
    auto Is = [&](std::u16string name) {
        UNICODE_STRING text{USHORT(name.size() * 2), USHORT(name.size() * 2), name.data()};
        BOOLEAN bIs = 2;
        EXPECT_TRUE(m_pInterface->m_IsInterfaceFile(&text, &bIs));
        return bIs == TRUE;
    };
    EXPECT_TRUE(Is(std::u16string(u"\\") + kReference));
    EXPECT_TRUE(Is(u"\\cvgendrv_{4d36e978-e325-11ce-bfc1-08002be10318}0003"));
    EXPECT_TRUE(Is(u"\\CvGenDrv_"));
    EXPECT_FALSE(Is(u"CVGENDRV_X"));
    EXPECT_FALSE(Is(u"\\COM3\\CVGENDRV_X"));
    EXPECT_FALSE(Is(u"\\CVGENDRV"));
    EXPECT_FALSE(Is(u""));

    std::u16string longest = u"\\CVGENDRV_" + std::u16string(1024 - 10, u'A');
    EXPECT_TRUE(Is(longest));
    EXPECT_FALSE(Is(longest + u"A"));
}

// ---------------------------------------------------------------------------------------------
// Reading
// ---------------------------------------------------------------------------------------------

TEST_F(UserModeInterfaceTest, DefaultIndexIsAnsweredFromSetKeyOne)
{
    Store(1, 115200, u"COM7", 3);
    std::vector<uint8_t> expected = Wire(115200, "COM7", 3);

    Request size(IOCTL_TF_USERMODE_GET_SIZE, 0, 0xFFFFFFFF, {}, 4);
    ASSERT_EQ(Send(size), STATUS_SUCCESS);
    EXPECT_EQ(size.Information(), 4u);
    EXPECT_EQ(size.OutputUlong(), expected.size());

    Request get(IOCTL_TF_USERMODE_GET_SET, 0, 0xFFFFFFFF, {}, ULONG(expected.size()));
    ASSERT_EQ(Send(get), STATUS_SUCCESS);
    EXPECT_EQ(get.Output(), expected);
}

TEST_F(UserModeInterfaceTest, GetSizeSizesTheIndexAskedForSoTheNextGetSetFits)
{
    Store(1, 9600, u"A", 0);
    Store(2, 9600, u"A much longer name", 0);
    Request size(IOCTL_TF_USERMODE_GET_SIZE, 0, 2, {}, 4);
    ASSERT_EQ(Send(size), STATUS_SUCCESS);
    EXPECT_EQ(size.OutputUlong(), Wire(9600, "A much longer name", 0).size());

    Request get(IOCTL_TF_USERMODE_GET_SET, 0, 2, {}, size.OutputUlong());
    EXPECT_EQ(Send(get), STATUS_SUCCESS);
    EXPECT_EQ(get.Output(), Wire(9600, "A much longer name", 0));

    // An index outside the sets is answered from memory, as before.
    Request outside(IOCTL_TF_USERMODE_GET_SIZE, 0, 7, {}, 4);
    EXPECT_EQ(Send(outside), STATUS_SUCCESS);
    EXPECT_EQ(outside.OutputUlong(), Wire(9600, "A much longer name", 0).size());
    EXPECT_FALSE(registry().KeyExists(SetKey(7)));
}

TEST_F(UserModeInterfaceTest, GetSetNeedsExactlyTheSizeOfTheLoadedSet)
{
    Store(1, 9600, u"Port", 1);
    const ULONG size = ULONG(Wire(9600, "Port", 1).size());
    for (ULONG length : {size + 1, size - 1, 4u, 0u}) {
        Request get(IOCTL_TF_USERMODE_GET_SET, 0, 1, {}, length);
        EXPECT_EQ(Send(get), STATUS_INVALID_PARAMETER) << length;
        EXPECT_EQ(get.Information(), 0u);
    }
    // The stored set changed since the size was asked: the old size no longer fits.
    Request stale(IOCTL_TF_USERMODE_GET_SIZE, 0, 1, {}, 4);
    ASSERT_EQ(Send(stale), STATUS_SUCCESS);
    Store(1, 9600, u"Port 12", 1);
    Request get(IOCTL_TF_USERMODE_GET_SET, 0, 1, {}, stale.OutputUlong());
    EXPECT_EQ(Send(get), STATUS_INVALID_PARAMETER);
}

TEST_F(UserModeInterfaceTest, HeaderAndCodeRulesAreCheckedFirst)
{
    Request shortHeader(IOCTL_TF_USERMODE_GET_SIZE, std::vector<uint8_t>(7, 0), 4);
    EXPECT_EQ(Send(shortHeader), STATUS_INVALID_PARAMETER);

    Request count2(IOCTL_TF_USERMODE_GET_SIZE, 2, 1, {}, 4);
    EXPECT_EQ(Send(count2), STATUS_INVALID_PARAMETER);

    Request smallSize(IOCTL_TF_USERMODE_GET_SIZE, 0, 1, {}, 3);
    EXPECT_EQ(Send(smallSize), STATUS_INVALID_PARAMETER);
    Request smallDefaults(IOCTL_TF_USERMODE_GET_DEFAULTS_SIZE, 0, 1, {}, 3);
    EXPECT_EQ(Send(smallDefaults), STATUS_INVALID_PARAMETER);

    Request other(0x8001E018, 0, 1, {}, 4);
    EXPECT_EQ(Send(other), STATUS_INVALID_PARAMETER);

    Request noBuffer(IOCTL_TF_USERMODE_GET_SIZE, 0, 1, {}, 4);
    noBuffer.NullBuffer();
    EXPECT_EQ(Send(noBuffer), STATUS_UNSUCCESSFUL);

    TfUserModeInterface NoSet;
    Request noSet(IOCTL_TF_USERMODE_GET_SIZE, 0, 1, {}, 4);
    EXPECT_EQ(Send(&NoSet, noSet), STATUS_UNSUCCESSFUL);

    Request forwardNoHook(IOCTL_TF_USERMODE_GET_SIZE, 1, 1, {}, 4);
    EXPECT_EQ(Send(forwardNoHook), STATUS_UNSUCCESSFUL);
}

TEST_F(UserModeInterfaceTest, IndexesOutsideTheSetsFailAndCreateNoKey)
{
    const ULONG codes[] = {IOCTL_TF_USERMODE_GET_SET, IOCTL_TF_USERMODE_SET_SET, IOCTL_TF_USERMODE_RESET_TO_DEFAULTS,
                           IOCTL_TF_USERMODE_GET_DEFAULTS_SIZE, IOCTL_TF_USERMODE_GET_DEFAULTS};
    const ULONG before = m_targets->ulBaud;
    for (ULONG index : {0u, 3u, 0x80000000u, 0xFFFFFFFEu}) {
        for (ULONG code : codes) {
            Request request(code, 0, index, Wire(300, "X", 1), 4);
            EXPECT_EQ(Send(request), STATUS_UNSUCCESSFUL) << std::hex << code << " " << index;
        }
    }
    EXPECT_GT(Take(Violation::AssertReport), 0u);
    EXPECT_EQ(m_targets->ulBaud, before);
    EXPECT_TRUE(m_calls.empty());
    EXPECT_EQ(registry().SubKeys(HardwareKey(u"ROOT\\CVTEST\\0000")), std::vector<std::u16string>{});
}

// ---------------------------------------------------------------------------------------------
// Changing
// ---------------------------------------------------------------------------------------------

TEST_F(UserModeInterfaceTest, SetSetWritesAppliesAndStoresAgainWhenAsked)
{
    Request set(IOCTL_TF_USERMODE_SET_SET, 0, 2, Wire(19200, "Two", 5), 0);
    ASSERT_EQ(Send(set), STATUS_SUCCESS);
    EXPECT_EQ(StoredBaud(2), 19200u);
    ASSERT_EQ(m_calls.size(), 1u);
    EXPECT_EQ(m_calls[0].index, 2u);
    EXPECT_EQ(m_calls[0].phase, (ULONG)TF_UMI_PHASE_APPLY);
    EXPECT_EQ(m_calls[0].baud, 19200u);

    // The driver rounds the value and asks for it to be kept.
    m_onSetChanged = [&](ULONG, ULONG, PUCHAR storeAgain) {
        m_targets->ulBaud = 38400;
        *storeAgain = 1;
        return TRUE;
    };
    Request again(IOCTL_TF_USERMODE_SET_SET, 0, 2, Wire(38000, "Two", 5), 0);
    ASSERT_EQ(Send(again), STATUS_SUCCESS);
    EXPECT_EQ(StoredBaud(2), 38400u);
}

TEST_F(UserModeInterfaceTest, RefusedSetLeavesMemoryAndKeyAsTheyWere)
{
    Store(1, 9600, u"Old", 1);
    Request load(IOCTL_TF_USERMODE_GET_SIZE, 0, 1, {}, 4);
    ASSERT_EQ(Send(load), STATUS_SUCCESS);

    m_onSetChanged = [&](ULONG, ULONG, PUCHAR) { return m_targets->ulBaud != 921600; };
    Request set(IOCTL_TF_USERMODE_SET_SET, 0, 1, Wire(921600, "New name", 7), 0);
    EXPECT_EQ(Send(set), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(set.Information(), 0u);
    EXPECT_EQ(m_targets->ulBaud, 9600u);
    EXPECT_EQ(Name(m_targets), "Old");
    EXPECT_EQ(m_targets->ulFlags, 1u);
    EXPECT_EQ(StoredBaud(1), 9600u);
    EXPECT_EQ(registry().GetDword(SetKey(1), u"Flags"), 1u);

    // The next open's walk finds what was there before and accepts it.
    registry().CreateKey(SetKey(1) + u"\\Default");
    m_calls.clear();
    EXPECT_TRUE(m_pInterface->m_LoadAllSets());
    EXPECT_EQ(m_calls.front().baud, 9600u);
}

TEST_F(UserModeInterfaceTest, MalformedPayloadChangesNothingAndIsNotApplied)
{
    Store(1, 9600, u"Old", 1);
    Request load(IOCTL_TF_USERMODE_GET_SIZE, 0, 1, {}, 4);
    ASSERT_EQ(Send(load), STATUS_SUCCESS);

    std::vector<uint8_t> full = Wire(57600, "Truncated", 2);
    for (size_t cut : {size_t(2), size_t(6), size_t(12), full.size() - 2}) {
        std::vector<uint8_t> payload(full.begin(), full.begin() + cut);
        Request set(IOCTL_TF_USERMODE_SET_SET, 0, 1, payload, 0);
        EXPECT_EQ(Send(set), STATUS_INVALID_PARAMETER) << cut;
        EXPECT_EQ(m_targets->ulBaud, 9600u);
        EXPECT_EQ(Name(m_targets), "Old");
    }
    verifier().Take(Violation::AssertReport);  // the reader reports short data
    EXPECT_TRUE(m_calls.empty());
    EXPECT_EQ(StoredBaud(1), 9600u);
    EXPECT_EQ(registry().GetDword(SetKey(1), u"Flags"), 1u);
}

TEST_F(UserModeInterfaceTest, ResetNeedsStoredDefaultsAndAppliesThem)
{
    Store(1, 115200, u"Mine", 9);
    Request missing(IOCTL_TF_USERMODE_RESET_TO_DEFAULTS, 0, 1, {}, 0);
    EXPECT_EQ(Send(missing), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(StoredBaud(1), 115200u);
    EXPECT_FALSE(registry().KeyExists(SetKey(1) + u"\\Default"));
    EXPECT_TRUE(m_calls.empty());

    Store(1, 4800, u"Factory", 0, true);
    Request reset(IOCTL_TF_USERMODE_RESET_TO_DEFAULTS, 0, 1, {}, 0);
    ASSERT_EQ(Send(reset), STATUS_SUCCESS);
    EXPECT_EQ(StoredBaud(1), 4800u);
    EXPECT_EQ(m_targets->ulBaud, 4800u);
    ASSERT_EQ(m_calls.size(), 1u);
    EXPECT_EQ(m_calls[0].baud, 4800u);

    // A refused reset puts the previous values back.
    Store(1, 115200, u"Mine", 9);
    Request load(IOCTL_TF_USERMODE_GET_SIZE, 0, 1, {}, 4);
    ASSERT_EQ(Send(load), STATUS_SUCCESS);
    m_onSetChanged = [](ULONG, ULONG, PUCHAR) { return FALSE; };
    Request refused(IOCTL_TF_USERMODE_RESET_TO_DEFAULTS, 0, 1, {}, 0);
    EXPECT_EQ(Send(refused), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(StoredBaud(1), 115200u);
    EXPECT_EQ(m_targets->ulBaud, 115200u);
}

TEST_F(UserModeInterfaceTest, DefaultsAreReadWithoutReplacingTheLiveValues)
{
    Store(1, 115200, u"Live", 4);
    Store(1, 9600, u"Factory default", 0, true);
    Request load(IOCTL_TF_USERMODE_GET_SIZE, 0, 1, {}, 4);
    ASSERT_EQ(Send(load), STATUS_SUCCESS);
    std::vector<uint8_t> defaults = Wire(9600, "Factory default", 0);

    Request size(IOCTL_TF_USERMODE_GET_DEFAULTS_SIZE, 0, 1, {}, 4);
    ASSERT_EQ(Send(size), STATUS_SUCCESS);
    EXPECT_EQ(size.OutputUlong(), defaults.size());
    EXPECT_EQ(m_targets->ulBaud, 115200u);

    Request wrong(IOCTL_TF_USERMODE_GET_DEFAULTS, 0, 1, {}, ULONG(defaults.size() + 1));
    EXPECT_EQ(Send(wrong), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_targets->ulBaud, 115200u);
    EXPECT_EQ(Name(m_targets), "Live");

    Request get(IOCTL_TF_USERMODE_GET_DEFAULTS, 0, 1, {}, ULONG(defaults.size()));
    ASSERT_EQ(Send(get), STATUS_SUCCESS);
    EXPECT_EQ(get.Output(), defaults);
    EXPECT_EQ(m_targets->ulBaud, 115200u);
    EXPECT_EQ(Name(m_targets), "Live");

    // No defaults stored (set 2): both fail and the live values stay.
    Request none(IOCTL_TF_USERMODE_GET_DEFAULTS_SIZE, 0, 2, {}, 4);
    EXPECT_EQ(Send(none), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_targets->ulBaud, 115200u);
}

// ---------------------------------------------------------------------------------------------
// Loading at start and create
// ---------------------------------------------------------------------------------------------

TEST_F(UserModeInterfaceTest, FirstLoadCreatesDefaultsThenAppliesEachSet)
{
    Store(2, 57600, u"Second", 0);
    ASSERT_TRUE(m_pInterface->m_LoadAllSets());
    ASSERT_EQ(m_calls.size(), 4u);
    EXPECT_EQ(m_calls[0].index, 1u);
    EXPECT_EQ(m_calls[0].phase, (ULONG)TF_UMI_PHASE_DEFAULTS);
    EXPECT_EQ(m_calls[1].phase, (ULONG)TF_UMI_PHASE_APPLY);
    EXPECT_EQ(m_calls[2].index, 2u);
    EXPECT_EQ(m_calls[3].baud, 57600u);
    EXPECT_EQ(StoredBaud(1), 9600u);
    EXPECT_EQ(StoredBaud(1, true), 9600u);
    EXPECT_EQ(StoredBaud(2, true), 57600u);  // what the key held becomes the defaults

    m_calls.clear();
    ASSERT_TRUE(m_pInterface->m_LoadAllSets());
    ASSERT_EQ(m_calls.size(), 2u);
    EXPECT_EQ(m_calls[0].phase, (ULONG)TF_UMI_PHASE_APPLY);
    EXPECT_EQ(m_calls[1].phase, (ULONG)TF_UMI_PHASE_APPLY);
}

TEST_F(UserModeInterfaceTest, PhaseOneChangesBecomeTheDefaultsOnlyWhenKept)
{
    m_onSetChanged = [&](ULONG index, ULONG phase, PUCHAR storeAgain) {
        if (phase == TF_UMI_PHASE_DEFAULTS) {
            m_targets->ulBaud = 1200 * index;
            if (index == 1) *storeAgain = 1;
        }
        return TRUE;
    };
    ASSERT_TRUE(m_pInterface->m_LoadAllSets());
    EXPECT_EQ(StoredBaud(1, true), 1200u);
    EXPECT_EQ(StoredBaud(1), 1200u);
    EXPECT_EQ(StoredBaud(2, true), 9600u);
    EXPECT_EQ(StoredBaud(2), 9600u);
}

TEST_F(UserModeInterfaceTest, StoredValuesRefusedAtLoadFailTheWalkAndStayStored)
{
    // A user's stored settings are never replaced behind their back: the load fails instead.
    Store(1, 9600, u"Factory", 0, true);
    Store(1, 921600, u"Too fast", 0);
    m_onSetChanged = [&](ULONG, ULONG, PUCHAR) { return m_targets->ulBaud <= 115200; };
    EXPECT_FALSE(m_pInterface->m_LoadAllSets());
    EXPECT_EQ(StoredBaud(1), 921600u);
}

// ---------------------------------------------------------------------------------------------
// Forwarding
// ---------------------------------------------------------------------------------------------

class ForwardingTest : public UserModeInterfaceTest {
protected:
    void SetUp() override
    {
        UserModeInterfaceTest::SetUp();
        // The bus side: an interface with four sets behind a device of its own driver.
        m_pBusInterface = MakeInterface(m_busPdo, u"ROOT\\CVBUS\\0000", &m_busTargets, 4);
        m_busDriver.SetDispatch(IRP_MJ_DEVICE_CONTROL, [this](PDEVICE_OBJECT, PIRP irp) {
            m_busFileObjects.push_back(IoGetCurrentIrpStackLocation(irp)->FileObject);
            return m_pBusInterface->m_Dispatch_Device_Control(irp);
        });
        m_busDevice = m_busDriver.CreateDevice();
        ASSERT_NE(m_busDevice, nullptr);
        for (ULONG index = 1; index <= 4; index++)
            Store(index, 1000 * index, u"Bus" + std::u16string(1, char16_t(u'0' + index)), index, false,
                  u"ROOT\\CVBUS\\0000");
        m_pInterface->m_SetOwnIndex(3);
        m_pInterface->m_SetHooks(&UserModeInterfaceTest::SetChanged, &ForwardingTest::Forward, this);
    }

    static BOOLEAN Forward(PVOID context, ULONG code, PVOID buffer, ULONG inputLength, ULONG outputLength,
                           PFILE_OBJECT fileObject, PULONG_PTR information)
    {
        auto* self = static_cast<ForwardingTest*>(context);
        self->m_forwardedLengths.push_back({inputLength, outputLength});
        ULONG length = outputLength;
        if (!TfSendSynchronousDeviceControlWithOutput(self->m_busDevice, code, buffer, inputLength, buffer, &length,
                                                      FALSE, fileObject))
            return FALSE;
        *information = self->m_extraInformation ? length + self->m_extraInformation : length;
        return TRUE;
    }

    emu::testing::TestDriver m_busDriver{u"CvBusTest"};
    PDEVICE_OBJECT m_busDevice = nullptr;
    FILE_OBJECT m_file{};
    std::vector<PFILE_OBJECT> m_busFileObjects;
    std::vector<std::pair<ULONG, ULONG>> m_forwardedLengths;
    ULONG m_extraInformation = 0;
};

TEST_F(ForwardingTest, DefaultIndexBecomesTheOwnIndexAndAnExplicitOneIsKept)
{
    std::vector<uint8_t> three = Wire(3000, "Bus3", 3);
    Request get(IOCTL_TF_USERMODE_GET_SET, 1, 0xFFFFFFFF, {}, ULONG(three.size()), &m_file);
    ASSERT_EQ(Send(get), STATUS_SUCCESS);
    EXPECT_EQ(get.Output(), three);
    ASSERT_EQ(m_busFileObjects.size(), 1u);
    EXPECT_EQ(m_busFileObjects[0], &m_file);
    EXPECT_TRUE(m_calls.empty());  // the port's own set is not touched

    std::vector<uint8_t> two = Wire(2000, "Bus2", 2);
    Request explicitTwo(IOCTL_TF_USERMODE_GET_SET, 1, 2, {}, ULONG(two.size()), &m_file);
    ASSERT_EQ(Send(explicitTwo), STATUS_SUCCESS);
    EXPECT_EQ(explicitTwo.Output(), two);

    Request set(IOCTL_TF_USERMODE_SET_SET, 1, 0xFFFFFFFF, Wire(3333, "Changed", 0), 0, &m_file);
    ASSERT_EQ(Send(set), STATUS_SUCCESS);
    EXPECT_EQ(registry().GetDword(SetKey(3, u"ROOT\\CVBUS\\0000"), u"Baudrate"), 3333u);
    EXPECT_EQ(StoredBaud(1), std::nullopt);
}

TEST_F(ForwardingTest, TheCallersLengthsGoDownAndNoAnswerExceedsTheOutputBuffer)
{
    // Input as long as the set, output of 4 bytes: the bus sees the real output length and refuses.
    std::vector<uint8_t> three = Wire(3000, "Bus3", 3);
    Request get(IOCTL_TF_USERMODE_GET_SET, 1, 3, std::vector<uint8_t>(three.size() - 8, 0), 4, &m_file);
    EXPECT_EQ(Send(get), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(get.Information(), 0u);
    ASSERT_EQ(m_forwardedLengths.size(), 1u);
    EXPECT_EQ(m_forwardedLengths[0], std::make_pair(ULONG(three.size()), 4u));

    // A forwarder that reports more than the caller's room is not believed.
    m_extraInformation = 1;
    Request size(IOCTL_TF_USERMODE_GET_SIZE, 1, 3, {}, 4, &m_file);
    EXPECT_EQ(Send(size), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(size.Information(), 0u);
    EXPECT_EQ(Take(Violation::AssertReport), 1u);
}

TEST_F(ForwardingTest, OnlyTheSixCodesAreForwardedAndFailuresBelowFail)
{
    Request other(0x8001E018, 1, 1, {}, 4, &m_file);
    EXPECT_EQ(Send(other), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(m_forwardedLengths.empty());

    Request count2(IOCTL_TF_USERMODE_GET_SIZE, 2, 1, {}, 4, &m_file);
    EXPECT_EQ(Send(count2), STATUS_INVALID_PARAMETER);

    // Index 9 is outside the bus's four sets.
    Request outside(IOCTL_TF_USERMODE_GET_SET, 1, 9, {}, 16, &m_file);
    EXPECT_EQ(Send(outside), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Take(Violation::AssertReport), 1u);
}

// ---------------------------------------------------------------------------------------------
// Concurrency
// ---------------------------------------------------------------------------------------------

TEST_F(UserModeInterfaceTest, ConcurrentRequestsAndLoadsNeverSeeATornSet)
{
    registry().CreateKey(SetKey(1) + u"\\Default");
    Store(1, 1111, u"Short", 1);
    const std::vector<uint8_t> a = Wire(1111, "Short", 1);
    const std::vector<uint8_t> b = Wire(2222, "A considerably longer name", 2);
    std::atomic<bool> torn{false};
    std::atomic<int> failures{0};

    auto writer = [&](const std::vector<uint8_t>& wire) {
        for (int i = 0; i < 40; i++) {
            Request set(IOCTL_TF_USERMODE_SET_SET, 0, 1, wire, 0);
            if (m_pInterface->m_Dispatch_Device_Control(set.Irp()) != STATUS_SUCCESS) failures++;
        }
    };
    auto reader = [&] {
        for (int i = 0; i < 40; i++) {
            for (const auto* wire : {&a, &b}) {
                Request get(IOCTL_TF_USERMODE_GET_SET, 0, 1, {}, ULONG(wire->size()));
                NTSTATUS status = m_pInterface->m_Dispatch_Device_Control(get.Irp());
                if (status == STATUS_SUCCESS && get.Output() != a && get.Output() != b) torn = true;
                if (status != STATUS_SUCCESS && status != STATUS_INVALID_PARAMETER) failures++;
            }
            if (!m_pInterface->m_LoadAllSets()) failures++;
        }
    };
    std::thread t1(writer, a), t2(writer, b), t3(reader);
    t1.join();
    t2.join();
    t3.join();
    EXPECT_FALSE(torn);
    EXPECT_EQ(failures, 0);
    std::optional<ULONG> stored = StoredBaud(1);
    EXPECT_TRUE(stored == 1111u || stored == 2222u);
}

}  // namespace
