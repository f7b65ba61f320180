// A downstream filter that pulls: its input pin takes the upstream pin's
// IAsyncReader while connecting, and from Pause to Stop a worker thread reads
// the stream from offset 0 in aligned requests of a fixed size, at
// increasing offsets, and hands the bytes, in stream order, to a callback
// (a file writer, standard output, a checker).
//
// The worker keeps up to cRequestsInFlight requests queued so that the
// source always has the next read waiting. A short read ends the stream when
// the source's length says the stream ends there; a live source answers a
// request with what it has when its writer is slower than the request, and
// the rest of such a read is asked for again. A request at or past the end
// (end-of-file status) also ends the stream once the bytes before it are
// out. The end callback gets S_OK then, or the failure that stopped the
// reading. The graph gets EC_COMPLETE or EC_ERRORABORT accordingly.
//
// Threads: connection and state changes on the graph's thread; the data and
// end callbacks on the worker thread.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "platform/graph/amfilter.h"

// {2C5E5D62-8A0B-4F55-9C7A-6B1E51A4D102}
constexpr CLSID CLSID_PullReader = {0x2C5E5D62, 0x8A0B, 0x4F55, {0x9C, 0x7A, 0x6B, 0x1E, 0x51, 0xA4, 0xD1, 0x02}};

// The bytes at stream offset llPos; a failure or S_FALSE stops the reading.
typedef std::function<HRESULT(LONGLONG llPos, const BYTE* pb, LONG cb)> PullDataCallback;
typedef std::function<void(HRESULT hr)> PullEndCallback;

struct CPullReaderConfig
{
    LONG cbRequest = 65536;       // rounded up to the source's alignment
    LONG cRequestsInFlight = 2;   // also the number of buffers asked for
    DWORD dwWaitMs = 200;         // one WaitForNext; the worker then re-checks for Stop
    // The interface asked for while connecting: IAsyncReader, IAsyncReader2
    // or IAsyncReader3 (the source may behave differently for each).
    IID iidReader = IID_IAsyncReader;
};

class CPullReader : public CBaseFilter
{
public:
    [[nodiscard]] static HRESULT Create(const CPullReaderConfig& config, PullDataCallback fnData,
                                        PullEndCallback fnEnd, CPullReader** ppReader);
    ~CPullReader() override;

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override;
    IPin* InputPin();

    // Starting the worker on Pause and stopping it on Stop.
    [[nodiscard]] HRESULT Pause() override;
    [[nodiscard]] HRESULT Stop() override;

private:
    class CInputPin : public CBasePin
    {
    public:
        explicit CInputPin(CPullReader* pReader, HRESULT* phr);
        [[nodiscard]] HRESULT CheckMediaType(const CMediaType* pmt) override;
        [[nodiscard]] HRESULT CheckConnect(IPin* pPin) override;
        [[nodiscard]] HRESULT CompleteConnect(IPin* pReceivePin) override;
        [[nodiscard]] HRESULT BreakConnect() override;
        [[nodiscard]] HRESULT EndOfStream() override { return S_OK; }
        [[nodiscard]] HRESULT BeginFlush() override { return S_OK; }
        [[nodiscard]] HRESULT EndFlush() override { return S_OK; }

        IAsyncReader* m_pReader = nullptr;      // referenced while connected
        IMemAllocator* m_pAllocator = nullptr;  // referenced while connected
        LONG m_cbRequest = 0;                   // aligned request size
        LONG m_lAlign = 1;                      // the source's alignment

    private:
        CPullReader* const m_pOwner;
    };

    CPullReader(const CPullReaderConfig& config, PullDataCallback fnData, PullEndCallback fnEnd);
    void WorkerProc(IAsyncReader* pReader, IMemAllocator* pAlloc, LONG cbRequest, LONG lAlign, LONG cBuffers);
    void StopWorker();

    CCritSec m_csFilter;
    // Start and stop of the worker; never held with m_csFilter, because the
    // worker takes m_csFilter to send graph events while Stop waits for it.
    CCritSec m_csWorker;
    const CPullReaderConfig m_config;
    const PullDataCallback m_fnData;
    const PullEndCallback m_fnEnd;
    CInputPin* m_pPin = nullptr;
    std::thread m_worker GUARDED_BY(m_csWorker);
    std::atomic<bool> m_bStopWorker{false};
};
