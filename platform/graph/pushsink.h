// A downstream filter for push delivery: one input pin that accepts samples
// through IMemInputPin and hands each one, with its times and flags, to a
// callback, along with end of stream, flushes and new segments. Tests use it
// to watch what a source delivers; the command-line tool uses it to write
// an elementary stream out.
//
// Threads: the callback runs on the thread that delivers (the upstream
// output queue's, or the producer's when it never blocks) and on the
// threads that flush; it must not call back into the graph.
#pragma once

#include <functional>

#include "platform/graph/amfilter.h"

// {2C5E5D61-8A0B-4F55-9C7A-6B1E51A4D101}
constexpr CLSID CLSID_PushSink = {0x2C5E5D61, 0x8A0B, 0x4F55, {0x9C, 0x7A, 0x6B, 0x1E, 0x51, 0xA4, 0xD1, 0x01}};

struct CPushSinkEvent
{
    enum EKind { kSample, kEndOfStream, kBeginFlush, kEndFlush, kNewSegment };
    EKind eKind = kSample;
    // kSample: the data (valid during the call), its times and flags.
    const BYTE* pbData = nullptr;
    LONG cbData = 0;
    HRESULT hrTime = VFW_E_SAMPLE_TIME_NOT_SET;  // the sample's GetTime result
    REFERENCE_TIME tStart = 0;                  // kNewSegment: segment start
    REFERENCE_TIME tStop = 0;                   // kNewSegment: segment stop
    double dRate = 1.0;
    bool bSyncPoint = false;
    bool bDiscontinuity = false;
    bool bPreroll = false;
};

// A failure returned for a sample goes back to the upstream pin's Receive.
typedef std::function<HRESULT(const CPushSinkEvent&)> PushSinkCallback;
// S_OK accepts the type.
typedef std::function<HRESULT(const CMediaType&)> MediaTypeCheck;

class CPushSink : public CBaseFilter
{
public:
    // A new sink with one reference held by *ppSink. An empty check accepts
    // every type. With bCanBlock false the pin tells upstream that Receive
    // never blocks (no output-queue thread is needed).
    [[nodiscard]] static HRESULT Create(PushSinkCallback fnCallback, MediaTypeCheck fnCheck, bool bCanBlock,
                                        CPushSink** ppSink);
    ~CPushSink() override;

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override;
    // EndOfStream also sends EC_COMPLETE to the graph, as a renderer does.
    IPin* InputPin();

private:
    class CInputPin : public CBaseInputPin
    {
    public:
        CInputPin(CPushSink* pSink, HRESULT* phr);
        [[nodiscard]] HRESULT CheckMediaType(const CMediaType* pmt) override;
        [[nodiscard]] HRESULT Receive(IMediaSample* pSample) override;
        [[nodiscard]] HRESULT ReceiveCanBlock() override;
        [[nodiscard]] HRESULT EndOfStream() override;
        [[nodiscard]] HRESULT BeginFlush() override;
        [[nodiscard]] HRESULT EndFlush() override;
        [[nodiscard]] HRESULT NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

    private:
        CPushSink* const m_pSink;
    };

    CPushSink(PushSinkCallback fnCallback, MediaTypeCheck fnCheck, bool bCanBlock);

    CCritSec m_csFilter;
    const PushSinkCallback m_fnCallback;
    const MediaTypeCheck m_fnCheck;
    const bool m_bCanBlock;
    CInputPin* m_pPin = nullptr;
};
