// ParseHeader over a sequence of datagrams: detection, reordering, RTCP,
// time-stamp unwrapping, and whichever de-packetiser the first byte picks.
#include "fuzz/rtpfuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cb)
{
    if (cb < 1)
        return 0;
    CRTPParser parser;
    switch (pData[0] & 3) {
    case 1:
        parser.SetPayloadType(96, RTPFORMAT_H264);
        break;
    case 2:
        parser.SetPayloadType(96, RTPFORMAT_RAW);
        (void)parser.SetRawFormat(FOURCC_UYVY, 64, 16, 8);
        break;
    case 3:
        parser.SetPayloadType(96, RTPFORMAT_MPEG4);
        break;
    default:
        break;
    }
    if (pData[0] & 4)
        parser.SetClockRate(pData[0] & 8 ? 1 : 0xFFFFFFFFu);
    size_t i = 1;
    while (i + 2 <= cb) {
        size_t n = (size_t(pData[i]) << 8) | pData[i + 1];
        i += 2;
        if (n > cb - i)
            n = cb - i;
        rtpfuzz::RunDatagram(parser, pData + i, n);
        i += n;
    }
    return 0;
}
