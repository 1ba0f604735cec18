// Shared between the stand-in comctl32's source files. Not a product header.
#pragma once

// Registers "msctls_updown32" in the calling process (again without harm).
void RegisterUpDownClass();
