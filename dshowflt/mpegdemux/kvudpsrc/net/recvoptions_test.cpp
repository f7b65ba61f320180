// The URL's stream options: what each sets, what a syntax error leaves, and
// hostile values.
#include <climits>

#include "dshowflt/mpegdemux/kvudpsrc/net/recvtest_util.h"

using namespace recvtest;

namespace {

const HRESULT kInvalid = KVMM_E_INVALID_STREAM_OPTION;

// Base64 items of RFC 6184 sprop-parameter-sets: an SPS of 22 bytes
// (Z0IAHpWoKA9puAgICgAAAwAAAwBlCA==, profile 66 level 30) and a PPS.
const Bytes kSps22 = {0x67, 0x42, 0x00, 0x1E, 0x95, 0xA8, 0x28, 0x0F, 0x69, 0xB8, 0x08,
                      0x08, 0x0A, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x65, 0x08};
const Bytes kPps = {0x68, 0xCE};

Bytes WithStartCodes(std::initializer_list<Bytes> sets)
{
    Bytes v;
    for (const Bytes& s : sets) {
        v.insert(v.end(), {0, 0, 1});
        v.insert(v.end(), s.begin(), s.end());
    }
    return v;
}

class CRecvOptionsTest : public ::testing::Test
{
protected:
    HRESULT Parse(const char16_t* psz) { return m_recv->ParseOptions(psz); }
    Bytes Params()
    {
        CBuffer& b = m_recv.m_filter.ParameterBuffer();
        return Bytes(b.Data(), b.Data() + b.Length());
    }
    CRTPParser& Rtp() { return m_recv->RTPParser(); }

    CRecv m_recv;
};

}  // namespace

TEST_F(CRecvOptionsTest, NoOptionsMeanDefaults)
{
    ASSERT_EQ(S_OK, Parse(u"?Timeout=3&Latency=5&Logging=1"));
    ASSERT_EQ(S_OK, Parse(nullptr));
    EXPECT_EQ(16000u, m_recv->GetTimeout());
    EXPECT_EQ(0, m_recv->GetLatency());
    EXPECT_FALSE(m_recv->IsLogging());
    EXPECT_EQ(RTPSTATE_MAYBE, Rtp().State());
    EXPECT_TRUE(m_recv->IsDVRWriteEnabled());
}

TEST_F(CRecvOptionsTest, PlainNumbers)
{
    const struct
    {
        const char16_t* psz;
        DWORD dwTimeout;
        REFERENCE_TIME rtLatency;
        bool bLogging;
    } aCases[] = {
        {u"?Timeout=0", 0, 0, false},
        {u"?Timeout=5", 5000, 0, false},
        {u"?Timeout=12s&Latency=100ms", 12000, 1000000, false},
        {u"?Timeout=4294968", 704, 0, false},                      // seconds x 1000 wraps in 32 bits
        {u"?Timeout=-1", 0xFFFFFC18u, 0, false},                   // the same arithmetic, unsigned
        {u"?Timeout=99999999999", static_cast<DWORD>(INT_MAX) * 1000u, 0, false},  // saturates first
        {u"?Timeout=abc", 0, 0, false},                             // no digits: 0, no time-out
        {u"?Timeout= 5", 0, 0, false},                              // no space before the digits
        {u"?timeout=5&latency=5&logging=1", 16000, 0, false},       // keys are case-sensitive
        {u"?Latency=-5&Logging=2", 16000, 0, true},                 // a negative latency is ignored
        {u"#Latency=2147483647", 16000, 2147483647LL * 10000, false},
        {u"?xTimeout=7yLogging=1", 7000, 0, true},                  // keys are searched, not tokenised
    };
    for (const auto& c : aCases) {
        SCOPED_TRACE(std::string(c.psz, c.psz + std::char_traits<char16_t>::length(c.psz)));
        ASSERT_EQ(S_OK, Parse(c.psz));
        EXPECT_EQ(c.dwTimeout, m_recv->GetTimeout());
        EXPECT_EQ(c.rtLatency, m_recv->GetLatency());
        EXPECT_EQ(c.bLogging, m_recv->IsLogging());
    }
}

TEST_F(CRecvOptionsTest, ReceiveBufferSizeInBytesOrWithASuffix)
{
    const struct
    {
        const char16_t* psz;
        HRESULT hr;
        DWORD cb;  // asked for after the call
    } aCases[] = {
        {u"?Timeout=3", S_OK, 8u << 20},  // the default, also after an earlier URL set one
        {u"?RcvBuf=65536", S_OK, 65536},
        {u"?RcvBuf=512k&Timeout=1", S_OK, 512u << 10},
        {u"?RcvBuf=32M", S_OK, 32u << 20},
        {u"?RcvBuf=1G", S_OK, 1u << 30},
        {u"?RcvBuf=1", S_OK, 1},
        {u"?RcvBuf=0", KVMM_E_INVALID_STREAM_OPTION, 8u << 20},
        {u"?RcvBuf=-5", KVMM_E_INVALID_STREAM_OPTION, 8u << 20},
        {u"?RcvBuf=big", KVMM_E_INVALID_STREAM_OPTION, 8u << 20},
        {u"?RcvBuf=2G", KVMM_E_INVALID_STREAM_OPTION, 8u << 20},
        {u"?RcvBuf=99999999999999999999", KVMM_E_INVALID_STREAM_OPTION, 8u << 20},
    };
    for (const auto& c : aCases) {
        SCOPED_TRACE(std::string(c.psz, c.psz + std::char_traits<char16_t>::length(c.psz)));
        ASSERT_EQ(S_OK, Parse(u"?RcvBuf=1000"));
        EXPECT_EQ(c.hr, Parse(c.psz));
        EXPECT_EQ(c.cb, m_recv->GetReceiveBufferRequest());
    }
}

TEST_F(CRecvOptionsTest, PlainElementaryStreams)
{
    ASSERT_EQ(S_OK, Parse(u"?comp=h264"));
    EXPECT_TRUE(Rtp().IsH264Payload());
    EXPECT_EQ(RTPSTATE_NO, Rtp().State());
    // The mapping stays through a parse without it, as does the detection
    // switch it implies.
    ASSERT_EQ(S_OK, Parse(u"?Timeout=1"));
    EXPECT_TRUE(Rtp().IsH264Payload());
    EXPECT_EQ(RTPSTATE_NO, Rtp().State());

    ASSERT_EQ(S_OK, Parse(u"?comp=MPEG4"));
    EXPECT_FALSE(Rtp().IsH264Payload());
    EXPECT_TRUE(Rtp().IsVideoPayload());

    ASSERT_EQ(S_OK, Parse(u"?comp=H264&seq-headers=\"0000000167,42,,4\"&Timeout=2"));
    EXPECT_EQ(Bytes({0, 0, 0, 1, 0x67, 0x42, 0x40}), Params());
    EXPECT_EQ(2000u, m_recv->GetTimeout());

    // A syntax error keeps what was set before it.
    EXPECT_EQ(kInvalid, Parse(u"?Timeout=7&comp=VC1"));
    EXPECT_EQ(7000u, m_recv->GetTimeout());
    EXPECT_EQ(kInvalid, Parse(u"?comp="));
}

TEST_F(CRecvOptionsTest, RtpMapAndParameterSets)
{
    ASSERT_EQ(S_OK, Parse(u"?rtpmap=96;H264/90000&fmtp=96;packetization-mode=1;"
                          u"sprop-parameter-sets=\"Z0IAHpWoKA9puAgICgAAAwAAAwBlCA==,aM4=\""));
    EXPECT_TRUE(Rtp().IsH264Payload());
    EXPECT_EQ(RTPSTATE_MAYBE, Rtp().State());
    EXPECT_EQ(90000u, Rtp().ClockRate());
    EXPECT_EQ(WithStartCodes({kSps22, kPps}), Params());

    ASSERT_EQ(S_OK, Parse(u"?rtpmap=33;mpeg2"));
    EXPECT_EQ(90000u, Rtp().ClockRate());
    EXPECT_FALSE(Rtp().IsVideoPayload());

    ASSERT_EQ(S_OK, Parse(u"?rtpmap=26;JPEG/48000"));
    EXPECT_EQ(48000u, Rtp().ClockRate());

    // Parameters of another payload type are not ours.
    m_recv.m_filter.ParameterBuffer().Empty();
    ASSERT_EQ(S_OK, Parse(u"?rtpmap=96;H264/90000&fmtp=97;sprop-parameter-sets=\"aM4=\""));
    EXPECT_TRUE(Params().empty());
}

TEST_F(CRecvOptionsTest, ParameterValuesEndAtAmpersandOrALoneQuote)
{
    const struct
    {
        const char16_t* psz;
        Bytes params;
        DWORD dwTimeout;
    } aCases[] = {
        // Unterminated: the value runs to the end of the text.
        {u"?rtpmap=96;H264/90000&fmtp=96;sprop-parameter-sets=\"aM4=,aM4", WithStartCodes({kPps, kPps}), 16000},
        {u"?rtpmap=96;H264/90000&fmtp=96;sprop-parameter-sets=\"aM4=&Timeout=3,aM4=", WithStartCodes({kPps}),
         3000},
        // A doubled quotation mark belongs to the value; a lone one ends it.
        {u"?rtpmap=96;H264/90000&fmtp=96;sprop-parameter-sets=\"aM4=\"\",aM4=\",aM4=",
         WithStartCodes({kPps, kPps}), 16000},
        // Items that decode to nothing add nothing.
        {u"?rtpmap=96;H264/90000&fmtp=96;sprop-parameter-sets=\"!!,,aM4=\"", WithStartCodes({kPps}), 16000},
        {u"?rtpmap=96;H264/90000&fmtp=96;sprop-parameter-sets=\"\"", {}, 16000},
    };
    for (const auto& c : aCases) {
        SCOPED_TRACE(std::string(c.psz, c.psz + std::char_traits<char16_t>::length(c.psz)));
        ASSERT_EQ(S_OK, Parse(c.psz));
        EXPECT_EQ(c.params, Params());
        EXPECT_EQ(c.dwTimeout, m_recv->GetTimeout());
    }
}

TEST_F(CRecvOptionsTest, MalformedRtpMapsAreRefused)
{
    const char16_t* const aBad[] = {
        u"?rtpmap=96;H264",                 // only MPEG2 may leave the clock out
        u"?rtpmap=0;H264/90000",            // payload types are 1..127
        u"?rtpmap=128;H264/90000",
        u"?rtpmap=-5;H264/90000",
        u"?rtpmap=96;H264/0",               // a clock rate of 0
        u"?rtpmap=96;H264/-90000",
        u"?rtpmap=96;H264/",
        u"?rtpmap=96;H264/x",
        u"?rtpmap=+96;H264/90000",          // a strict number has no plus sign
        u"?rtpmap=96H264/90000",
        u"?rtpmap=96;VP8/90000",
        u"?rtpmap=;H264/90000",
        u"?rtpmap=96;H264/90000&fmtp=96",   // fmtp needs its ';'
        u"?rtpmap=96;H264/90000&fmtp=x;",
    };
    for (const char16_t* psz : aBad)
        EXPECT_EQ(kInvalid, Parse(psz)) << std::string(psz, psz + std::char_traits<char16_t>::length(psz));
}

TEST_F(CRecvOptionsTest, RawVideoSamplingDescribesUyvy)
{
    ASSERT_EQ(S_OK, Parse(u"?rtpmap=96;raw/90000&fmtp=96;sampling=YCbCr-4:2:2;width=1920;height=1080;depth=8"));
    const CMediaType mt = m_recv.m_filter.MediaType();
    EXPECT_EQ(MEDIATYPE_Video, mt.majortype);
    EXPECT_EQ(MEDIASUBTYPE_UYVY, mt.subtype);
    EXPECT_EQ(FORMAT_VideoInfo, mt.formattype);
    EXPECT_TRUE(mt.bTemporalCompression);
    ASSERT_EQ(sizeof(VIDEOINFOHEADER), mt.cbFormat);
    VIDEOINFOHEADER vih;
    memcpy(&vih, mt.pbFormat, sizeof(vih));
    EXPECT_EQ(111, vih.AvgTimePerFrame);  // one tick of the 90 kHz clock
    EXPECT_EQ(4147200u, vih.bmiHeader.biSizeImage);
    EXPECT_EQ(static_cast<DWORD>(4147200ull * 80000000ull / 111), vih.dwBitRate);
    EXPECT_EQ(40u, vih.bmiHeader.biSize);
    EXPECT_EQ(1920, vih.bmiHeader.biWidth);
    EXPECT_EQ(1080, vih.bmiHeader.biHeight);
    EXPECT_EQ(1, vih.bmiHeader.biPlanes);
    EXPECT_EQ(16, vih.bmiHeader.biBitCount);
    EXPECT_EQ(FOURCC_UYVY, vih.bmiHeader.biCompression);
    EXPECT_FALSE(m_recv->IsDVRWriteEnabled());
}

TEST_F(CRecvOptionsTest, HostileSamplingIsRefusedWholeOrNotAtAll)
{
    const char16_t* const aBad[] = {
        u"?rtpmap=96;raw/90000&fmtp=96;sampling=YCbCr-4:2:2;width=1919;height=1080;depth=8",   // odd
        u"?rtpmap=96;raw/90000&fmtp=96;sampling=YCbCr-4:2:2;width=1920;height=1080;depth=10",
        u"?rtpmap=96;raw/90000&fmtp=96;sampling=YCbCr-4:2:2;width=1920;depth=8",                // no height
        u"?rtpmap=96;raw/90000&fmtp=96;sampling=YCbCr-4:4:4;width=1920;height=1080;depth=8",
        u"?rtpmap=96;raw/90000&fmtp=96;sampling=YCbCr-4:2:2;width=0;height=1080;depth=8",
        u"?rtpmap=96;raw/90000&fmtp=96;sampling=YCbCr-4:2:2;width=-2;height=1080;depth=8",
        // Sizes past what a frame buffer or a 32-bit image size holds.
        u"?rtpmap=96;raw/90000&fmtp=96;sampling=YCbCr-4:2:2;width=65536;height=16384;depth=8",
        u"?rtpmap=96;raw/90000&fmtp=96;sampling=YCbCr-4:2:2;width=7680;height=4320;depth=8",  // 66 MB a frame
        u"?rtpmap=96;raw/90000&fmtp=96;sampling=YCbCr-4:2:2;width=4294967296;height=2;depth=8",
        u"?rtpmap=96;raw/90000&fmtp=96;sampling=YCbCr-4:2:2;width=2;height=99999999999;depth=8",
        // A clock too fast to have a tick in 100 ns units.
        u"?rtpmap=96;raw/20000000&fmtp=96;sampling=YCbCr-4:2:2;width=8;height=2;depth=8",
    };
    for (const char16_t* psz : aBad) {
        EXPECT_EQ(kInvalid, Parse(psz)) << std::string(psz, psz + std::char_traits<char16_t>::length(psz));
        EXPECT_FALSE(m_recv.m_filter.IsOutputMediaTypeValid());
        EXPECT_TRUE(m_recv->IsDVRWriteEnabled());
    }
    EXPECT_EQ(S_OK, Parse(u"?rtpmap=96;raw/90000&fmtp=96;sampling=YCbCr-4:2:2;width=3840;height=2160;depth=8"));
    EXPECT_TRUE(m_recv.m_filter.IsOutputMediaTypeValid());
    const CMediaType mtNone;
    ASSERT_EQ(S_OK, m_recv.m_filter.SetOutputMediaType(&mtNone));
    // The sampling key is looked for after the fmtp value only.
    EXPECT_EQ(S_OK, Parse(u"?sampling=YCbCr-4:2:2;width=8;height=2;depth=8&rtpmap=96;raw/90000&fmtp=96;"));
    EXPECT_FALSE(m_recv.m_filter.IsOutputMediaTypeValid());
}
