// Symbol visibility of the tervlink library.
#pragma once

#if defined(_WIN32)
#define TERVLINK_API __declspec(dllexport)
#else
#define TERVLINK_API __attribute__((visibility("default")))
#endif
