// The port parameter set: a COM port's initial settings, the limits and capabilities it announces,
// the overrides that replace what applications ask for, the handshake emulation flags and the
// RS-422/485 duplex mode. The framework's configuration interface keeps it under the port's "UI"
// keys, serialises it for the property pages and hands it to the driver after every change.
#pragma once

#include <wdm.h>

#include "tfregistryinformationset.h"

// Port types.
#define VCP_PORT_TYPE_RS232 0
#define VCP_PORT_TYPE_RS422_485 1
#define VCP_PORT_TYPE_UNSET 255

// FlowControl values.
#define VCP_FLOW_NONE 0
#define VCP_FLOW_CTS_RTS 1
#define VCP_FLOW_DTR_DSR 2
#define VCP_FLOW_XON_XOFF 4
#define VCP_FLOW_NONE_TOO 8

// SupportedFlowControls bits.
#define VCP_SUPPORTS_CTS_RTS 0x1
#define VCP_SUPPORTS_DTR_DSR 0x2
#define VCP_SUPPORTS_XON_XOFF 0x4
#define VCP_SUPPORTS_ANY_HANDSHAKE 0x8

// The values, in storage order: the overrides and emulation flags, then the rest.
typedef struct _VCP_PARAMETERS {
    ULONG ulOverrideBaudRates;
    ULONG ulOverrideStopbits;
    ULONG ulOverrideParity;
    ULONG ulOverrideDataBits;
    ULONG ulOverrideFlowControl;
    ULONG ulEmulateCtsTrue;
    ULONG ulEmulateDsrTrue;
    ULONG ulPortType;
    ULONG ulMinBaudRate;
    ULONG ulMaxBaudRate;
    ULONG ulDuplexMode;
    ULONG ul422485CtsTrue;
    ULONG ulBaudrate;
    ULONG ulDatabits;
    ULONG ulParity;
    ULONG ulStopbits;
    ULONG ulFlowControl;
    ULONG ulReceiveTriggerLevel;
    ULONG ulTransmitTriggerLevel;
    ULONG ulFlowControlTriggerLevel;
    ULONG ulSupportedBaudRates;
    ULONG ulSupportedParities;
    ULONG ulSupportedDataBits;
    ULONG ulSupportedStopBits;
    ULONG ulSupportedFlowControls;
    ULONG ulSupportedDuplexModes;
    ULONG ulLogLevel;
    ULONG ulCtsSupported;
    ULONG ulRtsSupported;
    ULONG ulDtrSupported;
    ULONG ulDsrSupported;
    ULONG ulDcdSupported;
    ULONG ulRiSupported;
} VCP_PARAMETERS, *PVCP_PARAMETERS;

class CCvUVcpUserModeInterface : public CTfRegistryInformationSet {
public:
    // Registers the 33 values with their defaults; m_IsConstructed tells whether that worked.
    CCvUVcpUserModeInterface();
    virtual ~CCvUVcpUserModeInterface() {}

    BOOLEAN m_IsConstructed() const { return m_bConstructed; }

    // The values; the port object reads and (for the values it owns) changes them in place.
    VCP_PARAMETERS& m_Values() { return m_Parameters; }

    // Within [MinBaudRate, MaxBaudRate], and any rate with SERIAL_BAUD_USER, else a standard rate
    // whose bit is set. Zero is never a rate.
    BOOLEAN m_IsBaudRateSupported(ULONG ulBaudRate) const;
    // The bit of a standard rate; 0 for any other rate.
    static ULONG sm_StandardRateBit(ULONG ulBaudRate);
    void m_DumpParameters() const;

private:
    BOOLEAN m_Register();

    BOOLEAN m_bConstructed;
    VCP_PARAMETERS m_Parameters;
};
