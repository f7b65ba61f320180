// Shared input format of the RTP fuzz targets.
//
// fuzz_rtp_header: one configuration byte, then datagrams, each a 16-bit
// big-endian length followed by that many bytes.
//
// fuzz_rtp_h264 / _jpeg / _raw: payload records, each a 16-bit big-endian
// length, a control byte and the payload; the target wraps each payload in
// an RTP header. Control bits: 1 marker, 2 next time stamp, 4 skip a
// sequence number, 8 repeat the last sequence number, 16 RestartRTP first.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "dshowflt/common/rtp/rtpparser.h"

namespace rtpfuzz {

// Runs one datagram through the parser as the receive loop does, from an
// exact-size heap copy, and reads every unit handed on.
inline void RunDatagram(CRTPParser& parser, const uint8_t* pData, size_t cb)
{
    std::unique_ptr<BYTE[]> buf(new BYTE[cb ? cb : 1]);
    if (cb)
        memcpy(buf.get(), pData, cb);
    if (parser.IsRTP(buf.get(), static_cast<LONG>(cb)) == 0)
        return;
    BYTE* p = buf.get();
    LONG n = static_cast<LONG>(cb);
    int nRet = parser.ParseHeader(&p, &n);
    volatile BYTE bSink = 0;
    for (int i = 0; i < 64; ++i) {
        if ((nRet == RTPPACKET_GOOD || nRet == RTPPACKET_GOOD_MULTIPLE) && n > 0) {
            // Touch the first and last byte of the unit.
            bSink = static_cast<BYTE>(bSink + p[0] + p[n - 1]);
        }
        if (nRet != RTPPACKET_GOOD_MULTIPLE)
            break;
        p = nullptr;
        n = 0;
        nRet = parser.ParseHeader(&p, &n);
        if (nRet == RTPPACKET_DISCARD || n == 0)
            break;
    }
}

// Payload records wrapped into RTP packets of payload type bPayloadType.
inline void RunPayloads(CRTPParser& parser, BYTE bPayloadType, const uint8_t* pData, size_t cb)
{
    uint16_t wSeq = 1;
    uint32_t dwTime = 90000;
    size_t i = 0;
    while (i + 3 <= cb) {
        size_t cbPayload = (size_t(pData[i]) << 8) | pData[i + 1];
        BYTE bCtl = pData[i + 2];
        i += 3;
        if (cbPayload > cb - i)
            cbPayload = cb - i;
        if (bCtl & 16)
            parser.RestartRTP();
        if (bCtl & 2)
            dwTime += 3000;
        if (bCtl & 4)
            ++wSeq;
        if (bCtl & 8)
            --wSeq;
        std::unique_ptr<BYTE[]> pkt(new BYTE[12 + cbPayload]);
        BYTE* h = pkt.get();
        h[0] = 0x80;
        h[1] = static_cast<BYTE>(((bCtl & 1) ? 0x80 : 0) | bPayloadType);
        h[2] = static_cast<BYTE>(wSeq >> 8);
        h[3] = static_cast<BYTE>(wSeq);
        h[4] = static_cast<BYTE>(dwTime >> 24);
        h[5] = static_cast<BYTE>(dwTime >> 16);
        h[6] = static_cast<BYTE>(dwTime >> 8);
        h[7] = static_cast<BYTE>(dwTime);
        h[8] = h[9] = h[10] = h[11] = 0x5A;
        if (cbPayload)
            memcpy(h + 12, pData + i, cbPayload);
        RunDatagram(parser, h, 12 + cbPayload);
        ++wSeq;
        i += cbPayload;
    }
}

}  // namespace rtpfuzz
