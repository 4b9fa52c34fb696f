// Fuzz targets: AddressSanitizer's poisoning of memory the code under test must not touch (a
// buffer's unused tail, a slot the host holds); nothing without AddressSanitizer.
#pragma once

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QMX_FUZZ_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QMX_FUZZ_ASAN 1
#endif
#if defined(QMX_FUZZ_ASAN)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif
