// The mini parsers with parameter sets given out of band, as a URL's
// seq-headers= or sprop-parameter-sets= hands them over before any unit
// arrives: SetSequenceHeader with the out-of-band bytes, then the units of
// the stream through CheckSequenceHeader, and the media type once one is
// described. The JPEG parser gets its dimensions the same way, as the RTP
// JPEG header would give them.
//
// Input: a control byte (bit 0: JPEG instead of H.264), a 16-bit big-endian
// length of the out-of-band bytes and those bytes (for JPEG, its first four
// bytes are the width and height, big-endian), then units, each a 16-bit
// big-endian length and its bytes. The whole input may be 1 MiB.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "dshowflt/common/rtp/miniparser.h"

namespace {

std::unique_ptr<BYTE[]> Copy(const uint8_t* p, size_t cb)
{
    std::unique_ptr<BYTE[]> buf(new BYTE[cb ? cb : 1]);
    if (cb)
        memcpy(buf.get(), p, cb);
    return buf;
}

void CheckDescribed(CMiniParser* pParser)
{
    AM_MEDIA_TYPE mt{};
    const HRESULT hr = pParser->FillMediaType(&mt);
    if (SUCCEEDED(hr)) {
        if (mt.cbFormat > 0 && mt.pbFormat == nullptr)
            abort();
        free(mt.pbFormat);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3 || size > (1u << 20))
        return 0;
    const bool bJpeg = data[0] & 1;
    size_t cbOob = (size_t(data[1]) << 8) | data[2];
    size_t i = 3;
    if (cbOob > size - i)
        cbOob = size - i;
    std::unique_ptr<CMiniParser> pParser;
    if (bJpeg) {
        auto* pJpeg = new CMiniParserJPEG;
        pParser.reset(pJpeg);
        if (cbOob >= 4) {
            const LONG lWidth = (data[i] << 8) | data[i + 1];
            const LONG lHeight = (data[i + 2] << 8) | data[i + 3];
            const HRESULT hr = pJpeg->SetDimensions(lWidth, lHeight);
            if (FAILED(hr) && hr != E_INVALIDARG)
                abort();
        }
    } else {
        pParser.reset(new CMiniParserH264);
    }
    {
        std::unique_ptr<BYTE[]> oob = Copy(data + i, cbOob);
        const HRESULT hr = pParser->SetSequenceHeader(oob.get(), static_cast<LONG>(cbOob));
        if (FAILED(hr) && hr != E_OUTOFMEMORY && hr != E_INVALIDARG)
            abort();
    }
    i += cbOob;
    while (i + 2 <= size) {
        size_t n = (size_t(data[i]) << 8) | data[i + 1];
        i += 2;
        if (n > size - i)
            n = size - i;
        std::unique_ptr<BYTE[]> unit = Copy(data + i, n);
        i += n;
        const HRESULT hr = pParser->CheckSequenceHeader(unit.get(), static_cast<LONG>(n));
        if (FAILED(hr))
            abort();  // a unit the parser cannot use is no reason to end reception
        if (hr == S_OK)
            CheckDescribed(pParser.get());
    }
    CheckDescribed(pParser.get());
    return 0;
}
