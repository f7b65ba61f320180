// Little-endian field access for byte layouts shared between processes and
// files: fields are encoded explicitly, never by copying a struct.
#pragma once

#include "platform/wintypes.h"

inline DWORD LoadLe32(const BYTE* pb)
{
    return static_cast<DWORD>(pb[0]) | (static_cast<DWORD>(pb[1]) << 8) | (static_cast<DWORD>(pb[2]) << 16) |
           (static_cast<DWORD>(pb[3]) << 24);
}

inline void StoreLe32(BYTE* pb, DWORD dw)
{
    pb[0] = static_cast<BYTE>(dw);
    pb[1] = static_cast<BYTE>(dw >> 8);
    pb[2] = static_cast<BYTE>(dw >> 16);
    pb[3] = static_cast<BYTE>(dw >> 24);
}
