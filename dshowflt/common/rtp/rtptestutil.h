// Test helpers: an RTP packet builder and a feeder that runs datagrams
// through CRTPParser the way the data pipeline does, from exact-size heap
// copies so that AddressSanitizer sees any read past a datagram.
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "dshowflt/common/rtp/rtpparser.h"

namespace rtptest {

typedef std::vector<BYTE> Bytes;

struct RtpPacket
{
    DWORD dwSeq = 0;
    DWORD dwTimestamp = 0;
    BYTE bPayloadType = 96;
    bool bMarker = false;
    DWORD dwSSRC = 0x11223344;
    int nCSRC = 0;
    int nExtWords = -1;    // -1: no extension header
    int nPadding = 0;      // padding bytes including the count byte
    Bytes payload;

    Bytes Build() const
    {
        Bytes b;
        b.push_back(static_cast<BYTE>(0x80 | (nPadding ? 0x20 : 0) | (nExtWords >= 0 ? 0x10 : 0) | nCSRC));
        b.push_back(static_cast<BYTE>((bMarker ? 0x80 : 0) | (bPayloadType & 0x7F)));
        Put16(&b, dwSeq);
        Put32(&b, dwTimestamp);
        Put32(&b, dwSSRC);
        for (int i = 0; i < nCSRC; ++i)
            Put32(&b, 0x1000 + i);
        if (nExtWords >= 0) {
            Put16(&b, 0xBEDE);
            Put16(&b, static_cast<DWORD>(nExtWords));
            for (int i = 0; i < nExtWords; ++i)
                Put32(&b, 0xA5A5A5A5);
        }
        b.insert(b.end(), payload.begin(), payload.end());
        for (int i = 0; i < nPadding; ++i)
            b.push_back(i == nPadding - 1 ? static_cast<BYTE>(nPadding) : 0);
        return b;
    }

    static void Put16(Bytes* p, DWORD v)
    {
        p->push_back(static_cast<BYTE>(v >> 8));
        p->push_back(static_cast<BYTE>(v));
    }
    static void Put32(Bytes* p, DWORD v)
    {
        Put16(p, v >> 16);
        Put16(p, v & 0xFFFF);
    }
};

// An RTCP packet of the given type with nWords 32-bit words after the
// common header (RFC 3550, 6.4).
inline Bytes RtcpPacket(BYTE bType, int nWords)
{
    Bytes b = {0x80, bType, static_cast<BYTE>(nWords >> 8), static_cast<BYTE>(nWords)};
    for (int i = 0; i < nWords * 4; ++i)
        b.push_back(static_cast<BYTE>(0xC0 + i));
    return b;
}

struct Unit
{
    Bytes data;
    DWORD dwFlags = 0;
    LONGLONG rtTime = 0;
};

struct FeedResult
{
    int nFirst = -1;             // result of the call with the datagram
    std::vector<Unit> units;     // every unit handed on, collect calls included
};

// One datagram, then collect calls while the parser reports more.
inline FeedResult Feed(CRTPParser& parser, const Bytes& pkt)
{
    FeedResult res;
    std::unique_ptr<BYTE[]> buf(new BYTE[pkt.size() ? pkt.size() : 1]);
    if (!pkt.empty())
        memcpy(buf.get(), pkt.data(), pkt.size());
    BYTE* p = buf.get();
    LONG cb = static_cast<LONG>(pkt.size());
    int nRet = parser.ParseHeader(&p, &cb);
    res.nFirst = nRet;
    auto take = [&]() {
        if ((nRet == RTPPACKET_GOOD || nRet == RTPPACKET_GOOD_MULTIPLE) && cb > 0)
            res.units.push_back(Unit{Bytes(p, p + cb), parser.UnitFlags(), parser.UnitTime()});
    };
    take();
    for (int i = 0; i < 64 && nRet == RTPPACKET_GOOD_MULTIPLE; ++i) {
        p = nullptr;
        cb = 0;
        nRet = parser.ParseHeader(&p, &cb);
        if (nRet == RTPPACKET_DISCARD || cb == 0)
            break;
        take();
    }
    return res;
}

}  // namespace rtptest
