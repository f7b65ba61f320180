#include "platform/xprocrot.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "platform/sync.h"
#include "platform/thread.h"

namespace {

// Packets. A request is [seq][method][body]; a reply [seq][hr][handle
// count][body] followed by that many handle packets (SendHandle). The
// first request of a connection is the hello, naming the moniker the client
// wants; its reply carries the interface id the server offers.
constexpr DWORD kMethodHello = 0xFFFFFFFFu;
constexpr DWORD kHelloMagic = 0x4F52564Bu;  // "KVRO"
constexpr DWORD kHelloVersion = 1;
constexpr size_t kcbMaxPacket = 64 * 1024;
constexpr size_t kcbRequestHeader = 8;
constexpr size_t kcbReplyHeader = 12;
// Far more than any call hands over; a larger count is a broken peer.
constexpr DWORD kMaxHandlesPerReply = 8;

std::atomic<DWORD> g_dwCallTimeoutMs{5000};

DWORD LoadLe32(const BYTE* pb)
{
    return static_cast<DWORD>(pb[0]) | (static_cast<DWORD>(pb[1]) << 8) | (static_cast<DWORD>(pb[2]) << 16) |
           (static_cast<DWORD>(pb[3]) << 24);
}

void StoreLe32(BYTE* pb, DWORD dw)
{
    pb[0] = static_cast<BYTE>(dw);
    pb[1] = static_cast<BYTE>(dw >> 8);
    pb[2] = static_cast<BYTE>(dw >> 16);
    pb[3] = static_cast<BYTE>(dw >> 24);
}

WCHAR FoldCase(WCHAR ch)
{
    return (ch >= u'a' && ch <= u'z') ? static_cast<WCHAR>(ch - u'a' + u'A') : ch;
}

void PutGuid(CWireWriter* pw, const GUID& g)
{
    pw->PutDword(g.Data1);
    pw->PutDword(static_cast<DWORD>(g.Data2) | (static_cast<DWORD>(g.Data3) << 16));
    pw->PutBytes(g.Data4, sizeof(g.Data4));
}

HRESULT GetGuid(CWireReader* pr, GUID* pg)
{
    DWORD dw1 = 0, dw23 = 0;
    (void)pr->GetDword(&dw1);
    (void)pr->GetDword(&dw23);
    HRESULT hr = pr->GetBytes(pg->Data4, sizeof(pg->Data4));
    pg->Data1 = dw1;
    pg->Data2 = static_cast<WORD>(dw23);
    pg->Data3 = static_cast<WORD>(dw23 >> 16);
    return hr;
}

// Registered marshallers. Few and never removed, so lookups copy the
// pointers out under the lock and use them without it.
std::mutex g_csMarshallers;
std::vector<const SInterfaceMarshaller*> g_vMarshallers;

std::vector<const SInterfaceMarshaller*> Marshallers()
{
    std::lock_guard<std::mutex> lock(g_csMarshallers);
    return g_vMarshallers;
}

const SInterfaceMarshaller* FindMarshaller(REFIID iid)
{
    for (const SInterfaceMarshaller* p : Marshallers()) {
        if (p->iid == iid)
            return p;
    }
    return nullptr;
}

class CFd
{
public:
    explicit CFd(int fd = -1) : m_fd(fd) {}
    ~CFd() { Reset(); }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return m_fd; }
    int Detach()
    {
        int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void Reset(int fd = -1)
    {
        if (m_fd >= 0)
            close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

bool MakeAddress(const std::string& strName, sockaddr_un* pAddr, socklen_t* pcb)
{
    memset(pAddr, 0, sizeof(*pAddr));
    pAddr->sun_family = AF_UNIX;
    if (strName.size() + 1 > sizeof(pAddr->sun_path))
        return false;
    // Abstract namespace: a leading zero byte, no file, gone with the socket.
    memcpy(pAddr->sun_path + 1, strName.data(), strName.size());
    *pcb = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + strName.size());
    return true;
}

bool PeerUid(int fd, uid_t* pUid)
{
    ucred cred{};
    socklen_t cb = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &cb) != 0)
        return false;
    *pUid = cred.uid;
    return true;
}

HRESULT SendPacket(int fd, const BYTE* pb, size_t cb, int nFlags)
{
    ssize_t n;
    do {
        n = send(fd, pb, cb, MSG_NOSIGNAL | nFlags);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? RPC_E_TIMEOUT : RPC_E_DISCONNECTED;
    return static_cast<size_t>(n) == cb ? S_OK : RPC_E_DISCONNECTED;
}

// One packet into *pv. S_FALSE when the peer has gone.
HRESULT RecvPacket(int fd, std::vector<BYTE>* pv, int nFlags)
{
    pv->resize(kcbMaxPacket);
    ssize_t n;
    do {
        n = recv(fd, pv->data(), pv->size(), MSG_TRUNC | nFlags);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        pv->clear();
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return RPC_E_TIMEOUT;
        return S_FALSE;
    }
    if (n == 0) {
        pv->clear();
        return S_FALSE;
    }
    if (static_cast<size_t>(n) > kcbMaxPacket) {
        pv->clear();
        return KVMM_E_INVALID_DATA;
    }
    pv->resize(static_cast<size_t>(n));
    return S_OK;
}

// Waits for fd to become ready for ev until the deadline. FALSE on time-out.
bool WaitReady(int fd, short ev, DWORD dwDeadline)
{
    for (;;) {
        pollfd p{fd, ev, 0};
        const DWORD dwLeft = TickDeadlineLeft(dwDeadline, GetTickCount());
        const int n = poll(&p, 1, static_cast<int>(dwLeft));
        if (n > 0)
            return true;  // ready, hung up or in error: the next call says which
        if (n == 0)
            return false;
        if (errno != EINTR)
            return true;
    }
}

// ---------------------------------------------------------------------------
// Serving side

struct SConnSocket
{
    explicit SConnSocket(int fdIn) : fd(fdIn) {}
    ~SConnSocket() { close(fd); }
    const int fd;
};

class CServer
{
public:
    CServer(IUnknown* pObject, const SInterfaceMarshaller* pMarshaller, const CItemMoniker& mk)
        : m_pObject(pObject), m_pMarshaller(pMarshaller), m_mk(mk)
    {
    }
    ~CServer() { Stop(); }

    // S_FALSE when the name is already served (by this or another process).
    HRESULT Start(const std::string& strName)
    {
        sockaddr_un addr;
        socklen_t cb;
        if (!MakeAddress(strName, &addr, &cb))
            return E_INVALIDARG;
        CFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        if (fd.Get() < 0)
            return HrFromErrno(errno);
        if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), cb) != 0)
            return errno == EADDRINUSE ? S_FALSE : HrFromErrno(errno);
        if (listen(fd.Get(), 16) != 0)
            return HrFromErrno(errno);
        CFd fdWake(eventfd(0, EFD_CLOEXEC));
        if (fdWake.Get() < 0)
            return HrFromErrno(errno);
        m_fdListen.Reset(fd.Detach());
        m_fdWake.Reset(fdWake.Detach());
        m_thAccept = std::thread([this] { AcceptLoop(); });
        return S_OK;
    }

    // Stops accepting and ends every connection; calls in progress finish on
    // their own threads.
    void Stop()
    {
        if (m_thAccept.joinable()) {
            const uint64_t one = 1;
            ssize_t n;
            do {
                n = write(m_fdWake.Get(), &one, sizeof(one));
            } while (n < 0 && errno == EINTR);
            m_thAccept.join();
        }
        m_fdListen.Reset();
        std::lock_guard<std::mutex> lock(m_csConns);
        for (auto& w : m_vConns) {
            if (auto p = w.lock())
                shutdown(p->fd, SHUT_RDWR);
        }
        m_vConns.clear();
    }

private:
    void AcceptLoop()
    {
        for (;;) {
            pollfd a[2] = {{m_fdWake.Get(), POLLIN, 0}, {m_fdListen.Get(), POLLIN, 0}};
            const int n = poll(a, 2, -1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 || a[0].revents)
                return;
            if (!(a[1].revents & POLLIN))
                continue;
            const int fd = accept4(m_fdListen.Get(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;  // the client gave up meanwhile, or descriptors ran out
            auto pConn = std::make_shared<SConnSocket>(fd);
            {
                std::lock_guard<std::mutex> lock(m_csConns);
                std::erase_if(m_vConns, [](const std::weak_ptr<SConnSocket>& w) { return w.expired(); });
                m_vConns.push_back(pConn);
            }
            // Detached: the thread owns everything it uses, so Stop never
            // has to wait for a call into the object.
            std::thread(ServeConnection, pConn, m_pObject, m_pMarshaller, m_mk).detach();
        }
    }

    static void ServeConnection(std::shared_ptr<SConnSocket> pConn, CComPtr<IUnknown> pObject,
                                const SInterfaceMarshaller* pMarshaller, CItemMoniker mk)
    {
        const int fd = pConn->fd;
        // A client that connects and says nothing holds its thread no longer
        // than a call would.
        std::vector<BYTE> vIn;
        if (!WaitReady(fd, POLLIN, TickDeadline(GetTickCount(), RemoteCallTimeout())) ||
            RecvPacket(fd, &vIn, MSG_DONTWAIT) != S_OK || vIn.size() < kcbRequestHeader)
            return;
        const DWORD dwSeq = LoadLe32(vIn.data());
        HRESULT hr = S_OK;
        // The refusal answers the hello rather than going ahead of it:
        // closing a socket with an unread request would reset the client's
        // end before it could read why.
        uid_t uid;
        if (!PeerUid(fd, &uid) || uid != geteuid()) {
            hr = E_ACCESSDENIED;
        } else {
            CWireReader r(vIn.data() + kcbRequestHeader, vIn.size() - kcbRequestHeader);
            DWORD dwMagic = 0, dwVersion = 0;
            CWString strDelim, strItem;
            (void)r.GetDword(&dwMagic);
            (void)r.GetDword(&dwVersion);
            (void)r.GetWString(&strDelim);
            if (FAILED(r.GetWString(&strItem)) || LoadLe32(vIn.data() + 4) != kMethodHello ||
                dwMagic != kHelloMagic || dwVersion != kHelloVersion) {
                hr = KVMM_E_INVALID_DATA;
            } else if (!CItemMoniker(strDelim, strItem).IsEqual(mk)) {
                // A hashed socket name shared by two long names.
                hr = MK_E_UNAVAILABLE;
            }
        }
        CStubConnection* pStub = nullptr;
        if (SUCCEEDED(hr)) {
            IUnknown* pItf = nullptr;
            hr = pObject->QueryInterface(pMarshaller->iid, reinterpret_cast<void**>(&pItf));
            if (SUCCEEDED(hr)) {
                hr = pMarshaller->pfnCreateStub(pItf, &pStub);
                if (FAILED(hr))
                    pStub = nullptr;
            }
        }
        CWireWriter w;
        PutGuid(&w, pMarshaller->iid);
        if (FAILED(SendReply(fd, dwSeq, hr, w, {})) || FAILED(hr)) {
            delete pStub;
            return;
        }
        for (;;) {
            if (RecvPacket(fd, &vIn, 0) != S_OK || vIn.size() < kcbRequestHeader)
                break;
            CWireReader r(vIn.data() + kcbRequestHeader, vIn.size() - kcbRequestHeader);
            CWireWriter out;
            std::vector<HANDLE> vHandles;
            const HRESULT hrCall = pStub->Invoke(LoadLe32(vIn.data() + 4), &r, &out, &vHandles);
            const HRESULT hrSend = SendReply(fd, LoadLe32(vIn.data()), hrCall, out, vHandles);
            for (HANDLE h : vHandles) {
                if (h != INVALID_HANDLE_VALUE)
                    CloseHandle(h);
            }
            if (FAILED(hrSend))
                break;
        }
        // The stub undoes what the client left registered with the object.
        delete pStub;
    }

    static HRESULT SendReply(int fd, DWORD dwSeq, HRESULT hr, const CWireWriter& body,
                             const std::vector<HANDLE>& vHandles)
    {
        std::vector<BYTE> v(kcbReplyHeader + body.Bytes().size());
        StoreLe32(v.data(), dwSeq);
        StoreLe32(v.data() + 4, static_cast<DWORD>(hr));
        StoreLe32(v.data() + 8, static_cast<DWORD>(vHandles.size()));
        if (!body.Bytes().empty())
            memcpy(v.data() + kcbReplyHeader, body.Bytes().data(), body.Bytes().size());
        if (v.size() > kcbMaxPacket)
            return SendReply(fd, dwSeq, RPC_E_SERVERFAULT, CWireWriter(), {});
        HRESULT hrSend = SendPacket(fd, v.data(), v.size(), 0);
        for (size_t i = 0; i < vHandles.size() && SUCCEEDED(hrSend); ++i) {
            hrSend = SendHandle(fd, vHandles[i]);
        }
        return hrSend;
    }

    CComPtr<IUnknown> m_pObject;
    const SInterfaceMarshaller* const m_pMarshaller;
    const CItemMoniker m_mk;
    CFd m_fdListen;
    CFd m_fdWake;
    std::thread m_thAccept;
    std::mutex m_csConns;
    std::vector<std::weak_ptr<SConnSocket>> m_vConns;
};

}  // namespace

// ---------------------------------------------------------------------------
// Registry and settings

void SetRemoteCallTimeout(DWORD dwMs)
{
    g_dwCallTimeoutMs.store(dwMs, std::memory_order_relaxed);
}

DWORD RemoteCallTimeout()
{
    return g_dwCallTimeoutMs.load(std::memory_order_relaxed);
}

namespace {

CCrossProcessObjectTable& ProcessTable()
{
    // Never destroyed, like the in-process table: registrations may outlive
    // static destruction.
    static CCrossProcessObjectTable* s_pTable = new CCrossProcessObjectTable;
    return *s_pTable;
}

}  // namespace

void RegisterInterfaceMarshaller(const SInterfaceMarshaller* p)
{
    bool bFirst;
    {
        std::lock_guard<std::mutex> lock(g_csMarshallers);
        for (const SInterfaceMarshaller* q : g_vMarshallers) {
            if (q == p)
                return;
        }
        bFirst = g_vMarshallers.empty();
        g_vMarshallers.push_back(p);
    }
    if (bFirst)
        (void)SetRunningObjectTable(&ProcessTable());
}

std::string ObjectTableSocketName(unsigned uid, const CItemMoniker& mk)
{
    CWString strFolded = mk.DisplayName();
    for (WCHAR& ch : strFolded)
        ch = FoldCase(ch);
    const std::string strPrefix = "kvudpsrc-rot/" + std::to_string(uid) + "/";
    std::string strName = strPrefix + WideToUtf8(strFolded);
    if (strName.size() + 1 <= sizeof(sockaddr_un::sun_path))
        return strName;
    // Too long for a socket name: a hash stands in, and the hello's full
    // name tells two names with one hash apart.
    uint64_t h = 14695981039346656037ull;
    for (WCHAR ch : strFolded) {
        h = (h ^ static_cast<BYTE>(ch)) * 1099511628211ull;
        h = (h ^ static_cast<BYTE>(ch >> 8)) * 1099511628211ull;
    }
    char sz[24];
    snprintf(sz, sizeof(sz), "#%016llx", static_cast<unsigned long long>(h));
    return strPrefix + sz;
}

// ---------------------------------------------------------------------------
// Client side

class CRemoteChannel::CImpl
{
public:
    explicit CImpl(int fd) : m_fd(fd) { m_evIdle.Set(); }

    HRESULT Call(DWORD dwMethod, const CWireWriter& in, HRESULT* phrCall, CWireReader* pOut, HANDLE* phHandles,
                 DWORD cHandles)
    {
        for (DWORD i = 0; i < cHandles; ++i)
            phHandles[i] = INVALID_HANDLE_VALUE;
        *phrCall = E_FAIL;
        const DWORD dwTimeout = RemoteCallTimeout();
        const DWORD dwDeadline = TickDeadline(GetTickCount(), dwTimeout);
        // Another caller's call counts against this caller's time-out.
        if (WaitForSingleObject(m_evIdle, dwTimeout) != WAIT_OBJECT_0)
            return RPC_E_TIMEOUT;
        struct SIdleAgain
        {
            ~SIdleAgain() { m_ev.Set(); }
            CAMEvent& m_ev;
        } idleAgain{m_evIdle};
        if (m_bBroken)
            return RPC_E_DISCONNECTED;
        if (in.Bytes().size() + kcbRequestHeader > kcbMaxPacket)
            return E_INVALIDARG;

        const DWORD dwSeq = ++m_dwSeq;
        std::vector<BYTE> v(kcbRequestHeader + in.Bytes().size());
        StoreLe32(v.data(), dwSeq);
        StoreLe32(v.data() + 4, dwMethod);
        if (!in.Bytes().empty())
            memcpy(v.data() + kcbRequestHeader, in.Bytes().data(), in.Bytes().size());
        if (!WaitReady(m_fd.Get(), POLLOUT, dwDeadline))
            return RPC_E_TIMEOUT;
        HRESULT hr = SendPacket(m_fd.Get(), v.data(), v.size(), MSG_DONTWAIT);
        if (hr == RPC_E_DISCONNECTED) {
            // A server that answered and hung up at once (a refusal) left
            // its answer to be read; without one, the read below fails.
            m_bBroken = true;
        } else if (FAILED(hr)) {
            return hr;
        }

        for (;;) {
            if (!WaitReady(m_fd.Get(), POLLIN, dwDeadline))
                return RPC_E_TIMEOUT;
            if (m_cHandlesToSkip > 0) {
                // What is left of a reply that a timed-out call gave up on.
                HANDLE h = INVALID_HANDLE_VALUE;
                hr = ReceiveHandle(m_fd.Get(), &h);
                if (FAILED(hr))
                    return Broken();
                CloseHandle(h);
                --m_cHandlesToSkip;
                continue;
            }
            hr = RecvPacket(m_fd.Get(), &v, MSG_DONTWAIT);
            if (hr == RPC_E_TIMEOUT)
                continue;
            if (hr != S_OK || v.size() < kcbReplyHeader)
                return Broken();
            const DWORD cGot = LoadLe32(v.data() + 8);
            if (cGot > kMaxHandlesPerReply)
                return Broken();
            if (LoadLe32(v.data()) != dwSeq) {
                m_cHandlesToSkip = cGot;
                continue;
            }
            *phrCall = static_cast<HRESULT>(LoadLe32(v.data() + 4));
            pOut->Assign(v.data() + kcbReplyHeader, v.size() - kcbReplyHeader);
            for (DWORD i = 0; i < cGot; ++i) {
                if (!WaitReady(m_fd.Get(), POLLIN, dwDeadline)) {
                    m_cHandlesToSkip = cGot - i;
                    CloseReceived(phHandles, cHandles);
                    return RPC_E_TIMEOUT;
                }
                HANDLE h = INVALID_HANDLE_VALUE;
                hr = ReceiveHandle(m_fd.Get(), &h);
                if (FAILED(hr)) {
                    CloseReceived(phHandles, cHandles);
                    return Broken();
                }
                if (i < cHandles)
                    phHandles[i] = h;
                else
                    CloseHandle(h);
            }
            return S_OK;
        }
    }

private:
    HRESULT Broken()
    {
        // Out of step or gone: nothing later on this connection can be
        // trusted, so every later call fails at once.
        m_bBroken = true;
        shutdown(m_fd.Get(), SHUT_RDWR);
        return RPC_E_DISCONNECTED;
    }

    static void CloseReceived(HANDLE* ph, DWORD c)
    {
        for (DWORD i = 0; i < c; ++i) {
            if (ph[i] != INVALID_HANDLE_VALUE)
                CloseHandle(ph[i]);
            ph[i] = INVALID_HANDLE_VALUE;
        }
    }

    CFd m_fd;
    // Set while no call is in progress; whoever takes it owns everything
    // below. A timed wait, so that a call stuck behind another still ends at
    // its own time-out.
    CAMEvent m_evIdle;
    DWORD m_dwSeq = 0;
    DWORD m_cHandlesToSkip = 0;
    bool m_bBroken = false;
};

CRemoteChannel::CRemoteChannel(int fdSocket) : m_pImpl(new (std::nothrow) CImpl(fdSocket)) {}

CRemoteChannel::~CRemoteChannel()
{
    delete m_pImpl;
}

ULONG CRemoteChannel::AddRef()
{
    return m_cRef.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG CRemoteChannel::Release()
{
    const ULONG c = m_cRef.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (c == 0)
        delete this;
    return c;
}

HRESULT CRemoteChannel::Call(DWORD dwMethod, const CWireWriter& in, HRESULT* phrCall, CWireReader* pOut,
                             HANDLE* phHandles, DWORD cHandles)
{
    if (!phrCall || !pOut || (cHandles && !phHandles))
        return E_POINTER;
    if (!m_pImpl)
        return E_OUTOFMEMORY;
    return m_pImpl->Call(dwMethod, in, phrCall, pOut, phHandles, cHandles);
}

// ---------------------------------------------------------------------------
// The table

class CCrossProcessObjectTable::CImpl
{
public:
    CInProcessObjectTable m_local;
    std::mutex m_cs;
    struct SServed
    {
        DWORD dwCookie;
        std::unique_ptr<CServer> pServer;
    };
    std::vector<SServed> m_vServed;  // guarded by m_cs

    // A connected, non-blocking socket to the server of mk, or -1 with
    // *phr set.
    static int Connect(unsigned uid, const CItemMoniker& mk, HRESULT* phr)
    {
        sockaddr_un addr;
        socklen_t cb;
        if (!MakeAddress(ObjectTableSocketName(uid, mk), &addr, &cb)) {
            *phr = MK_E_UNAVAILABLE;
            return -1;
        }
        CFd fd(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (fd.Get() < 0) {
            *phr = HrFromErrno(errno);
            return -1;
        }
        int n;
        do {
            n = connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), cb);
        } while (n != 0 && errno == EINTR);
        if (n != 0) {
            // EAGAIN: the server's backlog is full, it does not accept.
            *phr = errno == EAGAIN ? RPC_E_TIMEOUT : MK_E_UNAVAILABLE;
            return -1;
        }
        *phr = S_OK;
        return fd.Detach();
    }
};

CCrossProcessObjectTable::CCrossProcessObjectTable() : m_pImpl(new CImpl) {}

CCrossProcessObjectTable::~CCrossProcessObjectTable()
{
    std::vector<CImpl::SServed> v;
    {
        std::lock_guard<std::mutex> lock(m_pImpl->m_cs);
        v.swap(m_pImpl->m_vServed);
    }
    v.clear();  // stops the servers before the local table releases the objects
    delete m_pImpl;
}

HRESULT CCrossProcessObjectTable::Register(DWORD grfFlags, IUnknown* pUnk, const CItemMoniker& mk, DWORD* pdwCookie)
{
    HRESULT hr = m_pImpl->m_local.Register(grfFlags, pUnk, mk, pdwCookie);
    if (FAILED(hr))
        return hr;
    for (const SInterfaceMarshaller* pMarshaller : Marshallers()) {
        IUnknown* pItf = nullptr;
        if (FAILED(pUnk->QueryInterface(pMarshaller->iid, reinterpret_cast<void**>(&pItf))))
            continue;
        pItf->Release();
        std::unique_ptr<CServer> pServer(new (std::nothrow) CServer(pUnk, pMarshaller, mk));
        hr = pServer ? pServer->Start(ObjectTableSocketName(geteuid(), mk)) : E_OUTOFMEMORY;
        if (hr == S_OK) {
            std::lock_guard<std::mutex> lock(m_pImpl->m_cs);
            m_pImpl->m_vServed.push_back({*pdwCookie, std::move(pServer)});
        } else if (FAILED(hr)) {
            (void)m_pImpl->m_local.Revoke(*pdwCookie);
            *pdwCookie = 0;
            return hr;
        }
        break;
    }
    return S_OK;
}

HRESULT CCrossProcessObjectTable::Revoke(DWORD dwCookie)
{
    std::unique_ptr<CServer> pServer;
    {
        std::lock_guard<std::mutex> lock(m_pImpl->m_cs);
        for (auto it = m_pImpl->m_vServed.begin(); it != m_pImpl->m_vServed.end(); ++it) {
            if (it->dwCookie == dwCookie) {
                pServer = std::move(it->pServer);
                m_pImpl->m_vServed.erase(it);
                break;
            }
        }
    }
    pServer.reset();
    return m_pImpl->m_local.Revoke(dwCookie);
}

HRESULT CCrossProcessObjectTable::IsRunning(const CItemMoniker& mk)
{
    if (m_pImpl->m_local.IsRunning(mk) == S_OK)
        return S_OK;
    HRESULT hr;
    CFd fd(CImpl::Connect(geteuid(), mk, &hr));
    return fd.Get() >= 0 || hr == RPC_E_TIMEOUT ? S_OK : S_FALSE;
}

HRESULT CCrossProcessObjectTable::GetObject(const CItemMoniker& mk, IUnknown** ppUnk)
{
    if (!ppUnk)
        return E_POINTER;
    *ppUnk = nullptr;
    HRESULT hr = m_pImpl->m_local.GetObject(mk, ppUnk);
    if (hr != MK_E_UNAVAILABLE)
        return hr;
    return ConnectToObject(geteuid(), mk, ppUnk);
}

HRESULT CCrossProcessObjectTable::ConnectToObject(unsigned uid, const CItemMoniker& mk, IUnknown** ppUnk)
{
    if (!ppUnk)
        return E_POINTER;
    *ppUnk = nullptr;
    HRESULT hr;
    const int fd = CImpl::Connect(uid, mk, &hr);
    if (fd < 0)
        return hr;
    CRemoteChannel* pChannel = new (std::nothrow) CRemoteChannel(fd);
    if (!pChannel) {
        close(fd);
        return E_OUTOFMEMORY;
    }
    CWireWriter w;
    w.PutDword(kHelloMagic);
    w.PutDword(kHelloVersion);
    w.PutWString(mk.Delimiter());
    w.PutWString(mk.Item());
    HRESULT hrCall;
    CWireReader r;
    hr = pChannel->Call(kMethodHello, w, &hrCall, &r, nullptr, 0);
    if (SUCCEEDED(hr))
        hr = hrCall;
    // The server's refusal first, then ours: a name held by a process of
    // another user is not ours to talk to.
    uid_t uidServer;
    if (SUCCEEDED(hr) && (!PeerUid(fd, &uidServer) || uidServer != geteuid()))
        hr = E_ACCESSDENIED;
    IID iid{};
    if (SUCCEEDED(hr))
        hr = GetGuid(&r, &iid);
    const SInterfaceMarshaller* pMarshaller = SUCCEEDED(hr) ? FindMarshaller(iid) : nullptr;
    if (SUCCEEDED(hr) && !pMarshaller)
        hr = E_NOINTERFACE;
    if (SUCCEEDED(hr))
        hr = pMarshaller->pfnCreateProxy(pChannel, ppUnk);
    pChannel->Release();
    if (FAILED(hr))
        *ppUnk = nullptr;
    return hr;
}
