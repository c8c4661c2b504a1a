// The adapter model tables. The rows are placeholders under the maker's vendor ID until the
// product list gives the real ones: product IDs that no adapter of the package's table uses.
#include "adaptermodels.h"

namespace {

const FixedComNumberModel FIXED_COM_NUMBER_MODELS[] = {
    {u"USB\\VID_0403&PID_F0C1", 2},
    {u"USB\\VID_0403&PID_F0C2&MI_00", 2},
    {u"USB\\VID_0403&PID_F0C3", 4},
    {u"USB\\VID_0403&PID_F0C4", 89},
};

const LPCWSTR LISTED_ADAPTER_MODELS[] = {
    u"VID_0403&PID_F0D0", u"VID_0403&PID_F0D1", u"VID_0403&PID_F0D2", u"VID_0403&PID_F0D3", u"VID_0403&PID_F0D4",
    u"VID_0403&PID_F0D5", u"VID_0403&PID_F0D6", u"VID_0403&PID_F0D7", u"VID_0403&PID_F0D8", u"VID_0403&PID_F0D9",
    u"VID_0403&PID_F0DA", u"VID_0403&PID_F0DB", u"VID_0403&PID_F0DC", u"VID_0403&PID_F0DD", u"VID_0403&PID_F0DE",
    u"VID_0403&PID_F0DF", u"VID_0403&PID_F0E0", u"VID_0403&PID_F0E1", u"VID_0403&PID_F0E2", u"VID_0403&PID_F0E3",
    u"VID_0403&PID_F0E4", u"VID_0403&PID_F0E5", u"VID_0403&PID_F0E6", u"VID_0403&PID_F0E7", u"VID_0403&PID_F0E8",
    u"VID_0403&PID_F0E9", u"VID_0403&PID_F0EA", u"VID_0403&PID_F0EB", u"VID_0403&PID_F0EC",
};

struct Tables {
    std::vector<FixedComNumberModel> fixed;
    std::vector<LPCWSTR> listed;
};

Tables DefaultTables()
{
    return {std::vector<FixedComNumberModel>(std::begin(FIXED_COM_NUMBER_MODELS), std::end(FIXED_COM_NUMBER_MODELS)),
            std::vector<LPCWSTR>(std::begin(LISTED_ADAPTER_MODELS), std::end(LISTED_ADAPTER_MODELS))};
}

Tables& CurrentTables()
{
    static Tables tables = DefaultTables();
    return tables;
}

}  // namespace

DWORD FixedComNumberOf(const CString& strModelId)
{
    for (const FixedComNumberModel& model : CurrentTables().fixed)
        if (strModelId == model.pszModelId) return model.dwComNumber;
    return 0;
}

BOOL IsListedAdapterModel(const CString& strInstanceId)
{
    CString strId(strInstanceId);
    strId.MakeUpper();
    if (strId.Find(u"USB") < 0) return FALSE;
    for (LPCWSTR pszModel : CurrentTables().listed)
        if (strId.Find(pszModel) >= 0) return TRUE;
    return FALSE;
}

CAdapterModelTablesOverride::CAdapterModelTablesOverride(std::vector<FixedComNumberModel> fixed, std::vector<LPCWSTR> listed)
{
    CurrentTables() = {std::move(fixed), std::move(listed)};
}

CAdapterModelTablesOverride::~CAdapterModelTablesOverride() { CurrentTables() = DefaultTables(); }
