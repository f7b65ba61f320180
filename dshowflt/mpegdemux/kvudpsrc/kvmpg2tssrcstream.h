// CKVMpg2TSSrcStream: the network source's stream part. It is the DVR source
// that the output pin's request queue reads (a file that keeps growing), and
// it owns the receive thread, whose DVR writer fills that file. It is also
// what the pin asks to start the DVR reader and to empty the buffer on a
// reconnection (IAsyncReaderHost).
//
// The receive thread is aggregated into the filter: its DVR writer's
// interfaces (IKVDVRSink) count references on the filter, so an application
// holding one keeps the whole filter alive.
//
// Threads: reads and sizes on the request queue's threads; flushes, the
// reader's start and stop and ResetPointer on graph threads; the attribute
// hook on whatever thread commits a change of the DVR writer's attributes.
//
// Lock order: the filter lock, then m_csReaderCtl, then the DVR reader's and
// writer's own locks. m_csReaderCtl orders the starts and stops of the
// reader; the writer calls none of our hooks with a lock of its own held.
#pragma once

#include <atomic>

#include "dshowflt/common/dvr/dvrsource.h"
#include "dshowflt/mpegdemux/kvudpsrc/asyncreaderhost.h"
#include "dshowflt/mpegdemux/kvudpsrc/net/recvthread.h"

class CKVMpg2TSSrcStream : public CBaseDVRSource, public IAsyncReaderHost
{
public:
    // How far the recording may have grown past what the reader knows
    // before a size query reads the stub again, and how often it does while
    // nothing seems to grow.
    static constexpr LONGLONG kRefreshBytes = 2048;
    static constexpr DWORD kRefreshMs = 25;

    CKVMpg2TSSrcStream();
    ~CKVMpg2TSSrcStream() override;
    CKVMpg2TSSrcStream(const CKVMpg2TSSrcStream&) = delete;
    CKVMpg2TSSrcStream& operator=(const CKVMpg2TSSrcStream&) = delete;

    // Makes the receive thread for the pin and the filter, aggregated in
    // pUnkOuter, and starts it. Once only.
    [[nodiscard]] HRESULT CreateReceiveThread(IRecvOutputPin* pPin, IRecvFilter* pFilter, IUnknown* pUnkOuter);
    // Stops the DVR reader and ends the receive thread (its read loop is
    // stopped, its socket closed). The filter calls it first when it goes,
    // while everything the thread calls still exists. Idempotent.
    void ShutdownReceiveThread();
    // Null before CreateReceiveThread succeeded.
    CRecvThread* RecvThread() const { return m_pRecv; }

    // --- CAsyncStream
    // Clears starvation, then flushes the reader.
    void BeginFlush() override;
    // The base's size, from the size hook (the stub is not read on every
    // call).
    LONGLONG Size(LONGLONG* pllAvailable, BOOL bTimesInUnits) override;

    // The size hook: how far the recording has grown, in *pllKnown. Reads
    // the stub again only when the reader knows nothing yet, when the writer
    // has published kRefreshBytes more than the reader knows, or when the
    // size has not moved since the last answer and the last read is more
    // than kRefreshMs old. Returns kGrowingSizeInUnits.
    virtual LONGLONG GetCurrentSize(LONGLONG* pllKnown);

    // --- IAsyncReaderHost (the pin, on a graph thread)
    [[nodiscard]] HRESULT EnsureDVRReader() override;
    // The pin connects again: the reader stops, the writer starts an empty
    // buffer with the same stream id (when it is writing) and the reader
    // starts on it.
    [[nodiscard]] HRESULT ResetPointer() override;

    // The DVR writer begins (FALSE) or has ended (TRUE, or -1 after a failed
    // restart) a change of its attributes. The first half closes the reader;
    // the second starts it again on the new buffer when it was running; when
    // that fails, the socket is closed and the failure returned.
    [[nodiscard]] HRESULT OnAttributesChanging(LONG lFlag);
    // Leaving the graph: the reader stops.
    void StopDVRReading();
    bool IsReaderRunning() const { return m_bReaderRunning.load(std::memory_order_acquire); }

private:
    // Names the writer's stub and starts the reader on it.
    [[nodiscard]] HRESULT StartReaderOnWriter() REQUIRES(m_csReaderCtl);

    CRecvThread* m_pRecv = nullptr;  // its non-delegating reference

    CCritSec m_csReaderCtl;
    // Also read without the lock (IsReaderRunning).
    std::atomic<bool> m_bReaderRunning{false};
    // Set by the first half of an attribute change that closed a running
    // reader: the second half starts it again.
    bool m_bRestartReader GUARDED_BY(m_csReaderCtl) = false;
    // The reader engine's attribute change is open (ended by the second half).
    bool m_bChangeOpen GUARDED_BY(m_csReaderCtl) = false;

    // The size hook's memory.
    std::atomic<LONGLONG> m_llLastReported{0};
    std::atomic<DWORD> m_dwLastRefreshTick{0};  // 0: never
};
