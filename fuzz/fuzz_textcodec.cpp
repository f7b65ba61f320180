// Both parameter-set text codecs over arbitrary text: into an exact-size
// area (the output capacity comes from the first byte), into the codec's own
// buffer item after item, and as UTF-16 text.
//
// Seeds in corpus/fuzz_textcodec: a camera's sprop-parameter-sets value and a
// seq-headers value, each behind one byte of output capacity.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "dshowflt/common/rtp/zrencoder.h"

namespace {

void Run(CZREncBase* pCodec, const uint8_t* data, size_t size)
{
    const LONG cbOut = data[0];
    const LONG cbIn = static_cast<LONG>(size - 1);
    std::unique_ptr<BYTE[]> pIn(new BYTE[size]);
    memcpy(pIn.get(), data + 1, size - 1);
    std::unique_ptr<BYTE[]> pOut(new BYTE[cbOut ? cbOut : 1]);
    pCodec->Reset();
    const LONG cb = pCodec->Decode(pIn.get(), cbIn, cbOut ? pOut.get() : nullptr, cbOut);
    if (cb < 0 || (cbOut && cb > cbOut))
        abort();

    // Comma-separated items into the codec's own buffer, as the option
    // parser does it.
    LONG iStart = 0;
    for (LONG i = 0; i <= cbIn; ++i) {
        if (i == cbIn || pIn[i] == ',') {
            pCodec->Reset();
            const LONG cbItem = pCodec->Decode(pIn.get() + iStart, i - iStart, nullptr, 0);
            if (cbItem < 0 || cbItem > pCodec->Capacity())
                abort();
            iStart = i + 1;
        }
    }

    const size_t cch = (size - 1) / 2;
    std::unique_ptr<WCHAR[]> psz(new WCHAR[cch + 1]);
    memcpy(psz.get(), data + 1, cch * 2);
    psz[cch] = 0;
    pCodec->Reset();
    if (pCodec->DecodeText(psz.get(), static_cast<int>(cch), nullptr, 0) < 0)
        abort();
    pCodec->Reset();
    if (pCodec->DecodeText(psz.get(), -1, cbOut ? pOut.get() : nullptr, cbOut) < 0)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > 1 << 16)
        return 0;
    CZRBase64Encoder b64;
    Run(&b64, data, size);
    CZRBinaryEncoder hex;
    Run(&hex, data, size);
    return 0;
}
