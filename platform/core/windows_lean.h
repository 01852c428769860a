// <windows.h> as the Windows backends include it: without the min/max macros that
// break the C++ library, and without the rarely used APIs.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
