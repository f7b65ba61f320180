// ParseSPS over arbitrary bytes, and CheckSequenceHeader over the same bytes
// cut into units (the first byte picks the unit length), so that the carry
// buffer and the incomplete-SPS state see every split.
//
// Seeds in corpus/fuzz_sps: the first 300 bytes (SPS, PPS, start of the IDR
// slice) of streams from ffmpeg's libx264 (testsrc; 1080p High 4:4:4,
// 576i High 4:2:2, CIF Baseline).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "dshowflt/common/rtp/miniparser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 20)
        return 0;
    const LONG cb = static_cast<LONG>(size);
    {
        // An exact-size copy: a read past the end is a finding.
        std::unique_ptr<BYTE[]> p(new BYTE[size ? size : 1]);
        if (size)
            memcpy(p.get(), data, size);
        CMiniParserH264 parser;
        const HRESULT hr = parser.ParseSPS(p.get(), cb);
        if (hr == S_OK && (parser.GetDescription().lWidth <= 0 || parser.GetDescription().lHeight <= 0))
            abort();
    }
    if (size < 2)
        return 0;
    const LONG cbUnit = 1 + data[0] % 64;
    CMiniParserH264 parser;
    for (LONG i = 1; i < cb; i += cbUnit) {
        const LONG n = cb - i < cbUnit ? cb - i : cbUnit;
        std::unique_ptr<BYTE[]> p(new BYTE[n]);
        memcpy(p.get(), data + i, static_cast<size_t>(n));
        const HRESULT hr = parser.CheckSequenceHeader(p.get(), n);
        if (FAILED(hr))
            abort();
        if (hr == S_OK) {
            AM_MEDIA_TYPE mt{};
            if (FAILED(parser.FillMediaType(&mt)))
                abort();
            free(mt.pbFormat);
        }
    }
    return 0;
}
