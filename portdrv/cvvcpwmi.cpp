// The port driver's WMI data blocks.
#include "cvvcpdriver.h"
#include "tfdebug.h"

namespace {

const GUID g_NameGuid = {0xA0EC11A8, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
const GUID g_CommGuid = {0xEDB16A62, 0xB16C, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
const GUID g_HwGuid = {0x270B9B86, 0xB16D, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
const GUID g_PerfGuid = {0x56415ACC, 0xB16D, 0x11D1, {0xBD, 0x98, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0x2D}};
const GUID g_PropertiesGuid = {0x8209EC2A, 0x2D6B, 0x11D2, {0xBA, 0x49, 0x00, 0xA0, 0xC9, 0x06, 0x29, 0x10}};
const GUID g_TimingGuid = {0xA16071A1, 0xFF65, 0x4830, {0x95, 0x13, 0xCF, 0xD8, 0x62, 0x60, 0x01, 0x00}};
const GUID g_ParametersGuid = {0x848B61D3, 0x3F3B, 0x4343, {0xAD, 0x13, 0x56, 0x54, 0x2E, 0x25, 0x93, 0x53}};
const GUID g_LinesGuid = {0x41AFEF2A, 0x2ED2, 0x4D2C, {0xA4, 0x5F, 0x6A, 0x8A, 0xC3, 0xBB, 0xBC, 0x1F}};
const GUID g_BinaryMofGuid = {0x05901221, 0xD566, 0x11D1, {0xB2, 0xF0, 0x00, 0xA0, 0xC9, 0x06, 0x29, 0x10}};

enum VCP_WMI_BLOCK { NameBlock, CommBlock, HwBlock, PerfBlock, PropertiesBlock, TimingBlock, ParametersBlock,
                     LinesBlock, MofBlock, BlockCount };

#define VCP_MOF_SIZE 5000

// The classes of the blocks, as the binary MOF block describes them.
const char g_Mof[] =
    "[WMI, guid(\"{A16071A1-FF65-4830-9513-CFD862600100}\")] class CvUVcp_Timing {\n"
    "  [WmiDataId(1)] uint32 LastReceiveMicroseconds; [WmiDataId(2)] uint32 TransmittedCount;\n"
    "  [WmiDataId(3)] uint32 ReceivedCount; };\n"
    "[WMI, guid(\"{848B61D3-3F3B-4343-AD13-56542E259353}\")] class CvUVcp_Parameters {\n"
    "  [WmiDataId(1)] uint32 PortType; [WmiDataId(2)] uint32 MaxBaudRate; [WmiDataId(3)] uint32 MinBaudRate;\n"
    "  [WmiDataId(4)] uint32 TransmitTriggerLevel; [WmiDataId(5)] uint32 ReceiveTriggerLevel;\n"
    "  [WmiDataId(6)] uint32 FlowControlTriggerLevel; [WmiDataId(7)] uint32 DuplexMode;\n"
    "  [WmiDataId(8)] uint32 Baudrate; [WmiDataId(9)] uint32 Databits; [WmiDataId(10)] uint32 Parity;\n"
    "  [WmiDataId(11)] uint32 Stopbits; [WmiDataId(12)] uint32 FlowControl; [WmiDataId(13)] uint32 LogLevel;\n"
    "  [WmiDataId(14)] uint32 SupportedBaudRates; [WmiDataId(15)] uint32 SupportedParities;\n"
    "  [WmiDataId(16)] uint32 SupportedDataBits; [WmiDataId(17)] uint32 SupportedStopBits;\n"
    "  [WmiDataId(18)] uint8 FlowControls[3]; [WmiDataId(19)] uint8 DuplexModes[2];\n"
    "  [WmiDataId(20)] boolean Overrides[5]; [WmiDataId(21)] uint8 Emulation[3]; };\n"
    "[WMI, guid(\"{41AFEF2A-2ED2-4D2C-A45F-6A8AC3BBBC1F}\")] class CvUVcp_Lines {\n"
    "  [WmiDataId(1)] uint8 ModemControl; [WmiDataId(2)] uint8 ModemStatus; [WmiDataId(3)] uint8 LineStatus;\n"
    "  [WmiDataId(4)] uint32 TransmitHolds; [WmiDataId(5)] uint32 ReceiveHolds; [WmiDataId(6)] uint32 WaitMask; };\n";

static_assert(sizeof(g_Mof) <= VCP_MOF_SIZE, "the MOF fits its block");

void Put32(PUCHAR pucBuffer, ULONG ulOffset, ULONG ulValue)
{
    RtlCopyMemory(pucBuffer + ulOffset, &ulValue, sizeof(ulValue));
}

// WMI's parity codes: none 0, odd 1, even 2, mark 4, space 3.
ULONG WmiParity(UCHAR ucParity)
{
    static const ULONG Codes[] = {0, 1, 2, 4, 3};
    return ucParity < 5 ? Codes[ucParity] : 0;
}

void FillCommBlock(PUCHAR pucBuffer, CVCP* pVcp, CCvUVcpUserModeInterface* pSet, BOOLEAN bOpen)
{
    Put32(pucBuffer, 36, pSet != NULL ? pSet->m_Values().ulMaxBaudRate : 115200);
    Put32(pucBuffer, 40, 0xFFFFFFFF);
    Put32(pucBuffer, 44, 0xFFFFFFFF);
    RtlFillMemory(pucBuffer + 49, 11, 1);
    pucBuffer[60] = bOpen ? 1 : 0;
    if (pVcp == NULL) {
        return;
    }
    SERIAL_LINE_CONTROL Line;
    SERIAL_CHARS Chars;
    SERIAL_HANDFLOW HandFlow;
    pVcp->m_GetLineControl(&Line);
    pVcp->m_GetChars(&Chars);
    pVcp->m_GetHandFlow(&HandFlow);
    Put32(pucBuffer, 0, pVcp->m_GetBaudRate());
    Put32(pucBuffer, 4, Line.WordLength);
    Put32(pucBuffer, 8, WmiParity(Line.Parity));
    pucBuffer[12] = Line.Parity != NO_PARITY ? 1 : 0;
    Put32(pucBuffer, 16, Line.StopBits == STOP_BIT_1 ? 1 : Line.StopBits == STOP_BITS_2 ? 2 : 0);
    Put32(pucBuffer, 20, Chars.XoffChar);
    Put32(pucBuffer, 24, (ULONG)HandFlow.XoffLimit);
    Put32(pucBuffer, 28, Chars.XonChar);
    Put32(pucBuffer, 32, (ULONG)HandFlow.XonLimit);
}

void FillParametersBlock(PUCHAR pucBuffer, const VCP_PARAMETERS& P)
{
    const ULONG Values[] = {P.ulPortType, P.ulMaxBaudRate, P.ulMinBaudRate, P.ulTransmitTriggerLevel,
                            P.ulReceiveTriggerLevel, P.ulFlowControlTriggerLevel, P.ulDuplexMode, P.ulBaudrate,
                            P.ulDatabits, P.ulParity, P.ulStopbits, P.ulFlowControl, P.ulLogLevel,
                            P.ulSupportedBaudRates, P.ulSupportedParities, P.ulSupportedDataBits,
                            P.ulSupportedStopBits};
    for (ULONG i = 0; i < 17; i++) Put32(pucBuffer, i * 4, Values[i]);
    BOOLEAN bNoFlow = P.ulPortType == VCP_PORT_TYPE_RS422_485 && P.ulDuplexMode == 2;
    for (ULONG i = 0; i < 3; i++) pucBuffer[68 + i] = bNoFlow ? 0 : (UCHAR)((P.ulSupportedFlowControls >> i) & 1);
    for (ULONG i = 0; i < 2; i++) pucBuffer[71 + i] = (UCHAR)((P.ulSupportedDuplexModes >> i) & 1);
    const ULONG Overrides[] = {P.ulOverrideBaudRates, P.ulOverrideDataBits, P.ulOverrideParity,
                               P.ulOverrideStopbits, P.ulOverrideFlowControl};
    for (ULONG i = 0; i < 5; i++) Put32(pucBuffer, 76 + i * 4, Overrides[i] != 0);
    pucBuffer[96] = P.ulEmulateCtsTrue != 0;
    pucBuffer[97] = P.ulEmulateDsrTrue != 0;
    pucBuffer[98] = P.ul422485CtsTrue != 0;
}

void FillLinesBlock(PUCHAR pucBuffer, CVCP* pVcp)
{
    pucBuffer[0] = pVcp->m_GetModemControl() & (SERIAL_DTR_STATE | SERIAL_RTS_STATE);
    pucBuffer[1] = (UCHAR)pVcp->m_GetMsrImage();
    pucBuffer[2] = (UCHAR)pVcp->m_GetLsrImage();
    Put32(pucBuffer, 4, pVcp->m_GetTransmitHoldBits());
    Put32(pucBuffer, 8, pVcp->m_GetReceiveHoldBits());
    ULONG ulMask = 0;
    pVcp->m_GetWaitMask(&ulMask);
    Put32(pucBuffer, 12, ulMask);
}

}  // namespace

TF_WMI_GUID_RECORD g_VcpWmiGuids[BlockCount] = {
    {&g_NameGuid, 1, 0, 0, 1, 0, 0},          {&g_CommGuid, 1, 0, 64, 1, 0, 0},
    {&g_HwGuid, 1, 0, 40, 1, 0, 0},           {&g_PerfGuid, 1, 0, 24, 1, 0, 0},
    {&g_PropertiesGuid, 1, 0, 64, 1, 0, 0},   {&g_TimingGuid, 1, 0, 12, 1, 0, 0},
    {&g_ParametersGuid, 1, 0, 100, 1, 0, 0},  {&g_LinesGuid, 1, 0, 16, 1, 0, 0},
    {&g_BinaryMofGuid, 1, 0, VCP_MOF_SIZE, 1, 0, 0},
};
extern const ULONG g_ulVcpWmiGuidCount = BlockCount;

BOOLEAN CCvUVCPDriver::sm_WmiGetRequiredSize(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, PULONG pulSize)
{
    return ((CCvUVCPDriver*)pObject)->m_WmiGetRequiredSize(ulGuidIndex, ulInstance, pulSize);
}

BOOLEAN CCvUVCPDriver::sm_WmiQueryDataBlock(CTfObject* pObject, ULONG ulGuidIndex, ULONG ulInstance, PUCHAR pucBuffer)
{
    return ((CCvUVCPDriver*)pObject)->m_WmiQueryDataBlock(ulGuidIndex, ulInstance, pucBuffer);
}

BOOLEAN CCvUVCPDriver::sm_WmiSetDataBlock(CTfObject*, ULONG, ULONG, ULONG, PUCHAR)
{
    TfDebugLog(7, "CCvUVCPDriver::m_WmiSetDataBlockCallback - IN and OUT (do nothing in this function)");
    return TRUE;
}

BOOLEAN CCvUVCPDriver::sm_WmiSetDataItem(CTfObject*, ULONG, ULONG, ULONG, ULONG, PUCHAR)
{
    TfDebugLog(7, "CCvUVCPDriver::m_WmiSetDataItemCallback - IN and OUT (do nothing in this function)");
    return TRUE;
}

BOOLEAN CCvUVCPDriver::sm_WmiMethodSize(CTfObject*, ULONG, ULONG, ULONG, PULONG, PULONG)
{
    TfDebugLog(7, "CCvUVCPDriver::m_WmiGetRequiredSizeForMethodCallback - IN and OUT (do nothing in this function)");
    return TRUE;
}

BOOLEAN CCvUVCPDriver::sm_WmiExecuteMethod(CTfObject*, ULONG, ULONG, ULONG, PULONG, PULONG, PUCHAR)
{
    TfDebugLog(7, "CCvUVCPDriver::m_WmiExecuteMethodCallback - IN and OUT (do nothing in this function)");
    return TRUE;
}

BOOLEAN CCvUVCPDriver::m_WmiGetRequiredSize(ULONG ulGuidIndex, ULONG ulInstance, PULONG pulSize)
{
    if (ulGuidIndex != NameBlock) {
        return FALSE;
    }
    *pulSize = (ULONG)m_PortName.m_GetLength() + sizeof(USHORT);
    return TRUE;
}

BOOLEAN CCvUVCPDriver::m_WmiQueryDataBlock(ULONG ulGuidIndex, ULONG ulInstance, PUCHAR pucBuffer)
{
    if (ulInstance != 0 || ulGuidIndex >= BlockCount) {
        DbgPrint("ASSERT at - %s %d\n", "cvvcpdriver", __LINE__);
        return FALSE;
    }
    if (ulGuidIndex == NameBlock) {
        USHORT usLength = m_PortName.m_GetLength();
        RtlCopyMemory(pucBuffer, &usLength, sizeof(usLength));
        if (usLength != 0) {
            RtlCopyMemory(pucBuffer + sizeof(usLength), m_PortName.m_GetWideBuffer(), usLength);
        }
        return TRUE;
    }
    if (ulGuidIndex == MofBlock) {
        RtlZeroMemory(pucBuffer, VCP_MOF_SIZE);
        RtlCopyMemory(pucBuffer, g_Mof, sizeof(g_Mof));
        return TRUE;
    }
    RtlZeroMemory(pucBuffer, g_VcpWmiGuids[ulGuidIndex].ulFixedSize);
    CVCP* pVcp = m_AcquireVcp();
    CCvUVcpUserModeInterface* pSet = pVcp != NULL ? pVcp->m_GetParameters() : NULL;
    switch (ulGuidIndex) {
    case CommBlock:
        FillCommBlock(pucBuffer, pVcp, pSet, m_IsOpen());
        break;
    case HwBlock:
        Put32(pucBuffer, 24, 1);
        break;
    case PerfBlock:
        if (pVcp != NULL) pVcp->m_GetStatistics((PSERIALPERF_STATS)pucBuffer);
        break;
    case PropertiesBlock:
        if (pSet != NULL) {
            pVcp->m_GetPortProperties((PSERIAL_COMMPROP)pucBuffer);
        } else {
            Put32(pucBuffer, 36, 0x1007FFFF);
            pucBuffer[40] = 15;
            Put32(pucBuffer, 42, 0x1F07);
        }
        break;
    case TimingBlock:
        if (pVcp != NULL) {
            SERIALPERF_STATS Stats;
            pVcp->m_GetStatistics(&Stats);
            Put32(pucBuffer, 0, pVcp->m_GetLastReceiveDuration());
            Put32(pucBuffer, 4, Stats.TransmittedCount);
            Put32(pucBuffer, 8, Stats.ReceivedCount);
        }
        break;
    case ParametersBlock:
        if (pSet != NULL) FillParametersBlock(pucBuffer, pSet->m_Values());
        break;
    case LinesBlock:
        if (pVcp != NULL) FillLinesBlock(pucBuffer, pVcp);
        break;
    default:
        break;
    }
    if (pVcp != NULL) {
        m_ReleaseVcp();
    }
    return TRUE;
}
