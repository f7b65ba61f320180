// CTraceFileWriter: the trace file, shared by every user in the process that
// writes to the same path.
//
// Lines are appended to a pending buffer under m_csPending and written out in
// batches: by a flush thread every 500 ms, by FlushTrace(), and by the last
// Release(). Each flush opens the file, appends and closes it again, so other
// processes and tools can read (and rotate) the file while we run.
//
// Threads: any thread calls Append/Flush/AddRef/Release; the flush thread
// owned by the writer calls Flush. Lock order: m_csFile, then m_csPending.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "dshowflt/common/buffer.h"
#include "platform/critsec.h"
#include "platform/hresult.h"

class CTraceFileWriter
{
public:
    // Period of the flush thread.
    static constexpr DWORD kFlushPeriodMs = 500;
    // How long a flush keeps retrying a file that another writer holds.
    static constexpr DWORD kOpenRetryMs = 1000;
    // File name used when the trace path names a folder.
    static constexpr const char* kDefaultFileName = "TARNTrace.txt";

    // The writer for strPath, created on first use, with one reference for
    // the caller. E_OUTOFMEMORY when it cannot be created.
    [[nodiscard]] static HRESULT Acquire(const std::string& strPath, CTraceFileWriter** ppWriter);

    void AddRef();
    // The last release stops the flush thread, writes what is pending and
    // frees the writer.
    void Release();

    const std::string& Path() const { return m_strPath; }

    // Queues text for the file. Never blocks on file I/O.
    void Append(const char* psz, size_t cb);
    // Writes the pending text now. The text is dropped if the file cannot be
    // opened within kOpenRetryMs (ERROR_SHARING_VIOLATION) or written.
    [[nodiscard]] HRESULT Flush();

    // Appends text to the file at strPath directly: creates the file with a
    // UTF-8 byte-order mark, turns a bare LF into CR LF. *pbLastCR carries
    // whether the previous chunk ended in CR, so that a CR LF split across
    // two flushes is not doubled. Used by Flush, and by the facility once the
    // process is shutting down and no writer may be started any more.
    [[nodiscard]] static HRESULT AppendToFile(const std::string& strPath, const char* psz, size_t cb,
                                              bool* pbLastCR);

    // Test seam: called after every flush made by the flush thread.
    typedef void (*PFNFLUSHHOOK)(void* pvContext);
    static void SetFlushHookForTest(PFNFLUSHHOOK pfn, void* pvContext);

private:
    explicit CTraceFileWriter(const std::string& strPath);
    ~CTraceFileWriter() = default;
    CTraceFileWriter(const CTraceFileWriter&) = delete;
    CTraceFileWriter& operator=(const CTraceFileWriter&) = delete;

    void FlushThreadProc();
    void StopFlushThread();

    const std::string m_strPath;
    std::atomic<long> m_cRef{1};

    // Serialises file writes so that flushes from the flush thread and from
    // FlushTrace() reach the file in the order their text was queued.
    CCritSec m_csFile ACQUIRED_BEFORE(m_csPending);
    bool m_bLastCR GUARDED_BY(m_csFile) = false;

    CCritSec m_csPending;
    CBuffer m_bufPending GUARDED_BY(m_csPending);

    // The flush thread sleeps on m_cvStop; m_bStop (under m_mtxStop) ends it.
    std::mutex m_mtxStop;
    std::condition_variable m_cvStop;
    bool m_bStop = false;
    std::thread m_thread;
};
