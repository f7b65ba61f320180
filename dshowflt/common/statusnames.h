// Status-name table: how a status code reads in a trace line.
//
// A status prints as "NAME - Text" (or just "NAME" for the well-known
// platform codes), a Windows Sockets error in HRESULT form as
// "WSAENAME = description", and anything unknown as its hexadecimal value, so
// that a trace line never needs a look-up table to be read.
#pragma once

#include <cstddef>

#include "platform/hresult.h"

struct StatusNameEntry
{
    HRESULT hr;
    const char* pszName;
    const char* pszText;  // nullptr: the name says it all
};

struct WinsockErrorEntry
{
    DWORD dwCode;  // 10000..11999
    const char* pszName;
    const char* pszText;
};

// The entry for hr, or nullptr. Windows Sockets errors are not in this table;
// see FindWinsockError.
const StatusNameEntry* FindStatusName(HRESULT hr);
// The entry for a Windows Sockets error number, or nullptr.
const WinsockErrorEntry* FindWinsockError(DWORD dwCode);

// Writes the printable form of hr into psz (cch bytes including the
// terminator; the text is truncated to fit and always terminated):
//   known status             "KVMM_E_DVR_STOPPED - The DVR has stopped writing data"
//   socket error (10000..11999 in HRESULT form)
//                            "WSAEWOULDBLOCK = A non-blocking socket ..."
//                            "Unknown Winsock error (11999=0x80072EDF)"
//   raster error 0x8005Fxxx  "Raster engine error (-5)"
//   anything else            "0x12345678"
void FormatStatusName(HRESULT hr, char* psz, size_t cch);
