// De-packetising throughput of CRTPParser, in bytes of RTP payload per
// second, for H.264 (FU-A and STAP-A), JPEG (in-band tables) and raw video;
// and the H.264 mini parser's time over an SPS that never ends.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "dshowflt/common/rtp/miniparser.h"
#include "dshowflt/common/rtp/rtpparser.h"

namespace {

typedef std::vector<BYTE> Bytes;

constexpr size_t kMtuPayload = 1400;

Bytes Packet(BYTE bPayloadType, bool bMarker, const Bytes& payload)
{
    Bytes b(12 + payload.size());
    b[0] = 0x80;
    b[1] = static_cast<BYTE>((bMarker ? 0x80 : 0) | bPayloadType);
    if (!payload.empty())
        memcpy(b.data() + 12, payload.data(), payload.size());
    return b;
}

// One frame's packets, sent again and again with running sequence numbers
// and time stamps patched in place.
class CStream
{
public:
    void Add(Bytes pkt, size_t cbPayload)
    {
        m_packets.push_back(std::move(pkt));
        m_cbPayload += cbPayload;
    }

    size_t RunFrame(CRTPParser& parser)
    {
        size_t cbUnits = 0;
        m_dwTime += 3000;
        for (Bytes& pkt : m_packets) {
            pkt[2] = static_cast<BYTE>(m_wSeq >> 8);
            pkt[3] = static_cast<BYTE>(m_wSeq);
            pkt[4] = static_cast<BYTE>(m_dwTime >> 24);
            pkt[5] = static_cast<BYTE>(m_dwTime >> 16);
            pkt[6] = static_cast<BYTE>(m_dwTime >> 8);
            pkt[7] = static_cast<BYTE>(m_dwTime);
            ++m_wSeq;
            BYTE* p = pkt.data();
            LONG cb = static_cast<LONG>(pkt.size());
            if (parser.ParseHeader(&p, &cb) == RTPPACKET_GOOD)
                cbUnits += static_cast<size_t>(cb);
        }
        return cbUnits;
    }

    size_t PayloadBytes() const { return m_cbPayload; }

private:
    std::vector<Bytes> m_packets;
    size_t m_cbPayload = 0;
    uint16_t m_wSeq = 0;
    uint32_t m_dwTime = 0;
};

void Run(benchmark::State& state, CRTPParser& parser, CStream& stream)
{
    size_t cbOut = 0;
    for (auto _ : state)
        cbOut += stream.RunFrame(parser);
    benchmark::DoNotOptimize(cbOut);
    if (cbOut == 0)
        state.SkipWithError("no units came out");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.PayloadBytes()));
}

void BM_H264(benchmark::State& state)
{
    // STAP-A with SPS and PPS, then a slice of the given size as FU-A.
    CStream stream;
    Bytes stap = {24, 0, 4, 0x67, 0x42, 0xC0, 0x1E, 0, 4, 0x68, 0xCE, 0x3C, 0x80};
    stream.Add(Packet(96, false, stap), stap.size());
    const size_t cbSlice = static_cast<size_t>(state.range(0));
    for (size_t off = 1; off < cbSlice; off += kMtuPayload) {
        size_t cb = std::min(kMtuPayload, cbSlice - off);
        BYTE bFU = 0x05 | (off == 1 ? 0x80 : 0) | (off + cb >= cbSlice ? 0x40 : 0);
        Bytes fu = {0x7C, bFU};
        fu.resize(2 + cb, static_cast<BYTE>(off));
        stream.Add(Packet(96, off + cb >= cbSlice, fu), fu.size());
    }
    CRTPParser parser;
    parser.SetPayloadType(96, RTPFORMAT_H264);
    Run(state, parser, stream);
}
BENCHMARK(BM_H264)->Arg(30000)->Arg(300000);

void BM_JPEG(benchmark::State& state)
{
    CStream stream;
    const size_t cbScan = static_cast<size_t>(state.range(0));
    for (size_t off = 0; off < cbScan; off += kMtuPayload) {
        size_t cb = std::min(kMtuPayload, cbScan - off);
        Bytes p = {0, static_cast<BYTE>(off >> 16), static_cast<BYTE>(off >> 8), static_cast<BYTE>(off), 1, 255, 40, 30};
        if (off == 0) {
            p.insert(p.end(), {0, 0, 0, 128});
            p.resize(p.size() + 128, 16);
        }
        p.resize(p.size() + cb, 0x5A);
        stream.Add(Packet(26, off + cb >= cbScan, p), p.size());
    }
    CRTPParser parser;
    Run(state, parser, stream);
}
BENCHMARK(BM_JPEG)->Arg(30000)->Arg(300000);

void BM_Raw(benchmark::State& state)
{
    // RFC 4175 packets of two rows each of a 4:3 UYVY frame of the given width,
    // one line header per row.
    const LONG nWidth = static_cast<LONG>(state.range(0)), nHeight = nWidth * 3 / 4;
    const size_t cbRow = static_cast<size_t>(nWidth) * 2;
    CStream stream;
    for (LONG nLine = 0; nLine < nHeight; nLine += 2) {
        Bytes p = {0, 0};
        const LONG nRows = std::min<LONG>(2, nHeight - nLine);
        for (LONG r = 0; r < nRows; ++r) {
            p.insert(p.end(), {static_cast<BYTE>(cbRow >> 8), static_cast<BYTE>(cbRow),
                               static_cast<BYTE>((nLine + r) >> 8), static_cast<BYTE>(nLine + r),
                               static_cast<BYTE>(r + 1 < nRows ? 0x80 : 0), 0});
        }
        p.resize(p.size() + cbRow * static_cast<size_t>(nRows), 0x80);
        stream.Add(Packet(96, nLine + nRows >= nHeight, p), p.size());
    }
    CRTPParser parser;
    parser.SetPayloadType(96, RTPFORMAT_RAW);
    if (FAILED(parser.SetRawFormat(FOURCC_UYVY, nWidth, nHeight, 8))) {
        state.SkipWithError("SetRawFormat failed");
        return;
    }
    Run(state, parser, stream);
}
BENCHMARK(BM_Raw)->Arg(320)->Arg(1920);

// A start code and SPS header followed by bytes that hold no start code,
// handed over in 3-byte units (the smallest a sender's NAL fragments make):
// the parser must wait for the SPS's end without rescanning what it holds,
// so the time per byte stays flat as the input grows past the SPS size limit.
void BM_SpsUnterminated(benchmark::State& state)
{
    const size_t cbTotal = static_cast<size_t>(state.range(0));
    Bytes data = {0, 0, 1, 0x67, 0x64, 0x00, 0x28};
    data.reserve(cbTotal);
    for (size_t i = data.size(); i < cbTotal; ++i)
        data.push_back(static_cast<BYTE>(0x80 | (i * 7)));
    for (auto _ : state) {
        CMiniParserH264 parser;
        HRESULT hr = S_OK;
        for (size_t off = 0; off < data.size() && SUCCEEDED(hr); off += 3)
            hr = parser.CheckSequenceHeader(data.data() + off,
                                            static_cast<LONG>(std::min<size_t>(3, data.size() - off)));
        if (FAILED(hr) || hr == S_OK) {
            state.SkipWithError("the never-ending SPS was not refused");
            break;
        }
        benchmark::DoNotOptimize(parser.State());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * cbTotal));
}
BENCHMARK(BM_SpsUnterminated)->Arg(64 * 1024)->Arg(1024 * 1024)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
