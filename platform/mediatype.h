// The media type record and the video format blocks, with the field names and
// byte layouts of the original platform (VIDEOINFOHEADER 88 bytes,
// BITMAPINFOHEADER 40 bytes) so format blocks can be compared byte for byte.
#pragma once

#include <cstddef>

#include "platform/guid.h"
#include "platform/wintypes.h"

struct IUnknown;

#pragma pack(push, 4)
struct AM_MEDIA_TYPE
{
    GUID majortype;
    GUID subtype;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    ULONG lSampleSize;
    GUID formattype;
    IUnknown* pUnk;
    ULONG cbFormat;
    BYTE* pbFormat;
};
#pragma pack(pop)

struct RECT
{
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

#pragma pack(push, 2)
struct BITMAPINFOHEADER
{
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
};
#pragma pack(pop)
static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER layout");

#pragma pack(push, 8)
struct VIDEOINFOHEADER
{
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    BITMAPINFOHEADER bmiHeader;
};
#pragma pack(pop)
static_assert(sizeof(VIDEOINFOHEADER) == 88, "VIDEOINFOHEADER layout");
// Other tools compare format blocks byte for byte, so the offsets matter too.
static_assert(offsetof(VIDEOINFOHEADER, dwBitRate) == 32 && offsetof(VIDEOINFOHEADER, AvgTimePerFrame) == 40 &&
                  offsetof(VIDEOINFOHEADER, bmiHeader) == 48 && offsetof(BITMAPINFOHEADER, biCompression) == 16,
              "VIDEOINFOHEADER field offsets");

constexpr DWORD MakeFourCC(char a, char b, char c, char d)
{
    return static_cast<DWORD>(static_cast<BYTE>(a)) | (static_cast<DWORD>(static_cast<BYTE>(b)) << 8) |
           (static_cast<DWORD>(static_cast<BYTE>(c)) << 16) | (static_cast<DWORD>(static_cast<BYTE>(d)) << 24);
}

// Identifiers the system names. Subtypes built from a FourCC follow the
// platform rule {XXXXXXXX-0000-0010-8000-00AA00389B71}.
constexpr GUID FourCCSubtype(DWORD fcc)
{
    return GUID{fcc, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

constexpr GUID MEDIATYPE_Video = FourCCSubtype(MakeFourCC('v', 'i', 'd', 's'));
// Data1 is little-endian on disk: 'vids' reads as its first four bytes.
static_assert(MEDIATYPE_Video.Data1 == 0x73646976 && MEDIATYPE_Video.Data4[0] == 0x80, "FourCC subtype layout");
constexpr GUID MEDIATYPE_Stream = {0xE436EB83, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr GUID MEDIASUBTYPE_UDPStream = {0x5FE31118, 0x25FB, 0x4D77, {0xBC, 0x62, 0x3D, 0x9C, 0xC3, 0x2B, 0xBE, 0x67}};
constexpr GUID MEDIASUBTYPE_H264 = FourCCSubtype(MakeFourCC('H', '2', '6', '4'));
constexpr GUID MEDIASUBTYPE_MJPG = FourCCSubtype(MakeFourCC('M', 'J', 'P', 'G'));
constexpr GUID MEDIASUBTYPE_UYVY = FourCCSubtype(MakeFourCC('U', 'Y', 'V', 'Y'));
constexpr GUID FORMAT_VideoInfo = {0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
constexpr GUID FORMAT_None = {0x0F6417D6, 0xC318, 0x11D0, {0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
// Lower-case "jpeg": the subtype the JPEG mini parser announces.
constexpr GUID MEDIASUBTYPE_jpeg = FourCCSubtype(MakeFourCC('j', 'p', 'e', 'g'));
