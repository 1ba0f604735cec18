// Host stand-in for the DDK's ntddk.h.
#pragma once

#ifndef _NTDDK_
#define _NTDDK_
#endif

#include "wdm.h"
