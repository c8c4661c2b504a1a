// The adapter models the COM-number assignment treats apart: models whose port always gets one
// fixed COM number, and multi-chip adapters whose ports sit two levels further down the device
// tree (their functions' ports are numbered together).
#pragma once

#include <windows.h>

#include <atlstr.h>

#include <vector>

struct FixedComNumberModel {
    LPCWSTR pszModelId;  // enumerator and device part of the parent's ID, upper case
    DWORD dwComNumber;
};

// The fixed COM number of a parent model ID (compared exactly), or 0 for a model without one.
DWORD FixedComNumberOf(const CString& strModelId);

// TRUE when the upper-cased instance ID contains "USB" and one of the listed multi-chip models.
BOOL IsListedAdapterModel(const CString& strInstanceId);

// Replaces both tables until the object goes (tests give the rows the product list leaves open).
class CAdapterModelTablesOverride {
public:
    CAdapterModelTablesOverride(std::vector<FixedComNumberModel> fixed, std::vector<LPCWSTR> listed);
    ~CAdapterModelTablesOverride();
    CAdapterModelTablesOverride(const CAdapterModelTablesOverride&) = delete;
    CAdapterModelTablesOverride& operator=(const CAdapterModelTablesOverride&) = delete;
};
