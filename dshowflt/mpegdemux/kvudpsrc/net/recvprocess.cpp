// The pipeline every received unit goes through on the receive thread:
// receive-time log, mini parser and media type, the answer to the command
// that waits for the stream, the output pin, the DVR ring, starvation.
#include <algorithm>

#include "dshowflt/common/trace/trace.h"
#include "dshowflt/mpegdemux/kvudpsrc/net/recvthread.h"
#include "platform/graph/mtype.h"

namespace {

// How long a unit dropped during an attribute change waits for the change to
// end, so that the thread does not spin while the ring is reconfigured.
constexpr DWORD kAttributeChangeWaitMs = 500;
constexpr LONG kTsPacketBytes = 188;

}  // namespace

HRESULT CRecvThread::ProcessData(BYTE* pData, LONG cb, DWORD dwTick, int nKind, bool* pbFirst)
{
    if (cb == 0)
        return S_OK;
    for (;;) {
        HRESULT hr = ProcessUnit(pData, cb, dwTick, nKind != kKindNotRTP, pbFirst);
        if (hr == S_FALSE)
            return S_OK;  // dropped during an attribute change, with the rest of the datagram
        if (FAILED(hr))
            return hr;
        if (nKind != RTPPACKET_GOOD_MULTIPLE)
            return S_OK;
        // The datagram released packets held back in the reorder queue: each
        // is a unit of its own, logged, delivered and written in turn.
        cb = 0;
        nKind = m_rtp.ParseHeader(&pData, &cb);
        if (nKind == RTPPACKET_DISCARD || cb == 0)
            return S_OK;
        if (nKind != RTPPACKET_GOOD && nKind != RTPPACKET_GOOD_MULTIPLE)
            return S_OK;
    }
}

HRESULT CRecvThread::ProcessUnit(const BYTE* pData, LONG cb, DWORD dwTick, bool bRtp, bool* pbFirst)
{
    // A transport stream in RTP comes in whole 188-byte packets. A datagram
    // cut short on its way ends in part of one, which written on would be
    // joined to the next datagram's first packet and put every later packet
    // off the 188-byte grid of the ring; the part goes, the whole packets
    // before it stay.
    if (bRtp && m_rtp.Format() == RTPFORMAT_MP2T && cb % kTsPacketBytes != 0) {
        Trace("\nCRecvThread::ProcessData(): %d bytes of transport stream are no whole number of packets; "
              "the last %d dropped",
              static_cast<int>(cb), static_cast<int>(cb % kTsPacketBytes));
        cb -= cb % kTsPacketBytes;
        if (cb == 0)
            return S_OK;
    }
    // Units of one tick (a batch shares its tick) get at most one record,
    // and only the first of them can: the log is asked once per tick.
    if (IsLogging() && (!m_bLogTickAsked || dwTick != m_dwLogTickAsked)) {
        m_bLogTickAsked = true;
        m_dwLogTickAsked = dwTick;
        if (WouldLog(dwTick)) {
            HRESULT hr = LogOffset(dwTick, PublishedTotal());
            (void)hr;  // a record that does not fit is dropped by the log itself
        }
    }

    HRESULT hr = CreateParser();
    if (FAILED(hr)) {
        Trace("\nCRecvThread::ProcessData(): CreateParser failed %s. Aborting the read process...", TraceHr(hr));
        return hr;
    }
    if (m_pMiniParser) {
        hr = m_pMiniParser->CheckSequenceHeader(pData, cb);
        if (FAILED(hr)) {
            Trace("\nCRecvThread::ProcessData(): CheckSequenceHeader failed %s. Aborting the read process...",
                  TraceHr(hr));
            return hr;
        }
        if (hr == S_OK) {
            CMediaType mt;
            hr = m_pMiniParser->FillMediaType(&mt);
            if (SUCCEEDED(hr))
                hr = m_pFilter->SetOutputMediaType(&mt);
            if (FAILED(hr)) {
                Trace("\nCRecvThread::ProcessData(): FillMediaType failed %s. Aborting the read process...",
                      TraceHr(hr));
                return hr;
            }
            // Described: from now on the stream goes to the pin only. What
            // the ring was given before is written before it stops.
            hr = FlushWrites();
            if (FAILED(hr))
                return hr;
            m_bDVRWrite.store(false, std::memory_order_release);
            hr = StopDVR();
            if (FAILED(hr))
                Trace("\nCRecvThread::ProcessData(): StopDVR failed %s", TraceHr(hr));
        }
        // The stream starts for the waiting command only once it can be
        // connected, so that Load returns with a media type.
        if (*pbFirst && m_pFilter->IsOutputMediaTypeValid())
            AnswerFirst(pbFirst);
    } else if (*pbFirst) {
        AnswerFirst(pbFirst);
    }

    // Every unit of an elementary stream other than H.264 is a whole sample;
    // H.264 units and transport-stream data are cut by the pin.
    const BOOL bEndOfUnit = m_rtp.IsVideoPayload() && !m_rtp.IsH264Payload();
    const REFERENCE_TIME rtStart = bRtp ? m_rtp.UnitTime() : 0;
    const DWORD dwFlags = bRtp ? m_rtp.UnitFlags() : 0;
    hr = m_pPin->DeliverData(pData, cb, rtStart, GetLatency(), dwFlags, bEndOfUnit);
    if (FAILED(hr)) {
        Trace("\nCRecvThread::ProcessData(): DeliverData(%d) returned %s. Aborting the read process...", cb,
              TraceHr(hr));
        return hr;
    }

    if (m_bDVRWrite.load(std::memory_order_acquire)) {
        // Lost RTP packets leave a flagged entry in the time index, so that
        // a cut by the clock knows the data before it is not contiguous. The
        // mark goes with the next block written: what a batch gathered
        // before this unit is written first, so that the entry falls on
        // this unit's offset and not on the start of the gathered write.
        if (dwFlags & RTPUNIT_DISCONTINUITY) {
            hr = FlushWrites();
            MarkDiscontinuity();
            if (hr != S_OK)
                return hr;
        }
        hr = WriteUnit(pData, cb);
        if (hr != S_OK)
            return hr;
    }
    m_pFilter->SetStarvation(FALSE);
    return S_OK;
}

HRESULT CRecvThread::WriteUnit(const BYTE* pData, LONG cb)
{
    const BYTE* pBuffer = Data();
    const bool bInBuffer = pData >= pBuffer && pData + cb <= pBuffer + Capacity();
    if (m_bDeferWrites && bInBuffer) {
        if (m_nPendingWrites == kMaxPendingWrites) {
            HRESULT hr = FlushWrites();
            if (hr != S_OK)
                return hr;
        }
        m_aPendingWrite[m_nPendingWrites] = {pData, static_cast<DWORD>(cb)};
        m_anPendingDatagram[m_nPendingWrites] = m_nDatagram;
        ++m_nPendingWrites;
        return S_OK;
    }
    HRESULT hr = FlushWrites();
    if (hr != S_OK)
        return hr;
    hr = WriteData(pData, cb);
    return SUCCEEDED(hr) ? S_OK : OnWriteFailed(hr, cb);
}

HRESULT CRecvThread::FlushWrites()
{
    HRESULT hrResult = S_OK;
    int nFrom = 0;
    while (nFrom < m_nPendingWrites) {
        LONG nDone = 0;
        HRESULT hr = WriteDataV(m_aPendingWrite + nFrom, m_nPendingWrites - nFrom, &nDone);
        if (SUCCEEDED(hr))
            break;
        const int nFailed = std::min(nFrom + static_cast<int>(nDone), m_nPendingWrites - 1);
        hr = OnWriteFailed(hr, static_cast<LONG>(m_aPendingWrite[nFailed].cb));
        if (FAILED(hr)) {
            m_nPendingWrites = 0;
            return hr;
        }
        // Dropped with the rest of its datagram; the datagrams after it are
        // tried again, as each was on its own.
        const int nDatagram = m_anPendingDatagram[nFailed];
        nFrom = nFailed;
        while (nFrom < m_nPendingWrites && m_anPendingDatagram[nFrom] == nDatagram)
            ++nFrom;
        if (nDatagram == m_nDatagram)
            hrResult = S_FALSE;
    }
    m_nPendingWrites = 0;
    return hrResult;
}

HRESULT CRecvThread::OnWriteFailed(HRESULT hr, LONG cb)
{
    if (IsAttributeChangeRunning()) {
        Trace("\nCRecvThread::ProcessData(): WriteData failed because I am changing attributes. "
              "Discarding this buffer");
        const DWORD dwFrom = GetTickCount();
        DWORD dwWait = WaitForSingleObject(NoChangeEvent(), kAttributeChangeWaitMs);
        (void)dwWait;
        const DWORD dwSpent = TickDiff(GetTickCount(), dwFrom);
        if (dwSpent < kAttributeChangeWaitMs)
            m_evAttributesSettled.Wait(kAttributeChangeWaitMs - dwSpent);
        return S_FALSE;
    }
    Trace("\nCRecvThread::ProcessData(): WriteData(%d) returned %s. Aborting the read process...", cb, TraceHr(hr));
    return hr;
}

HRESULT CRecvThread::CreateParser()
{
    // Data that is not RTP (a plain elementary stream given by comp= too) is
    // not looked into.
    if (m_pMiniParser || m_rtp.State() == RTPSTATE_NO || !m_rtp.IsVideoPayload())
        return S_OK;
    std::unique_ptr<CMiniParser> pParser;
    if (m_rtp.IsH264Payload()) {
        pParser.reset(new (std::nothrow) CMiniParserH264);
        if (!pParser)
            return E_OUTOFMEMORY;
    } else if (m_rtp.LearnedPayloadType() == RTPFORMAT_JPEG) {
        // The size comes from the JPEG payload header; until a frame has
        // carried a usable one there is nothing to describe.
        const LONG lWidth = m_rtp.Width();
        const LONG lHeight = m_rtp.Height();
        if (lWidth < 1 || lWidth > 65535 || lHeight < 1 || lHeight > 65535)
            return S_OK;
        CMiniParserJPEG* pJpeg = new (std::nothrow) CMiniParserJPEG;
        if (!pJpeg)
            return E_OUTOFMEMORY;
        pParser.reset(pJpeg);
        HRESULT hr = pJpeg->SetDimensions(lWidth, lHeight);
        if (FAILED(hr))
            return hr;
    } else {
        return S_OK;  // raw video and MPEG-4 are described otherwise
    }
    const CBuffer& params = m_pFilter->ParameterBuffer();
    if (params.Length() > 0) {
        HRESULT hr = pParser->SetSequenceHeader(params.Data(), params.Length());
        if (FAILED(hr))
            return hr;
    }
    m_pMiniParser = std::move(pParser);
    return S_OK;
}

void CRecvThread::AnswerFirst(bool* pbFirst)
{
    *pbFirst = false;
    if (m_bReplyOwed) {
        m_bReplyOwed = false;
        Reply(S_OK);
    }
}

LONGLONG CRecvThread::PublishedTotal()
{
    // The writer tells its published total with the range it holds. Asked
    // at most once per log interval (WouldLog), so reading the stub's
    // records for it costs nothing that matters.
    double dFirst = 0, dCurrent = 0, dLast = 0;
    if (SUCCEEDED(GetAvailableRange(&dFirst, &dCurrent, &dLast)))
        m_llLastPublishedTotal = static_cast<LONGLONG>(dCurrent);
    return m_llLastPublishedTotal;
}
