// The wider kernel interface; on this machine everything the drivers use is in wdm.h.
#pragma once

#include <wdm.h>
