// The port parameter set.
#include "vcpparameters.h"

#include <ntddser.h>

#include "tfdebug.h"

namespace {

struct VCP_VALUE {
    PCWSTR pszName;
    SIZE_T cbOffset;
    ULONG ulDefault;
};

#define VCP_FIELD(name) offsetof(VCP_PARAMETERS, name)

// Registration (and wire) order.
const VCP_VALUE g_Values[] = {
    {u"PortType", VCP_FIELD(ulPortType), VCP_PORT_TYPE_UNSET},
    {u"MaxBaudRate", VCP_FIELD(ulMaxBaudRate), 1000000},
    {u"MinBaudRate", VCP_FIELD(ulMinBaudRate), 75},
    {u"DuplexMode", VCP_FIELD(ulDuplexMode), 0},
    {u"Baudrate", VCP_FIELD(ulBaudrate), 9600},
    {u"Databits", VCP_FIELD(ulDatabits), 3},
    {u"Parity", VCP_FIELD(ulParity), 0},
    {u"Stopbits", VCP_FIELD(ulStopbits), 0},
    {u"FlowControl", VCP_FIELD(ulFlowControl), 0},
    {u"LogLevel", VCP_FIELD(ulLogLevel), 0},
    {u"ReceiveTriggerLevel", VCP_FIELD(ulReceiveTriggerLevel), 75},
    {u"TransmitTriggerLevel", VCP_FIELD(ulTransmitTriggerLevel), 10},
    {u"FlowControlTriggerLevel", VCP_FIELD(ulFlowControlTriggerLevel), 85},
    {u"SupportedBaudRates", VCP_FIELD(ulSupportedBaudRates), 0x1007FFFF},
    {u"SupportedParities", VCP_FIELD(ulSupportedParities), 0x1F00},
    {u"SupportedDataBits", VCP_FIELD(ulSupportedDataBits), 15},
    {u"SupportedStopBits", VCP_FIELD(ulSupportedStopBits), 7},
    {u"SupportedFlowControls", VCP_FIELD(ulSupportedFlowControls), 15},
    {u"SupportedDuplexModes", VCP_FIELD(ulSupportedDuplexModes), 0},
    {u"OverridBaudRates", VCP_FIELD(ulOverrideBaudRates), 0},
    {u"OverrideDataBits", VCP_FIELD(ulOverrideDataBits), 0},
    {u"OverrideParity", VCP_FIELD(ulOverrideParity), 0},
    {u"OverrideStopbits", VCP_FIELD(ulOverrideStopbits), 0},
    {u"OverrideFlowControl", VCP_FIELD(ulOverrideFlowControl), 0},
    {u"EmulateCTSTrue", VCP_FIELD(ulEmulateCtsTrue), 0},
    {u"EmulateDSRTrue", VCP_FIELD(ulEmulateDsrTrue), 0},
    {u"422485CtsTrue", VCP_FIELD(ul422485CtsTrue), 0},
    {u"CtsSupported", VCP_FIELD(ulCtsSupported), 1},
    {u"RtsSupported", VCP_FIELD(ulRtsSupported), 1},
    {u"DtrSupported", VCP_FIELD(ulDtrSupported), 1},
    {u"DsrSupported", VCP_FIELD(ulDsrSupported), 1},
    {u"DcdSupported", VCP_FIELD(ulDcdSupported), 1},
    {u"RiSupported", VCP_FIELD(ulRiSupported), 1},
};

struct VCP_RATE_BIT {
    ULONG ulRate;
    ULONG ulBit;
};

const VCP_RATE_BIT g_RateBits[] = {
    {75, SERIAL_BAUD_075},     {110, SERIAL_BAUD_110},     {134, SERIAL_BAUD_134_5},  {135, SERIAL_BAUD_134_5},
    {150, SERIAL_BAUD_150},    {300, SERIAL_BAUD_300},     {600, SERIAL_BAUD_600},    {1200, SERIAL_BAUD_1200},
    {1800, SERIAL_BAUD_1800},  {2400, SERIAL_BAUD_2400},   {4800, SERIAL_BAUD_4800},  {7200, SERIAL_BAUD_7200},
    {9600, SERIAL_BAUD_9600},  {14400, SERIAL_BAUD_14400}, {19200, SERIAL_BAUD_19200}, {38400, SERIAL_BAUD_38400},
    {56000, SERIAL_BAUD_56K},  {128000, SERIAL_BAUD_128K}, {115200, SERIAL_BAUD_115200}, {57600, SERIAL_BAUD_57600},
};

const char* const g_DataBitsText[] = {"5", "6", "7", "8"};
const char* const g_ParityText[] = {"None", "Odd", "Even", "Mark", "Space"};
const char* const g_StopBitsText[] = {"1", "1.5", "2"};

const char* FlowControlText(ULONG ulFlowControl)
{
    switch (ulFlowControl) {
    case VCP_FLOW_NONE:
    case VCP_FLOW_NONE_TOO:
        return "None";
    case VCP_FLOW_CTS_RTS:
        return "Rts/Cts";
    case VCP_FLOW_DTR_DSR:
        return "Dtr/Dsr";
    case VCP_FLOW_XON_XOFF:
        return "Xon/Xoff";
    default:
        return "Unknown";
    }
}

}  // namespace

CCvUVcpUserModeInterface::CCvUVcpUserModeInterface() : m_bConstructed(FALSE)
{
    RtlZeroMemory(&m_Parameters, sizeof(m_Parameters));
    m_bConstructed = m_IsValid() && m_Register();
}

BOOLEAN CCvUVcpUserModeInterface::m_Register()
{
    for (const VCP_VALUE& Value : g_Values) {
        PULONG pulTarget = (PULONG)((PUCHAR)&m_Parameters + Value.cbOffset);
        if (!m_AddDwordEntry(Value.pszName, pulTarget, Value.ulDefault, NULL)) {
            TfDebugLog(7, "CCvUVcpUserModeInterface::m_Register - OUT - Fail-> entries");
            return FALSE;
        }
    }
    return TRUE;
}

ULONG CCvUVcpUserModeInterface::sm_StandardRateBit(ULONG ulBaudRate)
{
    for (const VCP_RATE_BIT& Rate : g_RateBits) {
        if (Rate.ulRate == ulBaudRate) {
            return Rate.ulBit;
        }
    }
    return 0;
}

BOOLEAN CCvUVcpUserModeInterface::m_IsBaudRateSupported(ULONG ulBaudRate) const
{
    const VCP_PARAMETERS& P = m_Parameters;
    // A rate of 0 would later divide the character time: it is never supported.
    if (ulBaudRate == 0 || ulBaudRate < P.ulMinBaudRate || ulBaudRate > P.ulMaxBaudRate) {
        return FALSE;
    }
    if (P.ulSupportedBaudRates & SERIAL_BAUD_USER) {
        return TRUE;
    }
    ULONG ulBit = sm_StandardRateBit(ulBaudRate);
    return ulBit != 0 && (P.ulSupportedBaudRates & ulBit) != 0;
}

void CCvUVcpUserModeInterface::m_DumpParameters() const
{
    const VCP_PARAMETERS& P = m_Parameters;
    TfDebugLog(7, "===================CvUVCP UI Parameters======================");
    if (P.ulPortType == VCP_PORT_TYPE_RS422_485) {
        TfDebugLog(7, "->Device Type: RS-422/485 Port");
        TfDebugLog(7, "->DuplexMode: 0x%X", P.ulDuplexMode);
        TfDebugLog(7, "->422485CtsTrue: %d", P.ul422485CtsTrue);
    } else {
        TfDebugLog(7, "->Device Type: RS-232 Port");
    }
    TfDebugLog(7, "->MaxBaudRate: %d", P.ulMaxBaudRate);
    TfDebugLog(7, "->MinBaudRate: %d", P.ulMinBaudRate);
    TfDebugLog(7, "->BaudRate: %d", P.ulBaudrate);
    TfDebugLog(7, "->Databits: %s", P.ulDatabits < 4 ? g_DataBitsText[P.ulDatabits] : "Unknown");
    TfDebugLog(7, "->Parity: %s", P.ulParity < 5 ? g_ParityText[P.ulParity] : "Unknown");
    TfDebugLog(7, "->Stopbits: %s", P.ulStopbits < 3 ? g_StopBitsText[P.ulStopbits] : "Unknown");
    TfDebugLog(7, "->FlowControl: %s", FlowControlText(P.ulFlowControl));
    TfDebugLog(7, "->Receive Trigger Level: %d%%", P.ulReceiveTriggerLevel);
    TfDebugLog(7, "->Transmit Trigger Level: %d%%", P.ulTransmitTriggerLevel);
    TfDebugLog(7, "->Flow Control Trigger Level: %d%%", P.ulFlowControlTriggerLevel);
    TfDebugLog(7, "->SupportedBaudRates: 0x%X", P.ulSupportedBaudRates);
    TfDebugLog(7, "->SupportedParities: 0x%X", P.ulSupportedParities);
    TfDebugLog(7, "->SupportedDataBits: 0x%X", P.ulSupportedDataBits);
    TfDebugLog(7, "->SupportedStopBits: 0x%X", P.ulSupportedStopBits);
    TfDebugLog(7, "->SupportedFlowControls: 0x%X", P.ulSupportedFlowControls);
    TfDebugLog(7, "->m_OverrideBaudrate: %d", P.ulOverrideBaudRates);
    TfDebugLog(7, "->m_OverrideDataBits: %d", P.ulOverrideDataBits);
    TfDebugLog(7, "->m_OverrideParity: %d", P.ulOverrideParity);
    TfDebugLog(7, "->m_OverrideStopbits: %d", P.ulOverrideStopbits);
    TfDebugLog(7, "->m_OverrideFlowControl: %d", P.ulOverrideFlowControl);
    TfDebugLog(7, "->m_EmulateCtsAlwaysTrue: %d", P.ulEmulateCtsTrue);
    TfDebugLog(7, "->m_EmulateDsrAlwaysTrue: %d", P.ulEmulateDsrTrue);
    TfDebugLog(7, "==============================================================");
}
