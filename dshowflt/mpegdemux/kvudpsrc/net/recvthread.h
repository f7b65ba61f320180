// CRecvThread: the network side of the source. One worker thread that waits
// for commands from the filter and, on CMD_READ, runs the read loop: it
// receives from the socket, strips RTP, hands each unit to the pipeline
// (receive-time log, mini parser, output pin, DVR ring) and decides when to
// time out, when to reconnect and when to give up.
//
// The object is at once the worker thread, the DVR writer, the socket and
// the receive-time log. The DVR writer's CUnknown is the object's identity
// ("TARN UDP Source Receive Thread"): embedded in the filter it delegates
// to the filter's unknown; on its own it is reference-counted and deletes
// itself with its last reference. The owner keeps a reference until it is
// done with the object; the object-table entry's reference is never the
// last one (the receive thread drops it from StopDVR).
//
// Threads:
//   - filter threads (Load, state changes, graph joins, destruction) call
//     ParseOptions, SetMediaType, CloseSocket, OnJoinFilterGraph and send
//     commands (CallWorker, PostCommand). ParseOptions and SetMediaType
//     reconfigure the stream and run only while no read loop runs (Load
//     stops it first).
//   - the receive thread owns the RTP parser, the mini parser, the socket's
//     reads and the ring's writes while a read loop runs.
//   - any thread may change the DVR writer's attributes; the commit calls
//     ChangingAttributesNotification on that thread, and may query the
//     writer's status.
//
// Lock order: m_csState is innermost; nothing that blocks or calls out runs
// under it. The worker-thread client lock (m_AccessLock) comes before every
// other lock.
#pragma once

#include <atomic>
#include <memory>

#include "dshowflt/common/dvr/dvrsink.h"
#include "dshowflt/common/rtp/miniparser.h"
#include "dshowflt/common/rtp/rtpparser.h"
#include "dshowflt/mpegdemux/kvudpsrc/net/offsetlogger.h"
#include "dshowflt/mpegdemux/kvudpsrc/net/recvhooks.h"
#include "dshowflt/mpegdemux/kvudpsrc/net/socket.h"
#include "platform/thread.h"

struct IFilterGraph;

// Commands of the receive thread.
enum : DWORD
{
    RECVCMD_CONNECT = 0,  // posted by the thread to itself: reconnect, then read
    CMD_READ = 1,         // run the read loop; answered once the stream has started
    RECVCMD_STOP = 2,     // end the read loop
    RECVCMD_EXIT = 3,     // end the thread
};

// What the receive thread has seen, for a display of the stream's health
// (the command-line tool's progress line). Counted since the object was
// made, across loads.
struct SRecvStats
{
    LONGLONG llDatagrams = 0;  // datagrams (UDP) or reads (TCP) received
    LONGLONG llBytes = 0;      // bytes received, RTP headers included
    LONGLONG llRingBytes = 0;  // stream bytes published in the DVR ring
    RTPCounters rtp;
    LONG lRtpFormat = -1;         // RTPFORMAT_* of an RTP stream; -1: not RTP (or not known yet)
    DWORD cbSocketBuffer = 0;    // the usable receive buffer the kernel granted; 0 before an open
    LONGLONG llKernelDrops = 0;  // datagrams the kernel dropped for a full socket buffer (UDP)
};

class CRecvThread : public CAMThread, public CBaseDVRSink, public CSocket, public COffsetLogger
{
public:
    static constexpr DWORD kDefaultTimeoutMs = 16000;

    // pPin and pFilter are not owned and must outlive the object. Starts the
    // thread at once; when it cannot be started every command answers
    // E_FAIL.
    CRecvThread(IRecvOutputPin* pPin, IRecvFilter* pFilter, IUnknown* pUnkOuter = nullptr);
    ~CRecvThread() override;

    // --- Commands ----------------------------------------------------------
    // Sends a command without waiting for its reply, when no client is
    // sending one (a post never overwrites a command somebody waits for).
    // FALSE when nothing was sent. The thread knows that nobody waits, and
    // answers no one.
    BOOL PostCommand(DWORD dwCommand);

    // --- Configuration (no read loop running) -------------------------------
    // The URL's option text (may be null): time-out, latency, receive-time
    // log, payload mapping, parameter sets, raw video format. S_OK,
    // KVMM_E_INVALID_STREAM_OPTION for a syntax error (what was set before
    // it stays set), or the failure of storing parameter sets.
    [[nodiscard]] HRESULT ParseOptions(LPCWSTR pszOptions);
    // The stream media type of the coming Load: stops a running read loop,
    // drops the mini parser and keeps the subtype as the ring's stream id.
    // Returns the stop's reply.
    [[nodiscard]] HRESULT SetMediaType(const AM_MEDIA_TYPE* pmt);

    // --- Socket ------------------------------------------------------------
    // From any thread but the receive thread, a running read loop is stopped
    // first, so the socket never closes under a receive.
    void CloseSocket(BOOL bFreeBuffer) override;
    [[nodiscard]] HRESULT OpenSocketHelper(BOOL bCreateBuffer, BOOL bConnect, DWORD dwTimeoutMs) override;
    // Closes and opens the socket again with the same address (UDP: bind and
    // join; TCP: connect).
    [[nodiscard]] HRESULT ReopenTcpSocket();

    // --- DVR writer --------------------------------------------------------
    // The sink's start; a plain H.264 stream (comp=H264) with parameter sets
    // from the URL begins its recording with them.
    [[nodiscard]] HRESULT StartDVR(const GUID* pStreamId = nullptr) override;
    // The sink's restart with the same stream id (a reconnected pin empties
    // the ring). A plain H.264 ring begins with the parameter sets again:
    // they are written before the lock is let go, so no received byte comes
    // first.
    [[nodiscard]] HRESULT RestartDVR();
    // The writer is about to apply (FALSE) or has applied (TRUE) a change of
    // its attributes: the ring is stopped meanwhile and started again after.
    [[nodiscard]] HRESULT ChangingAttributesNotification(BOOL bAfter) override;
    // The status's first value says whether the read loop runs (Writing) or
    // not (Stopped).
    [[nodiscard]] HRESULT GetStatus(LONG* plStatus, LONG* plFolderIndex, LONG* plSlot,
                                    double* pdCurrentSize) override;

    // --- Graph -------------------------------------------------------------
    // Joining (pGraph set): the writer enters the object table, the socket is
    // opened when it has an address, and reading starts (the CMD_READ reply
    // is returned). Leaving: reading stops, the writer leaves the table and
    // the socket closes.
    [[nodiscard]] HRESULT OnJoinFilterGraph(IFilterGraph* pGraph);

    // --- State --------------------------------------------------------------
    BOOL IsReading() const { return m_bReading.load(std::memory_order_acquire) ? TRUE : FALSE; }
    // Whether the socket is open; any thread may ask.
    BOOL IsSocketOpen() const { return m_bSocketOpen.load(std::memory_order_acquire) ? TRUE : FALSE; }
    DWORD GetTimeout() const { return m_dwTimeoutMs.load(std::memory_order_relaxed); }
    REFERENCE_TIME GetLatency() const { return m_rtLatency.load(std::memory_order_relaxed); }
    // Whether received data still goes to the DVR ring.
    BOOL IsDVRWriteEnabled() const { return m_bDVRWrite.load(std::memory_order_acquire) ? TRUE : FALSE; }
    // The parser itself, for the filter's Run (RestartRTP) while no read
    // loop runs.
    CRTPParser& RTPParser() { return m_rtp; }
    // Any thread may ask at any time: every figure is an atomic that the
    // receive thread alone writes, so nothing is locked and nothing waits.
    void GetStats(SRecvStats* pStats) const;

protected:
    // For a derived class, which starts the thread (Create) last in its own
    // constructor, so that the thread never sees a half-built object.
    CRecvThread(IRecvOutputPin* pPin, IRecvFilter* pFilter, IUnknown* pUnkOuter, bool bStartThread);

    DWORD ThreadProc() override;
    BOOL ShouldRegisterInObjectTable() override;
    // The writer's events go to the filter.
    void NotifyEvent(LONG lEventCode, LONG_PTR lParam1, LONG_PTR lParam2) override;

private:
    // Read loop states.
    static constexpr int kStateReconnecting = 1;
    static constexpr int kStateReceiving = 3;
    // A posted command carries this bit, so the thread knows nobody waits.
    static constexpr DWORD kPostedBit = 0x80000000u;
    // ProcessData's kind for data that is not RTP.
    static constexpr int kKindNotRTP = 4;

    // Runs until a command, an error or a time-out ends it. bCallerWaits:
    // the command that started it waits for its reply.
    void ReadLoop(bool bCallerWaits);
    // One received piece (RTP stripped); kind 0 one unit, 5 one unit with
    // more held back in the reorder queue, 4 data that is not RTP.
    [[nodiscard]] HRESULT ProcessData(BYTE* pData, LONG cb, DWORD dwTick, int nKind, bool* pbFirst);
    // S_FALSE: the unit was dropped during an attribute change, and so is
    // the rest of the datagram.
    [[nodiscard]] HRESULT ProcessUnit(const BYTE* pData, LONG cb, DWORD dwTick, bool bRtp, bool* pbFirst);
    [[nodiscard]] HRESULT CreateParser();
    // The unit's bytes to the ring: while a batch is processed, bytes that
    // lie in the receive buffer wait for the batch's one gathered write;
    // anything else (a unit the RTP parser built in its own memory, valid
    // only until its next packet) is written at once, after what waits.
    // S_FALSE: dropped during an attribute change with the rest of its
    // datagram. A failure is traced and ends the read loop.
    [[nodiscard]] HRESULT WriteUnit(const BYTE* pData, LONG cb);
    // Writes what waits, in order. S_FALSE when the current datagram lost
    // the rest of its units to an attribute change.
    [[nodiscard]] HRESULT FlushWrites();
    // A failed write of cb bytes: traced; during an attribute change the
    // data is dropped after a wait for the change to end (S_FALSE).
    [[nodiscard]] HRESULT OnWriteFailed(HRESULT hr, LONG cb);
    // Traces datagrams the kernel dropped since the last report, at most
    // once a second.
    void ReportKernelDrops();
    // The first data is there: answer the command that started the loop,
    // when somebody waits for it.
    void AnswerFirst(bool* pbFirst);
    // The offset readers can reach now, for the receive-time log.
    LONGLONG PublishedTotal();
    // Waits up to dwMs on the command event. TRUE when a command waits that
    // the loop takes (bCommandsSeen); one it may not take yet does not cut
    // the slice short.
    bool WaitSlice(DWORD dwMs, bool bCommandsSeen);
    // The deadline dwTimeoutMs after now (kNoDeadline for no time-out).
    static DWORD DataDeadline(DWORD dwTimeoutMs);
    [[nodiscard]] HRESULT OpenForReconnect(BOOL bCreateBuffer);
    // A plain H.264 stream (comp=H264) with parameter sets from the URL:
    // writes them into the ring, which has just started.
    void WriteParameterSets();
    bool IsAttributeChangeRunning();

    // Option parsing (recvoptions.cpp).
    static constexpr ULONGLONG kMaxReceiveBufferOption = 1ull << 30;
    [[nodiscard]] HRESULT ParseReceiveBuffer(const WCHAR* psz, size_t cch, size_t nFrom);
    [[nodiscard]] HRESULT ParseCompOption(const WCHAR* psz, size_t cch);
    [[nodiscard]] HRESULT ParseRtpmapOptions(const WCHAR* psz, size_t cch);
    [[nodiscard]] HRESULT ParseSampling(const WCHAR* psz, size_t cch, size_t nFrom);
    [[nodiscard]] HRESULT ReadParameterValue(const WCHAR* psz, size_t cch, size_t nFrom, bool bBase64);
    void SetStreamFormat(LONG nPayloadType, LONG nFormat);

    IRecvOutputPin* const m_pPin;
    IRecvFilter* const m_pFilter;

    CRTPParser m_rtp;
    std::unique_ptr<CMiniParser> m_pMiniParser;
    // The payload mapping last given to the RTP parser: comp= makes it
    // payload type 0 with an elementary format.

    std::atomic<bool> m_bDVRWrite{true};
    std::atomic<DWORD> m_dwTimeoutMs{kDefaultTimeoutMs};
    std::atomic<REFERENCE_TIME> m_rtLatency{0};
    std::atomic<bool> m_bReading{false};
    std::atomic<bool> m_bInGraph{false};
    // Receive thread only: the command that started the loop still waits.
    bool m_bReplyOwed = false;

    // Set from the FALSE notification of an attribute change until the TRUE
    // one has restarted the ring; the event is set while no change runs.
    std::atomic<bool> m_bChangingAttributes{false};
    CAMEvent m_evAttributesSettled{TRUE};
    std::atomic<bool> m_bRestartAfterChange{false};
    // Whether the socket is open, readable by any thread (m_socket is the
    // receive thread's while a loop runs).
    std::atomic<bool> m_bSocketOpen{false};

    CCritSec m_csState;
    GUID m_guidSubtype GUARDED_BY(m_csState) = GUID_NULL;
    // The payload mapping last given to the RTP parser: comp= makes it
    // payload type 0 with an elementary format.
    LONG m_nPayloadType GUARDED_BY(m_csState) = -1;
    LONG m_nFormat GUARDED_BY(m_csState) = -1;
    // The receive thread's figures for GetStats.
    std::atomic<LONGLONG> m_llStatDatagrams{0};
    std::atomic<LONGLONG> m_llStatBytes{0};
    std::atomic<LONG> m_lStatRtpFormat{-1};
    // The published total last seen, kept for when the ring cannot be asked.
    LONGLONG m_llLastPublishedTotal = 0;

    // Receive thread only: the batch being processed and the writes that
    // wait for its end (see WriteUnit).
    CRecvBatch m_batch;
    static constexpr int kMaxPendingWrites = CRecvBatch::kMaxDatagrams;
    FileChunk m_aPendingWrite[kMaxPendingWrites] = {};
    int m_anPendingDatagram[kMaxPendingWrites] = {};
    int m_nPendingWrites = 0;
    int m_nDatagram = 0;  // index in the batch of the datagram being processed
    bool m_bDeferWrites = false;
    bool m_bLogTickAsked = false;  // the receive-time log was asked at m_dwLogTickAsked
    DWORD m_dwLogTickAsked = 0;
    LONGLONG m_llDropsReported = 0;
    DWORD m_dwDropReportTick = 0;
};
