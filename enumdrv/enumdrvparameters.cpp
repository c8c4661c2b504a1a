// The bus parameter set.
#include "enumdrvparameters.h"

#include "tfdebug.h"

CEnumdrvParameterInformationSet::CEnumdrvParameterInformationSet()
    : m_bConstructed(FALSE), m_InterfaceType(NonPagedPool)
{
    RtlFillMemory(&m_Values, sizeof(m_Values), 0xFF);
    m_bConstructed = m_IsValid() && m_Register();
}

BOOLEAN CEnumdrvParameterInformationSet::m_Register()
{
    TfDebugLog(7, "CEnumdrvParameterInformationSet::m_Register - IN");
    ENUMDRV_PARAMETERS& V = m_Values;
    BOOLEAN bResult =
        m_AddDwordEntry(ENUMDRV_VALUE_TX_TRANSFER_SIZE, &V.ulTxTransferSize, ENUMDRV_DEFAULT_TX_TRANSFER_SIZE, NULL) &&
        m_AddDwordEntry(ENUMDRV_VALUE_RX_TRANSFER_SIZE, &V.ulRxTransferSize, ENUMDRV_DEFAULT_RX_TRANSFER_SIZE, NULL) &&
        m_AddDwordEntry(ENUMDRV_VALUE_LATENCY_TIMER, &V.ulLatencyTimer, ENUMDRV_DEFAULT_LATENCY_TIMER, NULL) &&
        m_AddDwordEntry(ENUMDRV_VALUE_RX_FIFO_SIZE, &V.ulRxFifoSize, ENUMDRV_DEFAULT_RX_FIFO_SIZE, NULL) &&
        m_AddDwordEntry(ENUMDRV_VALUE_TX_FIFO_SIZE, &V.ulTxFifoSize, ENUMDRV_DEFAULT_TX_FIFO_SIZE, NULL) &&
        m_AddDwordEntry(ENUMDRV_VALUE_MAXIMUM_BAUD_RATE, &V.ulMaximumBaudRate, ENUMDRV_DEFAULT_MAXIMUM_BAUD_RATE, NULL) &&
        m_AddStringEntry(ENUMDRV_VALUE_INTERFACE_TYPE, &m_InterfaceType, ENUMDRV_DEFAULT_INTERFACE_TYPE, NULL) &&
        m_AddDwordEntry(ENUMDRV_VALUE_POLICY_TYPE, &V.ulPolicyType, ENUMDRV_DEFAULT_POLICY_TYPE, NULL) &&
        m_AddDwordEntry(ENUMDRV_VALUE_MAXIMUM_LATENCY, &V.ulMaximumLatency, ENUMDRV_DEFAULT_MAXIMUM_LATENCY, NULL) &&
        m_AddDwordEntry(ENUMDRV_VALUE_MAXIMUM_LATENCY_SLIDER_POS, &V.ulMaximumLatencySliderPos,
                        ENUMDRV_DEFAULT_MAXIMUM_LATENCY_SLIDER_POS, NULL) &&
        m_AddDwordEntry(ENUMDRV_VALUE_MAXIMUM_LATENCY_FINE_TUNING, &V.ulMaximumLatencyFineTuning,
                        ENUMDRV_DEFAULT_MAXIMUM_LATENCY_FINE_TUNING, NULL) &&
        m_AddDwordEntry(ENUMDRV_VALUE_LOW_CPU_USAGE_FINE_TUNING, &V.ulLowCpuUsageFineTuning,
                        ENUMDRV_DEFAULT_LOW_CPU_USAGE_FINE_TUNING, NULL) &&
        m_AddDwordEntry(ENUMDRV_VALUE_PORT_TYPE, &V.ulPortType, ENUMDRV_DEFAULT_PORT_TYPE, NULL) &&
        m_AddDwordEntry(ENUMDRV_VALUE_SOFT_TX_LIMIT, &V.ulSoftTxLimit, ENUMDRV_DEFAULT_SOFT_TX_LIMIT, NULL);
    TfDebugLog(7, bResult ? "CEnumdrvParameterInformationSet::m_Register - OUT (Success)"
                          : "CEnumdrvParameterInformationSet::m_Register - OUT - Fail-> entries");
    return bResult;
}

void CEnumdrvParameterInformationSet::m_GetValues(PENUMDRV_PARAMETERS pValues) const
{
    *pValues = m_Values;
}
