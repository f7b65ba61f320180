// H.264 de-packetiser (RFC 6184) over a sequence of payloads.
#include "fuzz/rtpfuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cb)
{
    CRTPParser parser;
    parser.SetPayloadType(96, RTPFORMAT_H264);
    rtpfuzz::RunPayloads(parser, 96, pData, cb);
    return 0;
}
