#include "dshowflt/common/trace/tracefile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <new>

namespace {

// Every writer alive in the process, one per path. A handful of paths at
// most, so a fixed table is enough and needs no allocation. The registry is
// never destroyed: writers may still be released while static objects are
// being torn down at exit.
struct CWriterRegistry
{
    static constexpr size_t kMaxWriters = 16;
    CCritSec m_cs;
    CTraceFileWriter* m_apWriters[kMaxWriters] GUARDED_BY(m_cs) = {};
};

CWriterRegistry& Registry()
{
    static CWriterRegistry* s_pRegistry = new CWriterRegistry;
    return *s_pRegistry;
}

struct CFlushHook
{
    CCritSec m_cs;
    CTraceFileWriter::PFNFLUSHHOOK m_pfn GUARDED_BY(m_cs) = nullptr;
    void* m_pv GUARDED_BY(m_cs) = nullptr;
};

CFlushHook& FlushHook()
{
    static CFlushHook* s_pHook = new CFlushHook;
    return *s_pHook;
}

class CFd
{
public:
    explicit CFd(int fd) : m_fd(fd) {}
    ~CFd()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

HRESULT WriteAll(int fd, const char* p, size_t cb)
{
    while (cb > 0) {
        const ssize_t n = write(fd, p, cb);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return HrFromErrno(errno);
        }
        if (n == 0)
            return HRESULT_FROM_WIN32(ERROR_WRITE_FAULT);
        p += n;
        cb -= static_cast<size_t>(n);
    }
    return S_OK;
}

}  // namespace

CTraceFileWriter::CTraceFileWriter(const std::string& strPath) : m_strPath(strPath) {}

HRESULT CTraceFileWriter::Acquire(const std::string& strPath, CTraceFileWriter** ppWriter)
{
    if (ppWriter == nullptr)
        return E_POINTER;
    *ppWriter = nullptr;

    CWriterRegistry& reg = Registry();
    CAutoLock lock(&reg.m_cs);
    size_t iFree = CWriterRegistry::kMaxWriters;
    for (size_t i = 0; i < CWriterRegistry::kMaxWriters; ++i) {
        CTraceFileWriter* p = reg.m_apWriters[i];
        if (p == nullptr) {
            if (iFree == CWriterRegistry::kMaxWriters)
                iFree = i;
        } else if (p->m_strPath == strPath) {
            p->AddRef();
            *ppWriter = p;
            return S_OK;
        }
    }
    if (iFree == CWriterRegistry::kMaxWriters)
        return E_OUTOFMEMORY;  // more distinct trace paths than anyone uses

    CTraceFileWriter* p = new (std::nothrow) CTraceFileWriter(strPath);
    if (p == nullptr)
        return E_OUTOFMEMORY;
    p->m_thread = std::thread(&CTraceFileWriter::FlushThreadProc, p);
    reg.m_apWriters[iFree] = p;
    *ppWriter = p;
    return S_OK;
}

void CTraceFileWriter::AddRef()
{
    m_cRef.fetch_add(1, std::memory_order_relaxed);
}

void CTraceFileWriter::Release()
{
    {
        // The count drops under the registry lock so that Acquire never hands
        // out a writer whose last reference is being released.
        CWriterRegistry& reg = Registry();
        CAutoLock lock(&reg.m_cs);
        if (m_cRef.fetch_sub(1, std::memory_order_acq_rel) > 1)
            return;
        for (CTraceFileWriter*& p : reg.m_apWriters) {
            if (p == this)
                p = nullptr;
        }
    }
    StopFlushThread();
    (void)Flush();  // tracing never fails its caller; a lost flush is lost
    delete this;
}

void CTraceFileWriter::Append(const char* psz, size_t cb)
{
    if (psz == nullptr || cb == 0)
        return;
    CAutoLock lock(&m_csPending);
    const LONG cbAppend = cb > 0x10000000 ? 0x10000000 : static_cast<LONG>(cb);
    if (static_cast<size_t>(m_bufPending.Length()) + cbAppend > 0x40000000)
        return;  // the file has been unwritable for a long time; drop
    (void)m_bufPending.Append(psz, cbAppend);  // out of memory: the line is lost
}

HRESULT CTraceFileWriter::Flush()
{
    CAutoLock lockFile(&m_csFile);
    CBuffer bufWrite;
    {
        CAutoLock lockPending(&m_csPending);
        if (m_bufPending.Length() == 0)
            return S_FALSE;
        HRESULT hr = bufWrite.Append(m_bufPending.Data(), m_bufPending.Length());
        m_bufPending.Empty();
        if (FAILED(hr))
            return hr;
    }
    return AppendToFile(m_strPath, reinterpret_cast<const char*>(bufWrite.Data()),
                        static_cast<size_t>(bufWrite.Length()), &m_bLastCR);
}

HRESULT CTraceFileWriter::AppendToFile(const std::string& strPath, const char* psz, size_t cb,
                                       bool* pbLastCR)
{
    std::string strFile = strPath;
    struct stat st;
    if (stat(strFile.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        if (strFile.empty() || strFile.back() != '/')
            strFile += '/';
        strFile += kDefaultFileName;
    }

    CFd fd(open(strFile.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (fd.Get() < 0)
        return HrFromErrno(errno);

    // Other trace writers (other processes tracing to the same file) hold an
    // exclusive lock while they append; waiting for it keeps the byte-order
    // mark and whole batches from interleaving. A writer that holds it longer
    // than kOpenRetryMs costs us this flush, never the caller's time.
    const auto tStart = std::chrono::steady_clock::now();
    while (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        const int nErr = errno;
        if (nErr == EINTR)
            continue;
        if (nErr != EWOULDBLOCK)
            return HrFromErrno(nErr);
        if (std::chrono::steady_clock::now() - tStart >= std::chrono::milliseconds(kOpenRetryMs))
            return HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    if (fstat(fd.Get(), &st) != 0)
        return HrFromErrno(errno);
    if (st.st_size == 0) {
        // Editors take the file for UTF-8 (our %S output) only with the mark.
        static const char kBom[] = "\xEF\xBB\xBF";
        HRESULT hr = WriteAll(fd.Get(), kBom, 3);
        if (FAILED(hr))
            return hr;
        *pbLastCR = false;
    }

    // Lines carry bare LFs inside (a trailing "\n", TraceHexDump rows); the
    // file is read on systems that want CR LF throughout.
    char chunk[4096];
    size_t cbChunk = 0;
    bool bLastCR = *pbLastCR;
    for (size_t i = 0; i < cb; ++i) {
        const char ch = psz[i];
        if (ch == '\n' && !bLastCR)
            chunk[cbChunk++] = '\r';
        chunk[cbChunk++] = ch;
        bLastCR = ch == '\r';
        if (cbChunk >= sizeof(chunk) - 2) {
            HRESULT hr = WriteAll(fd.Get(), chunk, cbChunk);
            if (FAILED(hr))
                return hr;
            cbChunk = 0;
        }
    }
    *pbLastCR = bLastCR;
    return WriteAll(fd.Get(), chunk, cbChunk);
}

void CTraceFileWriter::SetFlushHookForTest(PFNFLUSHHOOK pfn, void* pvContext)
{
    CFlushHook& hook = FlushHook();
    CAutoLock lock(&hook.m_cs);
    hook.m_pfn = pfn;
    hook.m_pv = pvContext;
}

void CTraceFileWriter::FlushThreadProc()
{
    std::unique_lock<std::mutex> lock(m_mtxStop);
    for (;;) {
        if (m_cvStop.wait_for(lock, std::chrono::milliseconds(kFlushPeriodMs), [this] { return m_bStop; }))
            return;
        lock.unlock();
        (void)Flush();
        {
            CFlushHook& hook = FlushHook();
            CAutoLock lockHook(&hook.m_cs);
            if (hook.m_pfn != nullptr)
                hook.m_pfn(hook.m_pv);
        }
        lock.lock();
    }
}

void CTraceFileWriter::StopFlushThread()
{
    {
        std::lock_guard<std::mutex> lock(m_mtxStop);
        m_bStop = true;
    }
    m_cvStop.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}
