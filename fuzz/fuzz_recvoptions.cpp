// The option text of a source URL, as a user typed or pasted it: the parser
// must give a status, never crash, hang, leak, or describe a stream its
// buffers cannot hold. The input bytes are read as UTF-16 code units; the
// text ends at the first NUL as it would in Load.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dshowflt/mpegdemux/kvudpsrc/net/recvthread.h"
#include "platform/graph/mtype.h"

namespace {

class CFuzzPin : public IRecvOutputPin
{
public:
    HRESULT DeliverData(const BYTE*, LONG, REFERENCE_TIME, REFERENCE_TIME, DWORD, BOOL) override { return S_OK; }
};

class CFuzzFilter : public IRecvFilter
{
public:
    void SetStarvation(BOOL) override {}
    HRESULT OnAttributesChanging(LONG) override { return S_OK; }
    HRESULT AskIfIShouldContinueWaiting(DWORD) override { return S_OK; }
    BOOL HasCallback() override { return FALSE; }
    BOOL IsInFilterGraph() override { return FALSE; }
    CBuffer& ParameterBuffer() override { return m_params; }
    HRESULT SetOutputMediaType(const AM_MEDIA_TYPE* pmt) override { return m_mt.Set(*pmt); }
    HRESULT GetOutputMediaType(AM_MEDIA_TYPE* pmt) override { return CopyMediaType(pmt, &m_mt); }
    BOOL IsOutputMediaTypeValid() override { return m_mt.IsValid(); }

    CBuffer m_params;
    CMediaType m_mt;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // One receive thread for the whole run: its thread and ring are not what
    // is fuzzed, and building them per input would dominate.
    static CFuzzPin s_pin;
    static CFuzzFilter s_filter;
    static CRecvThread* s_pRecv = [] {
        CRecvThread* p = new CRecvThread(&s_pin, &s_filter);
        p->NonDelegatingAddRef();
        return p;
    }();

    std::vector<WCHAR> text(size / 2 + 1);
    if (size >= 2)
        memcpy(text.data(), data, size / 2 * sizeof(WCHAR));
    text[size / 2] = 0;
    size_t cch = 0;
    while (text[cch])
        ++cch;

    s_filter.m_mt = CMediaType();
    s_filter.m_params.Empty();
    const HRESULT hr = s_pRecv->ParseOptions(text.data());
    if (hr != S_OK && hr != KVMM_E_INVALID_STREAM_OPTION && hr != E_OUTOFMEMORY)
        abort();
    // Decoded parameter sets are never longer than the text that holds
    // them, with a start code per item.
    if (static_cast<size_t>(s_filter.m_params.Length()) > 4 * cch)
        abort();
    // A raw video description always fits the frame the parser reserved.
    if (s_filter.m_mt.IsValid()) {
        if (s_filter.m_mt.cbFormat != sizeof(VIDEOINFOHEADER))
            abort();
        VIDEOINFOHEADER vih;
        memcpy(&vih, s_filter.m_mt.pbFormat, sizeof(vih));
        const LONGLONG llImage = static_cast<LONGLONG>((vih.bmiHeader.biWidth + 1) / 2) * vih.bmiHeader.biHeight * 4;
        if (vih.bmiHeader.biWidth < 2 || vih.bmiHeader.biHeight < 1 || llImage != vih.bmiHeader.biSizeImage ||
            llImage > CRTPParser::kMaxUnitBytes || vih.AvgTimePerFrame <= 0)
            abort();
    }
    return 0;
}
