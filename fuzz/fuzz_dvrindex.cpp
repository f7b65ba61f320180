// Reads a recording's time index from arbitrary bytes as readers do. Every
// input must end in a status and a trusted prefix that obeys the rules of
// dvrindex.h: entries in order, inside the recording, never past its
// published size; never a crash or an allocation beyond the input's size.
//
// Input: a control byte, the published size (8 bytes, little-endian), then
// the index image. Control bit 0 rewrites the header's CRC and bit 1 every
// entry's, as the writer computes them, so that mutations get past the
// checksums to the ordering and range rules.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "dshowflt/common/dvr/dvrindex.h"

using namespace dvr;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 9)
        return 0;
    const uint8_t bControl = data[0];
    const LONGLONG llSize = static_cast<LONGLONG>(GetLE64(data + 1) & 0x00FFFFFFFFFFFFFFull);
    std::vector<BYTE> v(data + 9, data + size);
    if ((bControl & 1) && v.size() >= kIndexHeaderBytes)
        PutLE32(v.data() + kIndexHeaderBytes - 4, Crc32c(0, v.data(), kIndexHeaderBytes - 4));
    if ((bControl & 2) && v.size() >= kIndexHeaderBytes) {
        const DWORD dwSeed = GetLE32(v.data() + kIndexHeaderBytes - 4);
        for (size_t i = kIndexHeaderBytes; i + kIndexEntryBytes <= v.size(); i += kIndexEntryBytes)
            PutLE32(v.data() + i + kIndexEntryBytes - 4, Crc32c(dwSeed, v.data() + i, kIndexEntryBytes - 4));
    }
    SParsedIndex parsed;
    const HRESULT hr = ParseIndex(v.data(), v.size(), llSize, &parsed);
    if (FAILED(hr))
        return 0;
    const LONGLONG llEnd = parsed.header.llStart + llSize;
    for (size_t i = 0; i < parsed.nEntries; ++i) {
        const SIndexEntry& e = parsed.pEntries[i];
        const bool bEnd = (e.dwFlags & kIndexFlagEnd) != 0;
        if (e.llOffset < parsed.header.llStart || e.llOffset > llEnd || (!bEnd && e.llOffset == llEnd))
            abort();  // an entry outside the recording was trusted
        if (i > 0 && (e.llOffset < parsed.pEntries[i - 1].llOffset || e.llMono < parsed.pEntries[i - 1].llMono))
            abort();  // out of order
    }
    if (parsed.nEntries > (v.size() - kIndexHeaderBytes) / kIndexEntryBytes)
        abort();
    return 0;
}
