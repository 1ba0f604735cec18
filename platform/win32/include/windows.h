// Host stand-in for <windows.h>: the parts of the Win32 API the product's
// user-mode code calls, served by the stand-in kernel32.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "winioctl.h"
