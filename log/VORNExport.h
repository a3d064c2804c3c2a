#pragma once

// The library is built with hidden visibility: a class, function or global
// is part of the shared library's interface only when it carries VORN_EXPORT.
#if defined(__GNUC__) || defined(__clang__)
#define VORN_EXPORT __attribute__((visibility("default")))
#else
#define VORN_EXPORT
#endif
