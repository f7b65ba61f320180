// Raw video de-packetiser (RFC 4175) over a sequence of payloads. The first
// two bytes choose the geometry (width 2..128, height 1..64): small frames
// keep the runs fast, and lines beyond the height are part of the test.
#include "fuzz/rtpfuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cb)
{
    if (cb < 2)
        return 0;
    CRTPParser parser;
    parser.SetPayloadType(96, RTPFORMAT_RAW);
    if (FAILED(parser.SetRawFormat(FOURCC_UYVY, 2 * (1 + (pData[0] & 63)), 1 + (pData[1] & 63), 8)))
        return 0;
    rtpfuzz::RunPayloads(parser, 96, pData + 2, cb - 2);
    return 0;
}
