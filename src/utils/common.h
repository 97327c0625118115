// Shared definitions of the utility units: fixed-width integer names, small
// macros and the OS layer every unit builds on.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "utils/os.h"

typedef uint64_t u64;
typedef uint32_t u32;
typedef uint16_t u16;
typedef uint8_t u8;
typedef int64_t s64;
typedef int32_t s32;
typedef int16_t s16;
typedef int8_t s8;

#ifndef ARRAY_SIZE
#define ARRAY_SIZE(a) (sizeof(a) / sizeof((a)[0]))
#endif

// Marks a parameter that a callback signature requires but the body ignores.
#ifndef UNUSED
#define UNUSED(x) (void)(x)
#endif
