// Media type helpers. An AM_MEDIA_TYPE owns its format block (task memory)
// and a reference on pUnk; CMediaType is the owning wrapper that copies and
// frees them.
#pragma once

#include "platform/graph/strmif.h"

// Deep copy of *pSrc into *pDest, which must not own anything yet.
// E_OUTOFMEMORY leaves *pDest empty.
[[nodiscard]] HRESULT CopyMediaType(AM_MEDIA_TYPE* pDest, const AM_MEDIA_TYPE* pSrc);
// Frees the format block and pUnk, leaving the record itself.
void FreeMediaType(AM_MEDIA_TYPE& mt);
// A task-memory copy of *pSrc (nullptr when out of memory), and its release.
AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* pSrc);
void DeleteMediaType(AM_MEDIA_TYPE* pmt);

class CMediaType : public AM_MEDIA_TYPE
{
public:
    CMediaType();
    explicit CMediaType(const GUID* pMajorType);
    // A copy that failed for lack of memory is left empty (IsValid false).
    CMediaType(const AM_MEDIA_TYPE& mt);  // NOLINT: implicit like the original
    CMediaType(const CMediaType& mt);
    ~CMediaType();
    CMediaType& operator=(const AM_MEDIA_TYPE& mt);
    CMediaType& operator=(const CMediaType& mt);

    // Same major type, subtype, format type and format bytes.
    bool operator==(const CMediaType& rt) const;
    bool operator!=(const CMediaType& rt) const { return !(*this == rt); }

    [[nodiscard]] HRESULT Set(const AM_MEDIA_TYPE& mt);
    bool IsValid() const { return majortype != GUID_NULL; }
    const GUID* Type() const { return &majortype; }
    const GUID* Subtype() const { return &subtype; }
    const GUID* FormatType() const { return &formattype; }
    void SetType(const GUID* p) { majortype = *p; }
    void SetSubtype(const GUID* p) { subtype = *p; }
    void SetFormatType(const GUID* p) { formattype = *p; }
    void SetSampleSize(ULONG sz);
    void SetVariableSize() { bFixedSizeSamples = FALSE; }
    void SetTemporalCompression(BOOL b) { bTemporalCompression = b; }
    ULONG GetSampleSize() const { return bFixedSizeSamples ? lSampleSize : 0; }
    BYTE* Format() const { return pbFormat; }
    ULONG FormatLength() const { return cbFormat; }
    // Replaces the format block; false when out of memory.
    bool SetFormat(const BYTE* pFormat, ULONG cb);
    // A zeroed format block of cb bytes (the old one's bytes kept up to cb);
    // nullptr when out of memory.
    BYTE* AllocFormatBuffer(ULONG cb);
    void ResetFormatBuffer();
    void InitMediaType();
    // True when this type, which may leave major type or subtype null as
    // wildcards, admits *pPartial's values: the test a pin's Connect applies
    // to the types it enumerates against a partial type from the caller.
    bool MatchesPartial(const CMediaType* pPartial) const;
    bool IsPartiallySpecified() const;
};
