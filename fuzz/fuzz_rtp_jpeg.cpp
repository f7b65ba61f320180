// JPEG de-packetiser (RFC 2435) over a sequence of payloads.
#include "fuzz/rtpfuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t cb)
{
    CRTPParser parser;
    rtpfuzz::RunPayloads(parser, 26, pData, cb);
    return 0;
}
