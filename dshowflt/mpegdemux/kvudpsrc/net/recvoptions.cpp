// The stream options of the source URL: what follows "?" in
//   udp://239.1.1.1:5000?Timeout=10&rtpmap=96;H264/90000&fmtp=96;sprop-parameter-sets="Z0IA...,aM4..."
//
// Keys are found by a case-sensitive substring search from fixed positions,
// as in an SDP attribute list pasted after the URL; nothing else of the
// text's structure is parsed, so separators and order are free and the
// first occurrence of a key counts. The SDP attributes (rtpmap, fmtp,
// sprop-parameter-sets, sampling) describe streams that cannot describe
// themselves (RFC 4566, RFC 6184 8.2.1, RFC 4175 6.1).
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "dshowflt/common/rtp/zrencoder.h"
#include "dshowflt/common/trace/trace.h"
#include "dshowflt/mpegdemux/kvudpsrc/net/recvthread.h"
#include "platform/graph/mtype.h"

namespace {

typedef std::u16string_view WView;
constexpr size_t npos = WView::npos;

// Search for an ASCII key from nFrom; npos when absent.
size_t Find(WView str, const char* pszKey, size_t nFrom)
{
    if (nFrom > str.size())
        return npos;
    std::u16string strKey;
    for (const char* p = pszKey; *p; ++p)
        strKey += static_cast<char16_t>(*p);
    return str.find(strKey, nFrom);
}

size_t KeyLength(const char* pszKey)
{
    return std::char_traits<char>::length(pszKey);
}

WCHAR Lower(WCHAR ch)
{
    return (ch >= u'A' && ch <= u'Z') ? static_cast<WCHAR>(ch + (u'a' - u'A')) : ch;
}

// Whether the text at nPos begins with pszName, ignoring case.
bool StartsWithNoCase(WView str, size_t nPos, const char* pszName)
{
    for (size_t i = 0; pszName[i]; ++i) {
        if (nPos + i >= str.size() || Lower(str[nPos + i]) != Lower(static_cast<WCHAR>(pszName[i])))
            return false;
    }
    return true;
}

bool IsDigit(WCHAR ch)
{
    return ch >= u'0' && ch <= u'9';
}

// A leading decimal integer at nPos: optional sign, digits, ended by the
// first other character; no digits give 0. Values beyond 32 bits saturate,
// as the C library's conversion does, rather than wrap into some other
// plausible value. *pnEnd receives the position after it.
LONG ReadNumber(WView str, size_t nPos, size_t* pnEnd = nullptr)
{
    bool bNegative = false;
    if (nPos < str.size() && (str[nPos] == u'-' || str[nPos] == u'+')) {
        bNegative = str[nPos] == u'-';
        ++nPos;
    }
    LONGLONG ll = 0;
    for (; nPos < str.size() && IsDigit(str[nPos]); ++nPos) {
        if (ll <= static_cast<LONGLONG>(INT_MAX) + 1)
            ll = ll * 10 + (str[nPos] - u'0');
    }
    if (pnEnd)
        *pnEnd = nPos;
    if (bNegative)
        return ll > static_cast<LONGLONG>(INT_MAX) ? INT_MIN : static_cast<LONG>(-ll);
    return ll > INT_MAX ? INT_MAX : static_cast<LONG>(ll);
}

// A number that must be there: it begins with '-' or a digit.
bool ReadStrictNumber(WView str, size_t* pnPos, LONG* pl)
{
    if (*pnPos >= str.size() || (str[*pnPos] != u'-' && !IsDigit(str[*pnPos])))
        return false;
    *pl = ReadNumber(str, *pnPos, pnPos);
    return true;
}

// A parameter value runs to the first '&', the first lone quotation mark or
// the end; a doubled quotation mark belongs to the value.
size_t ValueEnd(WView str, size_t nPos)
{
    while (nPos < str.size()) {
        if (str[nPos] == u'&')
            break;
        if (str[nPos] == u'"') {
            if (nPos + 1 < str.size() && str[nPos + 1] == u'"') {
                nPos += 2;
                continue;
            }
            break;
        }
        ++nPos;
    }
    return nPos;
}

void TraceParameterData(const BYTE* pb, LONG cb)
{
    if (!TraceOn())
        return;
    Trace("\nParameter data: ");
    // The rest of the line continues in pieces well below the trace's line
    // limit.
    char sz[3 * 64 + 1];
    for (LONG i = 0; i < cb; i += 64) {
        int n = 0;
        for (LONG j = i; j < cb && j < i + 64; ++j)
            n += snprintf(sz + n, sizeof(sz) - static_cast<size_t>(n), "%02X ", pb[j]);
        Trace("%s", sz);
    }
}

// Start code put in front of each parameter set given in Base64 (RFC 6184
// carries them without one).
const BYTE kStartCode[] = {0, 0, 1};

// A raw frame beyond RFC 4175's 15-bit line numbers and offsets cannot be
// sent, so a larger one in the URL is a mistake, not a stream.
constexpr LONG kMaxRawDimension = 32767;

}  // namespace

void CRecvThread::SetStreamFormat(LONG nPayloadType, LONG nFormat)
{
    m_rtp.SetPayloadType(nPayloadType, nFormat);
    CAutoLock lock(&m_csState);
    m_nPayloadType = nPayloadType;
    m_nFormat = nFormat;
}

HRESULT CRecvThread::ParseOptions(LPCWSTR pszOptions)
{
    // The RTP mapping of an earlier URL stays until an option replaces it;
    // the time-out, latency and log switch describe this URL alone.
    m_rtp.ResetRTPState();
    m_dwTimeoutMs.store(kDefaultTimeoutMs, std::memory_order_relaxed);
    m_rtLatency.store(0, std::memory_order_relaxed);
    SetLogging(0);
    SetReceiveBufferRequest(kDefaultSocketBuffer);
    if (!pszOptions)
        return S_OK;
    const WView str(pszOptions);

    size_t nPos = Find(str, "Timeout=", 0);
    if (nPos != npos) {
        // Seconds to milliseconds in 32 bits: a value past 4294967 wraps
        // (4294968 gives 704 ms). 0: no time-out.
        const DWORD dwSeconds = static_cast<DWORD>(ReadNumber(str, nPos + KeyLength("Timeout=")));
        m_dwTimeoutMs.store(dwSeconds * 1000u, std::memory_order_relaxed);
    }
    nPos = Find(str, "Logging=", 0);
    if (nPos != npos)
        SetLogging(ReadNumber(str, nPos + KeyLength("Logging=")));
    nPos = Find(str, "Latency=", 0);
    if (nPos != npos) {
        const LONG lMs = ReadNumber(str, nPos + KeyLength("Latency="));
        if (lMs >= 0)
            m_rtLatency.store(static_cast<REFERENCE_TIME>(lMs) * 10000, std::memory_order_relaxed);
    }

    nPos = Find(str, "RcvBuf=", 0);
    if (nPos != npos) {
        HRESULT hr = ParseReceiveBuffer(str.data(), str.size(), nPos + KeyLength("RcvBuf="));
        if (FAILED(hr))
            return hr;
    }

    HRESULT hr = ParseCompOption(str.data(), str.size());
    if (FAILED(hr))
        return hr;
    return ParseRtpmapOptions(str.data(), str.size());
}

// RcvBuf=: the socket's receive buffer in bytes, with an optional K, M or G
// (1024-based). A buffer that holds a burst is what keeps a busy disk from
// losing datagrams, so a value we cannot use is refused, not ignored.
HRESULT CRecvThread::ParseReceiveBuffer(const WCHAR* psz, size_t cch, size_t nFrom)
{
    const WView str(psz, cch);
    size_t nPos = nFrom;
    ULONGLONG ull = 0;
    bool bDigits = false;
    for (; nPos < str.size() && IsDigit(str[nPos]) && ull <= kMaxReceiveBufferOption; ++nPos) {
        ull = ull * 10 + static_cast<ULONGLONG>(str[nPos] - u'0');
        bDigits = true;
    }
    if (bDigits && nPos < str.size()) {
        const WCHAR ch = Lower(str[nPos]);
        const int nShift = ch == u'k' ? 10 : ch == u'm' ? 20 : ch == u'g' ? 30 : 0;
        if (nShift) {
            ull = ull > kMaxReceiveBufferOption ? ull : ull << nShift;
            ++nPos;
        }
    }
    if (!bDigits || ull < 1 || ull > kMaxReceiveBufferOption) {
        Trace("\nCRecvThread::ParseOptions: RcvBuf= needs a size in bytes from 1 to %u (K, M, G allowed)",
              static_cast<unsigned>(kMaxReceiveBufferOption));
        return KVMM_E_INVALID_STREAM_OPTION;
    }
    SetReceiveBufferRequest(static_cast<DWORD>(ull));
    return S_OK;
}

// comp=: a plain elementary stream without RTP, optionally with its sequence
// headers in hexadecimal.
HRESULT CRecvThread::ParseCompOption(const WCHAR* psz, size_t cch)
{
    const WView str(psz, cch);
    size_t nPos = Find(str, "comp=", 0);
    if (nPos == npos)
        return S_OK;
    nPos += KeyLength("comp=");
    static const struct
    {
        const char* pszName;
        LONG nFormat;
    } s_aCodecs[] = {{"H264", RTPFORMAT_H264}, {"MPEG2", RTPFORMAT_MPEG2}, {"MPEG4", RTPFORMAT_MPEG4}};
    for (const auto& codec : s_aCodecs) {
        if (!StartsWithNoCase(str, nPos, codec.pszName))
            continue;
        // Payload type 0 switches RTP detection off: all data is taken as it
        // comes.
        SetStreamFormat(0, codec.nFormat);
        nPos += KeyLength(codec.pszName);
        const size_t nKey = Find(str, "seq-headers=\"", nPos);
        if (nKey != npos)
            return ReadParameterValue(psz, cch, nKey + KeyLength("seq-headers=\""), false);
        return S_OK;
    }
    return KVMM_E_INVALID_STREAM_OPTION;
}

// rtpmap=PT;NAME[/CLOCK], then fmtp=PT; with sprop-parameter-sets="..." and
// sampling=YCbCr-4:2:2 with width=, height=, depth=.
HRESULT CRecvThread::ParseRtpmapOptions(const WCHAR* psz, size_t cch)
{
    const WView str(psz, cch);
    size_t nPos = Find(str, "rtpmap=", 0);
    if (nPos == npos)
        return S_OK;
    nPos += KeyLength("rtpmap=");

    LONG lPayloadType = 0;
    if (!ReadStrictNumber(str, &nPos, &lPayloadType))
        return KVMM_E_INVALID_STREAM_OPTION;
    if (nPos >= str.size() || str[nPos] != u';')
        return KVMM_E_INVALID_STREAM_OPTION;
    ++nPos;
    static const struct
    {
        const char* pszName;
        LONG nFormat;
    } s_aEncodings[] = {{"H264", RTPFORMAT_H264}, {"JPEG", RTPFORMAT_JPEG}, {"MPEG2", RTPFORMAT_MPEG2},
                        {"raw", RTPFORMAT_RAW}};
    LONG nFormat = -1;
    for (const auto& enc : s_aEncodings) {
        if (StartsWithNoCase(str, nPos, enc.pszName)) {
            nFormat = enc.nFormat;
            nPos += KeyLength(enc.pszName);
            break;
        }
    }
    if (nFormat < 0)
        return KVMM_E_INVALID_STREAM_OPTION;
    LONG lClockRate;
    if (nPos < str.size() && str[nPos] == u'/') {
        ++nPos;
        if (!ReadStrictNumber(str, &nPos, &lClockRate))
            return KVMM_E_INVALID_STREAM_OPTION;
    } else if (nFormat == RTPFORMAT_MPEG2) {
        lClockRate = 90000;  // RFC 2250's clock; the only encoding that may omit it
    } else {
        return KVMM_E_INVALID_STREAM_OPTION;
    }
    // Dynamic and static payload types are 1..127 (7 bits); 0 would switch
    // RTP off.
    if (lPayloadType < 1 || lPayloadType > 127 || lClockRate < 1)
        return KVMM_E_INVALID_STREAM_OPTION;
    m_rtp.SetClockRate(static_cast<DWORD>(lClockRate));
    SetStreamFormat(lPayloadType, nFormat);

    nPos = Find(str, "fmtp=", nPos);
    if (nPos == npos)
        return S_OK;
    nPos += KeyLength("fmtp=");
    LONG lFmtpType = 0;
    if (!ReadStrictNumber(str, &nPos, &lFmtpType))
        return KVMM_E_INVALID_STREAM_OPTION;
    if (lFmtpType != lPayloadType)
        return S_OK;  // parameters of another payload type
    if (nPos >= str.size() || str[nPos] != u';')
        return KVMM_E_INVALID_STREAM_OPTION;
    ++nPos;

    const size_t nSets = Find(str, "sprop-parameter-sets=\"", nPos);
    if (nSets != npos) {
        HRESULT hr = ReadParameterValue(psz, cch, nSets + KeyLength("sprop-parameter-sets=\""), true);
        if (FAILED(hr))
            return hr;
    }
    return ParseSampling(psz, cch, nPos);
}

HRESULT CRecvThread::ParseSampling(const WCHAR* psz, size_t cch, size_t nFrom)
{
    const WView str(psz, cch);
    size_t nPos = Find(str, "sampling=", nFrom);
    if (nPos == npos)
        return S_OK;
    nPos += KeyLength("sampling=");
    if (!StartsWithNoCase(str, nPos, "YCbCr-4:2:2"))
        return KVMM_E_INVALID_STREAM_OPTION;
    nPos += KeyLength("YCbCr-4:2:2");
    const size_t nWidth = Find(str, "width=", nPos);
    const size_t nHeight = Find(str, "height=", nPos);
    const size_t nDepth = Find(str, "depth=", nPos);
    if (nWidth == npos || nHeight == npos || nDepth == npos)
        return KVMM_E_INVALID_STREAM_OPTION;
    const LONG lWidth = ReadNumber(str, nWidth + KeyLength("width="));
    const LONG lHeight = ReadNumber(str, nHeight + KeyLength("height="));
    const LONG lDepth = ReadNumber(str, nDepth + KeyLength("depth="));
    if (lWidth > kMaxRawDimension || lHeight > kMaxRawDimension)
        return KVMM_E_INVALID_STREAM_OPTION;
    // A frame is one unit of the RTP parser, and no unit may pass its bound
    // (a 4K frame of 16.6 MB fits): a URL must not make us reserve and fill
    // gigabytes.
    if (2LL * lWidth * lHeight > CRTPParser::kMaxUnitBytes)
        return KVMM_E_INVALID_STREAM_OPTION;
    // The parser refuses an odd or empty width, an empty height and any
    // depth but 8, and a frame its 32-bit buffer cannot hold.
    HRESULT hr = m_rtp.SetRawFormat(FOURCC_UYVY, lWidth, lHeight, lDepth);
    if (hr == E_OUTOFMEMORY)
        return hr;
    if (FAILED(hr))
        return KVMM_E_INVALID_STREAM_OPTION;

    // One clock tick in 100 ns units stands for the frame duration. A clock
    // faster than 10 MHz has no tick in these units and so no frame rate.
    const LONGLONG llFrameDuration = m_rtp.TicksTo100ns(1);
    if (llFrameDuration <= 0)
        return KVMM_E_INVALID_STREAM_OPTION;
    // UYVY: 2 pixels in 4 bytes. Width and height are at most 32767, so the
    // size and the bit rate's product fit in 64 bits.
    const ULONGLONG ullImage = static_cast<ULONGLONG>((lWidth + 1) / 2) * static_cast<ULONGLONG>(lHeight) * 4u;
    CMediaType mt;
    mt.SetType(&MEDIATYPE_Video);
    mt.SetSubtype(&MEDIASUBTYPE_UYVY);
    mt.SetFormatType(&FORMAT_VideoInfo);
    mt.SetTemporalCompression(TRUE);
    BYTE* pbFormat = mt.AllocFormatBuffer(sizeof(VIDEOINFOHEADER));
    if (!pbFormat)
        return KVMM_E_INVALID_STREAM_OPTION;
    VIDEOINFOHEADER vih = {};
    vih.dwBitRate = static_cast<DWORD>(ullImage * 80000000ull / static_cast<ULONGLONG>(llFrameDuration));
    vih.AvgTimePerFrame = llFrameDuration;
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = lWidth;
    vih.bmiHeader.biHeight = lHeight;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 16;
    vih.bmiHeader.biCompression = FOURCC_UYVY;
    vih.bmiHeader.biSizeImage = static_cast<DWORD>(ullImage);
    memcpy(pbFormat, &vih, sizeof(vih));
    hr = m_pFilter->SetOutputMediaType(&mt);
    if (FAILED(hr))
        return KVMM_E_INVALID_STREAM_OPTION;

    // Raw video is only delivered to the pin, never written to the ring.
    m_bDVRWrite.store(false, std::memory_order_release);
    hr = StopDVR();
    if (FAILED(hr))
        Trace("\nCRecvThread::ParseOptions: StopDVR failed %s", TraceHr(hr));
    return S_OK;
}

// Reads the comma-separated items of a parameter value into the filter's
// parameter buffer: Base64 items (sprop-parameter-sets) each preceded by a
// start code, hexadecimal items (seq-headers) as they are.
HRESULT CRecvThread::ReadParameterValue(const WCHAR* psz, size_t cch, size_t nFrom, bool bBase64)
{
    const WView str(psz, cch);
    CBuffer& params = m_pFilter->ParameterBuffer();
    params.Empty();
    const size_t nEnd = ValueEnd(str, nFrom);
    std::unique_ptr<CZREncBase> pCodec;
    if (bBase64)
        pCodec.reset(new (std::nothrow) CZRBase64Encoder);
    else
        pCodec.reset(new (std::nothrow) CZRBinaryEncoder);
    if (!pCodec)
        return E_OUTOFMEMORY;
    size_t nItem = nFrom;
    while (nItem < nEnd) {
        size_t nComma = str.find(u',', nItem);
        if (nComma == npos || nComma > nEnd)
            nComma = nEnd;
        if (nComma == nItem) {
            ++nItem;  // an empty item
            continue;
        }
        const LONG cbItem = pCodec->DecodeText(psz + nItem, static_cast<int>(nComma - nItem), nullptr, 0);
        if (cbItem > 0) {
            TraceParameterData(pCodec->Data(), cbItem);
            HRESULT hr = bBase64 ? params.Append(kStartCode, sizeof(kStartCode)) : S_OK;
            if (SUCCEEDED(hr))
                hr = params.Append(pCodec->Data(), cbItem);
            if (FAILED(hr))
                return hr;
        }
        pCodec->Reset();
        nItem = nComma + 1;
    }
    return S_OK;
}
