// Installing tonkern as the NT service "Tonvane" and removing it again, and
// the message boxes that report to the user. Runs on the thread that sent
// DRV_INSTALL, DRV_REMOVE or DRV_CONFIGURE; the boxes are modal.
#pragma once

#include "deliverable_base.h"

// Formats text with wvsprintfA into 256 characters and shows it in a box
// captioned "Tonvane" with no owner window.
VOID ShowMessage(const char* format, UINT style, ...);

// Creates the service and starts it; true on success. Every failure is
// shown with its Win32 error code. A service this call created but could
// not start is deleted again, so a later install can succeed.
bool InstallKernelService();

// Stops the service (an already stopped one as well) and deletes it; true on
// success. Every failure is shown with its Win32 error code.
bool RemoveKernelService();

// The product banner in an information box (DRV_CONFIGURE).
VOID ShowBanner();
