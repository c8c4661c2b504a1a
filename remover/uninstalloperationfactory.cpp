// The operation for the running system's family.
#include <new>

#include "win2kuninstalloperation.h"
#include "win9xuninstalloperation.h"

CTfUninstallOperation* CreateWin2kUninstallOperation()
{
    return new (std::nothrow) CTfWin2kUninstallOperation;
}

CTfUninstallOperation* CreateWin9xUninstallOperation()
{
    return new (std::nothrow) CTfWin9xUninstallOperation;
}
