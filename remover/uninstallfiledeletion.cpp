#include "uninstallfiledeletion.h"

#include <afxwin.h>
#include <io.h>

#include <cerrno>

TfFileDeletion TfDeletePackageFile(const CString& strPath, bool bSilent)
{
    if (_waccess(strPath, 6) != 0) {
        if (errno == ENOENT) return TfFileDeletion::Missing;
        if (_wchmod(strPath, _S_IREAD | _S_IWRITE) != 0 && !bSilent) {
            CString strMessage;
            strMessage.Format(u"Can't change permission access for file: %s.", static_cast<LPCWSTR>(strPath));
            AfxMessageBox(strMessage);
        }
    }
    if (_wremove(strPath) == 0) return TfFileDeletion::Deleted;
    return errno == ENOENT ? TfFileDeletion::Missing : TfFileDeletion::Kept;
}
