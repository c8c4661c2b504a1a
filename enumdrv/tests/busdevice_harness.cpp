#include "busdevice_harness.h"

#include <chrono>
#include <cstring>

namespace enumdrvtest {

// ---- Port double --------------------------------------------------------------------------------------

CPortDouble::CPortDouble(CCvUsbSamDriver* pBus, ULONG ulPortNumber, PortLog* pLog)
    : CFTDI1Port(pBus, ulPortNumber), m_log(pLog)
{
    std::lock_guard lock(m_log->mutex);
    ++m_log->live;
}

CPortDouble::~CPortDouble()
{
    std::lock_guard lock(m_log->mutex);
    --m_log->live;
    if (m_log->insidePortState) m_log->deletedWhileInUse = true;
    m_log->calls.push_back("delete " + Me());
    m_log->changed.notify_all();
}

BOOLEAN CPortDouble::m_Init()
{
    m_log->Note("init " + Me());
    return m_log->initResult;
}

BOOLEAN CPortDouble::m_DeInit()
{
    m_log->Note("deinit " + Me());
    return TRUE;
}

BOOLEAN CPortDouble::m_SaveDeviceState()
{
    m_log->Note("save " + Me());
    return TRUE;
}

BOOLEAN CPortDouble::m_RestoreDeviceState()
{
    m_log->Note("restore " + Me());
    return TRUE;
}

BOOLEAN CPortDouble::Set(const char* name, ULONG value)
{
    m_log->Note(std::string(name) + " " + Me() + "=" + std::to_string(value));
    return TRUE;
}

void CPortDouble::m_GetWmiTimings(PENUMDRV_WMI_TIMINGS pTimings)
{
    ULONG* values = reinterpret_cast<ULONG*>(pTimings);
    for (size_t i = 0; i < sizeof(*pTimings) / sizeof(ULONG); ++i) values[i] = m_GetPortNumber() * 100 + ULONG(i);
}

void CPortDouble::m_GetPortState(PENUMDRV_WMI_PORT_STATE pState)
{
    std::unique_lock lock(m_log->mutex);
    if (m_log->holdPortState) {
        m_log->insidePortState = true;
        m_log->changed.notify_all();
        m_log->changed.wait(lock, [this] { return m_log->releasePortState; });
    }
    std::memset(pState, 0, sizeof(*pState));
    pState->ulOpen = m_GetPortNumber();
    pState->ucXoffReceived = static_cast<UCHAR>(m_GetPortNumber());
    m_log->insidePortState = false;
}

CFTDI1Port* CTestBus::m_NewPort(ULONG ulPortNumber)
{
    if (m_log->failAllocation) return nullptr;
    return new (NonPagedPool) CPortDouble(this, ulPortNumber, m_log);
}

// ---- Fixture --------------------------------------------------------------------------------------------

void BusDeviceTest::SetUp()
{
    MachineTest::SetUp();
    ASSERT_TRUE(TfLibraryAddReference());
    m_baseline = LiveTracked();
    m_pBus = new (NonPagedPool) CTestBus(&m_log);
    ASSERT_NE(m_pBus, nullptr);
    m_pSet = new (NonPagedPool) CEnumdrvParameterInformationSet();
    ASSERT_NE(m_pSet, nullptr);
    ASSERT_TRUE(m_pSet->m_IsConstructed());
    m_pBus->m_SetParameterSet(m_pSet);
}

void BusDeviceTest::TearDown()
{
    delete m_pBus;
    delete m_pSet;
    {
        std::lock_guard lock(m_log.mutex);
        EXPECT_EQ(m_log.live, 0) << "ports left alive";
    }
    EXPECT_EQ(m_baseline, LiveTracked());
    TfLibraryRelease();
    MachineTest::TearDown();
}

NTSTATUS BusDeviceTest::Create(ULONG portNumber, ISerial** ppISerial, ULONG inputLength, ULONG outputLength,
                               ULONG_PTR* pInformation)
{
    std::vector<uint8_t> buffer(std::max<size_t>({inputLength, outputLength, 16}), 0);
    CVISERIAL_CREATE_REQUEST request{ISERIAL_VERSION, portNumber};
    std::memcpy(buffer.data(), &request, sizeof(request));
    ULONG_PTR information = 0xDEAD;
    NTSTATUS status = m_pBus->m_InternalDeviceControlCallback(IOCTL_CREATE_CVISERIAL, buffer.data(), inputLength,
                                                              buffer.data(), outputLength, &information);
    if (ppISerial) std::memcpy(ppISerial, buffer.data(), sizeof(*ppISerial));
    if (pInformation) *pInformation = information;
    return status;
}

NTSTATUS BusDeviceTest::Release(ULONG portNumber, ULONG inputLength)
{
    std::vector<uint8_t> buffer(std::max<size_t>(inputLength, sizeof(CVISERIAL_RELEASE_REQUEST)), 0);
    CVISERIAL_RELEASE_REQUEST request{};
    request.ulPortNumber = portNumber;
    std::memcpy(buffer.data(), &request, sizeof(request));
    ULONG_PTR information = 0;
    return m_pBus->m_InternalDeviceControlCallback(IOCTL_RELEASE_CVISERIAL, buffer.data(), inputLength, nullptr, 0,
                                                   &information);
}

void BusDeviceTest::Load(const std::map<std::u16string, ULONG>& values)
{
    std::u16string path = u"\\Registry\\Machine\\Software\\EnumdrvTest\\Set" + std::u16string(1, char16_t(u'A' + m_keys++));
    ASSERT_TRUE(machine().GetRegistry().CreateKey(path));
    for (const auto& [name, value] : values) ASSERT_TRUE(machine().GetRegistry().SetDword(path, name, value));
    HANDLE key = nullptr;
    CTfString keyPath(NonPagedPool, path.c_str());
    ASSERT_TRUE(CTfRegistry::m_OpenKey(keyPath, &key, KEY_READ, FALSE));
    EXPECT_TRUE(m_pSet->m_ReadFromKey(key, FALSE));
    CTfRegistry::m_CloseKey(key);
}

void BusDeviceTest::Apply(const std::map<std::u16string, ULONG>& values)
{
    Load(values);
    UCHAR storeAgain = 0;
    EXPECT_TRUE(m_pBus->m_UserModeInterface(m_pSet, 1, TF_UMI_PHASE_APPLY, &storeAgain));
}

std::vector<uint8_t> BusDeviceTest::QueryBlock(ULONG block, ULONG instance, BOOLEAN* pResult)
{
    static const ULONG sizes[] = {28, 32, 60, ENUMDRV_WMI_MOF_SIZE, 64};
    std::vector<uint8_t> buffer(sizes[std::min<ULONG>(block, 4)], 0xEE);
    BOOLEAN result = m_pBus->m_WmiQueryData(block, instance, buffer.data());
    if (pResult) *pResult = result;
    return buffer;
}

}  // namespace enumdrvtest
