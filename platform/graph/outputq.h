// Delivers an output pin's samples to the connected input pin, on a thread of
// its own when the input pin's Receive can block, so that the producing
// thread (a receive thread, say) is never held up by a slow consumer.
//
// Threads: the producer calls Receive, EOS, NewSegment, SendAnyway; any
// thread (usually the downstream filter's) calls BeginFlush/EndFlush; the
// queue's own thread delivers. Samples, end of stream and new segments reach
// the input pin in the order they were given. The queue owns every sample
// handed to it.
//
// Lock order: the caller's locks, then m_mtx. The queue never calls the
// input pin while holding m_mtx.
#pragma once

#include <deque>
#include <thread>
#include <vector>

#include "platform/graph/gsync.h"
#include "platform/graph/strmif.h"

class COutputQueue
{
public:
    static constexpr LONG kDefaultListSize = 10;

    // bAuto: ask the input pin (ReceiveCanBlock) whether to use a thread,
    // overriding bQueue. Batches of lBatchSize samples go downstream in one
    // ReceiveMultiple; with bBatchExact a short batch waits for more
    // samples, an end of stream, a new segment or SendAnyway. At most
    // lListSize samples wait in the list; Receive blocks while it is full.
    // *phr is set only on failure.
    COutputQueue(IPin* pInputPin, HRESULT* phr, BOOL bAuto = TRUE, BOOL bQueue = TRUE, LONG lBatchSize = 1,
                 BOOL bBatchExact = FALSE, LONG lListSize = kDefaultListSize, DWORD dwPriority = 0);
    // Stops the thread; samples not yet delivered are released. The owner
    // makes sure that no call is still inside the queue (a Receive waiting
    // for room returns once the input pin refuses a delivery or a flush
    // begins).
    ~COutputQueue();
    // What the destructor does first: the thread ends (after the delivery
    // it is in, if any) and what is queued is released. Afterwards nothing
    // reaches the input pin through the queue but flushes; samples, end of
    // stream and new segments are refused. For an owner that lets go of a
    // queue other threads may still hold: once it returns, no sample from
    // this queue can reach the input pin after those of a newer queue.
    void Shutdown();
    COutputQueue(const COutputQueue&) = delete;
    COutputQueue& operator=(const COutputQueue&) = delete;

    // Takes over the caller's reference, whatever the result. S_FALSE while
    // flushing; the failure of an earlier delivery until the next EndFlush.
    [[nodiscard]] HRESULT Receive(IMediaSample* pSample);
    [[nodiscard]] HRESULT ReceiveMultiple(IMediaSample** ppSamples, long nSamples, long* nSamplesProcessed);
    // Queued in order with the samples; dropped during a flush.
    void EOS();
    void NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate);
    // Delivers a partial batch now.
    void SendAnyway();
    // BeginFlush drops everything queued and passes the flush downstream;
    // EndFlush waits until the thread has let go of what it was delivering,
    // then passes the end of the flush downstream.
    void BeginFlush();
    void EndFlush();
    // Nothing queued and nothing being delivered.
    bool IsIdle();
    bool IsQueued() const { return m_bQueue; }

private:
    enum EKind { kSample, kEndOfStream, kNewSegment };
    struct CItem
    {
        EKind eKind;
        IMediaSample* pSample;
        REFERENCE_TIME tStart;
        REFERENCE_TIME tStop;
        double dRate;
    };

    void ThreadProc();
    bool ReadyLocked() REQUIRES(m_mtx);
    // Queued mode: appends and wakes the thread; waits for room for samples.
    [[nodiscard]] HRESULT QueueItem(const CItem& item);
    // Direct mode: sends the samples batched so far.
    [[nodiscard]] HRESULT SendBatched();
    void DropAll(std::vector<IMediaSample*>* pvToRelease) REQUIRES(m_mtx);
    bool IsShutDown();

    IPin* const m_pPin;                 // referenced
    IMemInputPin* m_pInputPin = nullptr;  // referenced
    bool m_bQueue = true;
    const LONG m_lBatchSize;
    const bool m_bBatchExact;
    const LONG m_lListSize;

    CGraphMutex m_mtx;
    CGraphCond m_cvWork;   // an item arrived, flush or terminate
    CGraphCond m_cvSpace;  // an item left the list, or the thread went idle
    std::deque<CItem> m_dqItems GUARDED_BY(m_mtx);
    LONG m_cSamplesQueued GUARDED_BY(m_mtx) = 0;
    std::vector<IMediaSample*> m_vBatched GUARDED_BY(m_mtx);  // direct mode
    bool m_bSendAnyway GUARDED_BY(m_mtx) = false;
    bool m_bFlushing GUARDED_BY(m_mtx) = false;
    bool m_bTerminate GUARDED_BY(m_mtx) = false;
    bool m_bDelivering GUARDED_BY(m_mtx) = false;
    LONG m_cDirectSends GUARDED_BY(m_mtx) = 0;  // direct mode: batches being delivered
    HRESULT m_hr GUARDED_BY(m_mtx) = S_OK;
    CGraphMutex m_mtxThread;  // the join; taken alone
    std::thread m_thread;
};
