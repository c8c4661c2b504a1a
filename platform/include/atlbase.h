// The ATL base the product's user-mode modules are written with: the module object that knows the
// resource instance, and the DLL module's registration entry points (registering nothing).
#pragma once

#include <windows.h>
#include <winuser.h>

#ifndef S_OK
typedef LONG HRESULT;
#define S_OK ((HRESULT)0L)
#define S_FALSE ((HRESULT)1L)
#define E_FAIL ((HRESULT)0x80004005L)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#endif

namespace ATL {

class CAtlBaseModule {
public:
    HINSTANCE GetModuleInstance() const { return m_hInst; }
    HINSTANCE GetResourceInstance() const { return m_hInstResource ? m_hInstResource : m_hInst; }
    HINSTANCE SetResourceInstance(HINSTANCE hInst)
    {
        HINSTANCE old = m_hInstResource;
        m_hInstResource = hInst;
        return old;
    }
    void SetModuleInstance(HINSTANCE hInst) { m_hInst = hInst; }

private:
    HINSTANCE m_hInst = nullptr;
    HINSTANCE m_hInstResource = nullptr;
};

// One per process, shared by the modules built on it, as each module's own copy would be on Windows.
inline CAtlBaseModule _AtlBaseModule;

// A DLL module: DllMain records the instance; the registration entries register nothing.
template <class T>
class CAtlDllModuleT {
public:
    BOOL DllMain(DWORD dwReason, LPVOID)
    {
        return TRUE;
    }
    HRESULT DllCanUnloadNow() { return S_OK; }
    HRESULT DllRegisterServer(BOOL = TRUE) { return S_OK; }
    HRESULT DllUnregisterServer(BOOL = TRUE) { return S_OK; }
};

}  // namespace ATL

#ifndef _ATL_NO_AUTOMATIC_NAMESPACE
using namespace ATL;
#endif
