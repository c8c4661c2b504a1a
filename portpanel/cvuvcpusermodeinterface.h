// The port information set as the pages see it: the port driver's settings, capabilities,
// overrides and emulation flags, 33 numbers in the driver's order.
#pragma once

#include "utfinformationset.h"

namespace CvUser {

class CVCPEmulation {
public:
    virtual ~CVCPEmulation() {}

    DWORD m_dwEmulateCTSTrue = 0;
    DWORD m_dwEmulateDSRTrue = 0;
    DWORD m_dw422485CtsTrue = 0;
    DWORD m_dwCtsSupported = 1;
    DWORD m_dwRtsSupported = 1;
    DWORD m_dwDtrSupported = 1;
    DWORD m_dwDsrSupported = 1;
    DWORD m_dwDcdSupported = 1;
    DWORD m_dwRiSupported = 1;
};

class CVcpParameters : public CVCPEmulation {
public:
    virtual ~CVcpParameters() {}

    DWORD m_dwPortType = 255;
    DWORD m_dwMaxBaudRate = 1000000;
    DWORD m_dwMinBaudRate = 75;
    DWORD m_dwDuplexMode = 0;
    DWORD m_dwBaudrate = 9600;
    DWORD m_dwDatabits = 3;
    DWORD m_dwParity = 0;
    DWORD m_dwStopbits = 0;
    DWORD m_dwFlowControl = 0;
    DWORD m_dwLogLevel = 0;
    DWORD m_dwReceiveTriggerLevel = 75;
    DWORD m_dwTransmitTriggerLevel = 10;
    DWORD m_dwFlowControlTriggerLevel = 85;
    DWORD m_dwSupportedBaudRates = 0x1007FFFF;
    DWORD m_dwSupportedParities = 0x1F00;
    DWORD m_dwSupportedDataBits = 15;
    DWORD m_dwSupportedStopBits = 7;
    DWORD m_dwSupportedFlowControls = 15;
    DWORD m_dwSupportedDuplexModes = 0;
    DWORD m_dwOverridBaudRates = 0;
    DWORD m_dwOverrideDataBits = 0;
    DWORD m_dwOverrideParity = 0;
    DWORD m_dwOverrideStopbits = 0;
    DWORD m_dwOverrideFlowControl = 0;
};

class CCvUVcpUserModeInterface : public CTfInformationSet, public CVcpParameters {
public:
    CCvUVcpUserModeInterface();
    virtual ~CCvUVcpUserModeInterface() {}
    CCvUVcpUserModeInterface(const CCvUVcpUserModeInterface&) = delete;
    CCvUVcpUserModeInterface& operator=(const CCvUVcpUserModeInterface&) = delete;
};

}  // namespace CvUser
