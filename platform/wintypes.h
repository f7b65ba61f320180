// Basic integer, text and handle types with the widths the on-disk formats
// and interfaces were designed around.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int32_t BOOL;
typedef int INT;
typedef unsigned int UINT;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;

// Wide text is UTF-16 so that path buffers and on-disk name fields keep the
// sizes they have in files written on the original platform.
typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;

// 100 ns units; media sample times, latencies, frame durations.
typedef int64_t REFERENCE_TIME;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Every waitable object (event, semaphore, socket, message queue) is a file
// descriptor, so that one poll() can wait on any mix of them and an event can
// be passed to another process.
typedef int HANDLE;
constexpr HANDLE INVALID_HANDLE_VALUE = -1;

// A loaded module (the main program or a shared library): its load address,
// from which its file name can be found.
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr int MAX_PATH = 260;

constexpr LONGLONG MAX_INT64 = INT64_MAX;
constexpr LONGLONG MIN_INT64 = INT64_MIN + 1;  // "no time" in the RTP fields

// VARIANT_BOOL: -1 is true.
typedef int16_t VARIANT_BOOL;
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;
