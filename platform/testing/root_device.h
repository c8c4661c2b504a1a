// A PDO for a device a test plugs into the tree by hand (PnpManager::AddRootDevice): a device of
// a TestDriver whose PnP dispatch answers start, stop and removal requests with success, as a
// root bus does, and leaves the others as they came.
#pragma once

#include <wdm.h>

#include "test_driver.h"

namespace emu::testing {

PDEVICE_OBJECT CreateRootPdo(TestDriver& driver);

}  // namespace emu::testing
