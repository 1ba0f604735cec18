// Host stand-in for <windows.h>: the parts of the Win32 API the product's
// user-mode code calls, served by the stand-in DLLs. As the SDK's, it brings
// in the service manager's and the multimedia declarations unless
// WIN32_LEAN_AND_MEAN is defined.
#pragma once

#include "windef.h"
#include "winerror.h"
#include "winbase.h"
#include "winioctl.h"
#include "winreg.h"
#include "winuser.h"

#ifndef WIN32_LEAN_AND_MEAN
#include "mmsystem.h"
#include "winsvc.h"
#endif
