// File versions of shared libraries.
//
// A library states its version with KV_DEFINE_FILE_VERSION in one of its
// source files. The version travels as an ELF note (section
// ".note.kv.fileversion", owner "KVFV", type 1, eight bytes: the most
// significant 32 bits, then the least significant, each in the file's byte
// order), so it can be read from the file without loading the library -- what
// registration needs to compare a registered copy with the one registering.
// The linker places the note in a PT_NOTE segment; stripping keeps it.
#pragma once

#include "platform/hresult.h"

// (major << 48) | (minor << 32) | (build << 16) | revision; compares as a number.
constexpr ULONGLONG MakeFileVersion(WORD wMajor, WORD wMinor, WORD wBuild, WORD wRevision)
{
    return (static_cast<ULONGLONG>(wMajor) << 48) | (static_cast<ULONGLONG>(wMinor) << 32) |
           (static_cast<ULONGLONG>(wBuild) << 16) | wRevision;
}

struct SFileVersionNote
{
    uint32_t cbName;  // 5: "KVFV" and its terminating zero
    uint32_t cbDesc;  // 8
    uint32_t dwType;  // 1
    char szName[8];   // padded to 4-byte alignment
    uint32_t dwVersionMS;
    uint32_t dwVersionLS;
};

#define KV_DEFINE_FILE_VERSION(wMajor, wMinor, wBuild, wRevision)                                          \
    extern "C" __attribute__((section(".note.kv.fileversion"), used, aligned(4),                           \
                              visibility("hidden"))) const SFileVersionNote g_kvFileVersionNote = {        \
        5, 8, 1, {'K', 'V', 'F', 'V', 0, 0, 0, 0},                                                          \
        static_cast<uint32_t>(MakeFileVersion(wMajor, wMinor, wBuild, wRevision) >> 32),                    \
        static_cast<uint32_t>(MakeFileVersion(wMajor, wMinor, wBuild, wRevision))}

// Reads the version of the library at pszPath. ERROR_FILE_NOT_FOUND (and the
// other open errors) for a file that cannot be opened; ERROR_BAD_EXE_FORMAT
// for one that is not a well-formed ELF file; ERROR_RESOURCE_TYPE_NOT_FOUND
// for an ELF file without the note.
[[nodiscard]] HRESULT GetFileVersion(LPCWSTR pszPath, ULONGLONG* pullVersion);
