// The bus parameter set: the USB and latency values a user sets through the configuration
// interface (the property pages know it as the bus information set). The framework keeps it under
// the bus device's "UI<n>" keys and hands it to the bus device whenever it is to be applied.
#pragma once

#include <wdm.h>

#include "tfregistryinformationset.h"
#include "tfstring.h"

// Value names, in registration (and wire) order.
#define ENUMDRV_VALUE_TX_TRANSFER_SIZE u"USB_TxTransferSize"
#define ENUMDRV_VALUE_RX_TRANSFER_SIZE u"USB_RxTransferSize"
#define ENUMDRV_VALUE_LATENCY_TIMER u"USB_LatencyTimer"
#define ENUMDRV_VALUE_RX_FIFO_SIZE u"RxFifoSize"
#define ENUMDRV_VALUE_TX_FIFO_SIZE u"TxFifoSize"
#define ENUMDRV_VALUE_MAXIMUM_BAUD_RATE u"MaximumBaudRate"
#define ENUMDRV_VALUE_INTERFACE_TYPE u"InterfaceType"
#define ENUMDRV_VALUE_POLICY_TYPE u"PolicyType"
#define ENUMDRV_VALUE_MAXIMUM_LATENCY u"MaximumLatency"
#define ENUMDRV_VALUE_MAXIMUM_LATENCY_SLIDER_POS u"MaximumLatencySliderPos"
#define ENUMDRV_VALUE_MAXIMUM_LATENCY_FINE_TUNING u"MaximumLatencyFineTuning"
#define ENUMDRV_VALUE_LOW_CPU_USAGE_FINE_TUNING u"LowCpuUsageFineTuning"
#define ENUMDRV_VALUE_PORT_TYPE u"PortType"
#define ENUMDRV_VALUE_SOFT_TX_LIMIT u"SoftTxLimit"

// Defaults.
#define ENUMDRV_DEFAULT_TX_TRANSFER_SIZE 4096
#define ENUMDRV_DEFAULT_RX_TRANSFER_SIZE 4096
#define ENUMDRV_DEFAULT_LATENCY_TIMER 16
#define ENUMDRV_DEFAULT_RX_FIFO_SIZE 256
#define ENUMDRV_DEFAULT_TX_FIFO_SIZE 128
#define ENUMDRV_DEFAULT_MAXIMUM_BAUD_RATE 1000000
#define ENUMDRV_DEFAULT_INTERFACE_TYPE "USB"
#define ENUMDRV_DEFAULT_POLICY_TYPE 0  // 0 SpecificLatencyTime, 1 LowCpuUsage
#define ENUMDRV_DEFAULT_MAXIMUM_LATENCY 1040
#define ENUMDRV_DEFAULT_MAXIMUM_LATENCY_SLIDER_POS 6111
#define ENUMDRV_DEFAULT_MAXIMUM_LATENCY_FINE_TUNING 0
#define ENUMDRV_DEFAULT_LOW_CPU_USAGE_FINE_TUNING 192
#define ENUMDRV_DEFAULT_PORT_TYPE 0  // bit n - 1 set: port n is an RS-422/485 port
#define ENUMDRV_DEFAULT_SOFT_TX_LIMIT 13

// The numbers of the set, as the bus device keeps a copy of them.
typedef struct _ENUMDRV_PARAMETERS {
    ULONG ulTxTransferSize;
    ULONG ulRxTransferSize;
    ULONG ulLatencyTimer;
    ULONG ulRxFifoSize;
    ULONG ulTxFifoSize;
    ULONG ulMaximumBaudRate;
    ULONG ulPolicyType;
    ULONG ulMaximumLatency;
    ULONG ulMaximumLatencySliderPos;
    ULONG ulMaximumLatencyFineTuning;
    ULONG ulLowCpuUsageFineTuning;
    ULONG ulPortType;
    ULONG ulSoftTxLimit;
} ENUMDRV_PARAMETERS, *PENUMDRV_PARAMETERS;

class CEnumdrvParameterInformationSet : public CTfRegistryInformationSet {
public:
    // Every number starts at 0xFFFFFFFF and is then registered with its default;
    // m_IsConstructed tells whether all fourteen values could be registered.
    CEnumdrvParameterInformationSet();
    virtual ~CEnumdrvParameterInformationSet() {}

    BOOLEAN m_IsConstructed() const { return m_bConstructed; }

    // The numbers as they are now.
    void m_GetValues(PENUMDRV_PARAMETERS pValues) const;
    CTfString& m_GetInterfaceType() { return m_InterfaceType; }

private:
    BOOLEAN m_Register();

    BOOLEAN m_bConstructed;
    ENUMDRV_PARAMETERS m_Values;
    CTfString m_InterfaceType;
};
