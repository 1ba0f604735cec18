// Host stand-in for the DDK's wdm.h: the NT kernel services the product uses,
// with the DDK's names, types and signatures.
#pragma once

#ifndef _WDM_INCLUDED_
#define _WDM_INCLUDED_
#endif

#include "nt/ntdef.h"
#include "nt/rtl.h"
#include "nt/ke.h"
#include "nt/ex.h"
#include "nt/mm.h"
#include "nt/ps.h"
#include "nt/io.h"
