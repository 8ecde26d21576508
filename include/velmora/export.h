#pragma once

// Symbols are hidden by default; only what carries this macro is part of the shared library's ABI.
#if defined(_WIN32)
#if defined(VELMORA_BUILDING)
#define VELMORA_EXPORT __declspec(dllexport)
#else
#define VELMORA_EXPORT __declspec(dllimport)
#endif
#else
#define VELMORA_EXPORT __attribute__((visibility("default")))
#endif
