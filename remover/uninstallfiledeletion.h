// Deleting one file of the package: a read-only file is made writable first, a missing or vanished
// file is passed over, and a file that cannot be removed stays.
#pragma once

#include <atlstr.h>

enum class TfFileDeletion { Deleted, Missing, Kept };

// bSilent: no permission message.
TfFileDeletion TfDeletePackageFile(const CString& strPath, bool bSilent);
