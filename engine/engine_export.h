#pragma once

// The engine is its own shared library, so its classes stay visible however the caller's code is
// built; one copy of its state is shared by the SDK and the host.
#if defined(_WIN32)
#if defined(QEL_ENGINE_BUILDING)
#define QEL_ENGINE_EXPORT __declspec(dllexport)
#else
#define QEL_ENGINE_EXPORT __declspec(dllimport)
#endif
#else
#define QEL_ENGINE_EXPORT __attribute__((visibility("default")))
#endif
