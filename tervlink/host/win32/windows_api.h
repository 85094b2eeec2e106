// <windows.h> for the host layer, without the macros that would rename the
// host layer's own functions (CreateMailslot -> CreateMailslotA ...).
#pragma once

#include <windows.h>

#undef CreateMailslot
