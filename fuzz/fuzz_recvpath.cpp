// The receive path from datagrams to the ring: RTP detection, reordering and
// de-packetising as the receive loop does them, the mini parser of a video
// payload, and every unit handed on written into a small DVR ring (3 files
// of 64 KiB, so that long inputs wrap it). A follower then reads the ring
// from its oldest byte to its end and must find exactly the last bytes
// handed on: the ring invents nothing, loses nothing it kept, and never
// joins two recordings in the wrong order.
//
// Input: a configuration byte (bits 0-1: none, H.264, raw 64x16 as in
// fuzz_rtp_header, JPEG; bit 2: the datagrams are RTP packets of payload type 96
// whose 12-byte header the target writes, so that mutations stay on the
// payload), then datagrams, each a 16-bit big-endian length and its bytes,
// cut at 65,507 bytes, the most a UDP datagram carries.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dshowflt/common/dvr/dvrsink.h"
#include "dshowflt/common/rtp/miniparser.h"
#include "dshowflt/common/rtp/rtpparser.h"
#include "platform/bstr.h"

namespace {

constexpr size_t kMaxDatagram = 65507;
constexpr LONG kFiles = 3;
constexpr double kFileSize = 64 * 1024;

class CFuzzSink : public CBaseDVRSink
{
public:
    CFuzzSink() : CBaseDVRSink("fuzz sink", nullptr) {}

protected:
    // No object-table entry: the follower reads the ring as a finished one.
    BOOL ShouldRegisterInObjectTable() override { return FALSE; }
};

std::string& Folder()
{
    static std::string s_str = [] {
        char sz[] = "/tmp/kvfuzz_recv_XXXXXX";
        return std::string(mkdtemp(sz) ? sz : "/tmp");
    }();
    return s_str;
}

CFuzzSink* Sink()
{
    static CFuzzSink* s_pSink = [] {
        auto* p = new CFuzzSink;
        p->NonDelegatingAddRef();
        BSTR bstrDir = SysAllocString(Utf8ToWide(Folder()).c_str());
        BSTR bstrName = SysAllocString(u"Capture");
        HRESULT hr = p->StartChangingAttributes();
        if (SUCCEEDED(hr))
            hr = p->SetFolderName(0, bstrDir);
        if (SUCCEEDED(hr))
            hr = p->SetBufferSize(0, kFiles, kFileSize);
        if (SUCCEEDED(hr))
            hr = p->SetBaseName(bstrName);
        if (FAILED(p->EndChangingAttributes(FAILED(hr) ? VARIANT_TRUE : VARIANT_FALSE)) || FAILED(hr))
            abort();
        SysFreeString(bstrDir);
        SysFreeString(bstrName);
        return p;
    }();
    return s_pSink;
}

// One unit handed on by the parser: the mini parser looks at it (as the
// receive thread's pipeline does before the pin and the ring), then the ring
// takes it.
void HandOn(CMiniParser* pMini, const BYTE* p, LONG cb, std::vector<BYTE>* pWritten)
{
    if (cb <= 0)
        return;
    if (pMini) {
        const HRESULT hr = pMini->CheckSequenceHeader(p, cb);
        if (hr == S_OK) {
            AM_MEDIA_TYPE mt{};
            if (SUCCEEDED(pMini->FillMediaType(&mt)))
                free(mt.pbFormat);
        }
    }
    if (FAILED(Sink()->WriteData(p, cb)))
        abort();  // the disk is fine: a block must go in
    pWritten->insert(pWritten->end(), p, p + cb);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const BYTE bConfig = data[0];
    CRTPParser parser;
    std::unique_ptr<CMiniParser> pMini;
    switch (bConfig & 3) {
    case 1:
        parser.SetPayloadType(96, RTPFORMAT_H264);
        pMini.reset(new CMiniParserH264);
        break;
    case 2:
        parser.SetPayloadType(96, RTPFORMAT_RAW);
        (void)parser.SetRawFormat(FOURCC_UYVY, 64, 16, 8);
        break;
    case 3:
        parser.SetPayloadType(96, RTPFORMAT_JPEG);
        break;
    default:
        break;
    }
    if (FAILED(Sink()->StartDVR()))
        abort();
    std::vector<BYTE> written;
    uint16_t wSeq = 0x1234;
    uint32_t dwTime = 0x10000;
    size_t i = 1;
    while (i + 2 <= size) {
        size_t n = (size_t(data[i]) << 8) | data[i + 1];
        i += 2;
        if (n > size - i)
            n = size - i;
        const size_t nTake = std::min(n, kMaxDatagram - ((bConfig & 4) ? 12 : 0));
        // An exact-size copy, as the socket's receive buffer holds it.
        std::vector<BYTE> dg;
        if (bConfig & 4) {
            const BYTE bMarker = nTake > 0 && (data[i] & 1) ? 0x80 : 0;
            const BYTE h[12] = {0x80, static_cast<BYTE>(bMarker | 96), static_cast<BYTE>(wSeq >> 8),
                                static_cast<BYTE>(wSeq), static_cast<BYTE>(dwTime >> 24),
                                static_cast<BYTE>(dwTime >> 16), static_cast<BYTE>(dwTime >> 8),
                                static_cast<BYTE>(dwTime), 1, 2, 3, 4};
            dg.assign(h, h + 12);
            ++wSeq;
            if (bMarker)
                dwTime += 3000;
        }
        dg.insert(dg.end(), data + i, data + i + nTake);
        i += n;
        std::unique_ptr<BYTE[]> buf(new BYTE[dg.size() ? dg.size() : 1]);
        if (!dg.empty())
            memcpy(buf.get(), dg.data(), dg.size());
        BYTE* p = buf.get();
        LONG cb = static_cast<LONG>(dg.size());
        const int nRtp = parser.IsRTP(p, cb);
        if (nRtp == RTPSTATE_MAYBE || nRtp == RTPSTATE_YES) {
            int nResult = parser.ParseHeader(&p, &cb);
            for (int k = 0; k < 64; ++k) {
                if (nResult != RTPPACKET_GOOD && nResult != RTPPACKET_GOOD_MULTIPLE)
                    break;
                if (pMini == nullptr && parser.IsVideoPayload() && parser.Format() == RTPFORMAT_JPEG &&
                    parser.Width() > 0 && parser.Height() > 0) {
                    auto* pJpeg = new CMiniParserJPEG;
                    pMini.reset(pJpeg);
                    (void)pJpeg->SetDimensions(parser.Width(), parser.Height());
                }
                HandOn(pMini.get(), p, cb, &written);
                if (nResult != RTPPACKET_GOOD_MULTIPLE)
                    break;
                p = nullptr;
                cb = 0;
                nResult = parser.ParseHeader(&p, &cb);
                if (nResult == RTPPACKET_DISCARD || cb == 0)
                    break;
            }
        } else {
            HandOn(nullptr, p, cb, &written);
        }
    }
    if (FAILED(Sink()->StopDVR()))
        abort();

    // The follower: everything the ring still holds, which must be the tail
    // of what was written.
    CDVREngine reader(false);
    const CWString strStub = Sink()->GetStubPath();
    if (FAILED(reader.SetStubFileName(strStub.c_str(), static_cast<int>(strStub.size()), FALSE)))
        abort();
    HRESULT hr = reader.StartReader(nullptr);
    if (written.empty())
        return 0;
    if (FAILED(hr))
        abort();
    LONGLONG llMin = 0, llMax = 0;
    if (FAILED(reader.GetOffsets(&llMin, &llMax)))
        abort();
    const LONGLONG llHeld = llMax - llMin;
    if (llHeld <= 0 || llHeld > static_cast<LONGLONG>(written.size()))
        abort();
    // A ring of three files keeps at least the last two files' worth
    // (a block never spans files, so one may be short), or everything.
    std::vector<BYTE> got(static_cast<size_t>(llHeld));
    DWORD cbGot = 0;
    hr = reader.ReadData(llMin, static_cast<DWORD>(llHeld), static_cast<DWORD>(llHeld), got.data(), &cbGot, 1);
    if (FAILED(hr) || cbGot != static_cast<DWORD>(llHeld))
        abort();
    if (memcmp(got.data(), written.data() + written.size() - got.size(), got.size()) != 0)
        abort();  // the ring holds bytes that were not the last ones written
    reader.StopReader();
    return 0;
}
