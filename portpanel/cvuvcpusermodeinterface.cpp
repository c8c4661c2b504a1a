// The port set's items, registered in the port driver's order with their defaults.
#include "cvuvcpusermodeinterface.h"

namespace CvUser {

CCvUVcpUserModeInterface::CCvUVcpUserModeInterface()
{
    struct CEntry {
        LPCWSTR pszName;
        DWORD* pdwTarget;
    };
    const CEntry Entries[] = {
        {u"PortType", &m_dwPortType},
        {u"MaxBaudRate", &m_dwMaxBaudRate},
        {u"MinBaudRate", &m_dwMinBaudRate},
        {u"DuplexMode", &m_dwDuplexMode},
        {u"Baudrate", &m_dwBaudrate},
        {u"Databits", &m_dwDatabits},
        {u"Parity", &m_dwParity},
        {u"Stopbits", &m_dwStopbits},
        {u"FlowControl", &m_dwFlowControl},
        {u"LogLevel", &m_dwLogLevel},
        {u"ReceiveTriggerLevel", &m_dwReceiveTriggerLevel},
        {u"TransmitTriggerLevel", &m_dwTransmitTriggerLevel},
        {u"FlowControlTriggerLevel", &m_dwFlowControlTriggerLevel},
        {u"SupportedBaudRates", &m_dwSupportedBaudRates},
        {u"SupportedParities", &m_dwSupportedParities},
        {u"SupportedDataBits", &m_dwSupportedDataBits},
        {u"SupportedStopBits", &m_dwSupportedStopBits},
        {u"SupportedFlowControls", &m_dwSupportedFlowControls},
        {u"SupportedDuplexModes", &m_dwSupportedDuplexModes},
        {u"OverridBaudRates", &m_dwOverridBaudRates},
        {u"OverrideDataBits", &m_dwOverrideDataBits},
        {u"OverrideParity", &m_dwOverrideParity},
        {u"OverrideStopbits", &m_dwOverrideStopbits},
        {u"OverrideFlowControl", &m_dwOverrideFlowControl},
        {u"EmulateCTSTrue", &m_dwEmulateCTSTrue},
        {u"EmulateDSRTrue", &m_dwEmulateDSRTrue},
        {u"422485CtsTrue", &m_dw422485CtsTrue},
        {u"CtsSupported", &m_dwCtsSupported},
        {u"RtsSupported", &m_dwRtsSupported},
        {u"DtrSupported", &m_dwDtrSupported},
        {u"DsrSupported", &m_dwDsrSupported},
        {u"DcdSupported", &m_dwDcdSupported},
        {u"RiSupported", &m_dwRiSupported},
    };
    for (const CEntry& Entry : Entries) AddItem(Entry.pszName, Entry.pdwTarget, *Entry.pdwTarget);
}

}  // namespace CvUser
