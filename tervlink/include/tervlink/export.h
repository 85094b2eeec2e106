// Symbol visibility of the tervlink library.
#pragma once

#if defined(_WIN32)
#if defined(TERVLINK_BUILDING)
#define TERVLINK_API __declspec(dllexport)
#else
#define TERVLINK_API __declspec(dllimport)
#endif
#else
#define TERVLINK_API __attribute__((visibility("default")))
#endif
