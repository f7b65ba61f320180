#include "dshowflt/mpegdemux/kvudpsrc/net/socket.h"

#include "platform/thread.h"

#include <arpa/inet.h>
#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "dshowflt/common/trace/trace.h"
#include "dshowflt/mpegdemux/kvudpsrc/net/netaddr.h"

namespace {

// The largest UDP payload over IPv4: 65535 - 20 (IP header) - 8 (UDP
// header). POSIX has no option that reports it, so it stands in for the
// original's per-socket maximum message size.
constexpr DWORD kMaxUdpPayload = 65507;
// A stream socket has no message size; this is how much one read asks for.
constexpr DWORD kTcpReadSize = 65536;
constexpr int kRecvTimeoutMs = 500;
// setsockopt takes an int, which the kernel doubles.
constexpr DWORD kMaxSocketBuffer = 1u << 30;

thread_local DWORD t_dwLastError = 0;

// Maps errno, records it as the thread's socket error and returns its
// HRESULT form.
HRESULT SocketError(int nErrno)
{
    DWORD dw = Win32FromErrno(nErrno, true);
    t_dwLastError = dw;
    return HRESULT_FROM_WIN32(dw);
}

int PollTimeout(DWORD dwMs)
{
    if (dwMs == INFINITE)
        return -1;
    return dwMs > static_cast<DWORD>(INT_MAX) ? INT_MAX : static_cast<int>(dwMs);
}

}  // namespace

DWORD WSAGetLastError() { return t_dwLastError; }
void WSASetLastError(DWORD dwError) { t_dwLastError = dwError; }

//
// CSocketHelper
//

HRESULT CSocketHelper::SelectEvents(LONG lEvents)
{
    int nFlags = fcntl(m_socket, F_GETFL);
    if (nFlags < 0 || fcntl(m_socket, F_SETFL, nFlags | O_NONBLOCK) < 0)
        return SocketError(errno);
    m_bEventsSelected = true;
    m_lSelectedEvents = lEvents;
    // Reselecting re-enables every selected event, as on the original.
    m_lArmedEvents = lEvents & (FD_READ | FD_CLOSE | FD_CONNECT);
    return S_OK;
}

void CSocketHelper::ResetEvents()
{
    m_lSelectedEvents = 0;
    m_lArmedEvents = 0;
    m_bConnectPending = false;
}

INT CSocketHelper::GetEventError(int nBit) const
{
    if (nBit < 0 || nBit >= FD_MAX_EVENTS)
        return static_cast<INT>(WSAEINVAL);
    return m_networkEvents.iErrorCode[nBit];
}

// Signed difference, so that a deadline beyond the tick count's wrap still
// counts as ahead.
static DWORD MsUntil(DWORD dwDeadline)
{
    LONG lLeft = static_cast<LONG>(dwDeadline - GetTickCount());
    return lLeft > 0 ? static_cast<DWORD>(lLeft) : 0;
}

DWORD CSocketHelper::TimeLeft(DWORD dwDeadline)
{
    return dwDeadline == INFINITE ? INFINITE : MsUntil(dwDeadline);
}

short CSocketHelper::PollEvents() const
{
    if (m_bConnectPending)
        return (m_lArmedEvents & FD_CONNECT) ? POLLOUT : 0;
    short nEvents = 0;
    if (m_lArmedEvents & FD_READ)
        nEvents |= POLLIN;
    // A stream peer that shut down its side shows as POLLRDHUP; asking only
    // for that (and not POLLIN) keeps waiting for the close from waking on
    // data that nobody reads yet.
    if (!m_bDatagramSocket && (m_lArmedEvents & FD_CLOSE))
        nEvents |= POLLRDHUP;
    return nEvents;
}

HRESULT CSocketHelper::EnumNetworkEvents(short nRevents)
{
    m_networkEvents = {};
    if (nRevents & POLLNVAL)
        return SocketError(ENOTSOCK);

    if (m_bConnectPending) {
        if (!(nRevents & (POLLOUT | POLLERR | POLLHUP)))
            return S_OK;
        // A finished non-blocking connect reports its outcome through
        // SO_ERROR: 0 when connected, else why it failed.
        int nErr = 0;
        socklen_t cbErr = sizeof(nErr);
        if (getsockopt(m_socket, SOL_SOCKET, SO_ERROR, &nErr, &cbErr) < 0)
            return SocketError(errno);
        m_bConnectPending = false;
        m_lArmedEvents &= ~FD_CONNECT;
        m_networkEvents.lNetworkEvents |= FD_CONNECT;
        m_networkEvents.iErrorCode[FD_CONNECT_BIT] = static_cast<INT>(Win32FromErrno(nErr, true));
        // The original reports room to write together with a connection.
        if (nErr == 0 && (m_lSelectedEvents & FD_WRITE))
            m_networkEvents.lNetworkEvents |= FD_WRITE;
        return S_OK;
    }

    if (m_bDatagramSocket) {
        // A pending error (an ICMP report) is left for recv to return, as the
        // original does.
        if ((nRevents & (POLLIN | POLLERR)) && (m_lArmedEvents & FD_READ)) {
            m_networkEvents.lNetworkEvents |= FD_READ;
            m_lArmedEvents &= ~FD_READ;
        }
        return S_OK;
    }

    // Stream socket: readable data is FD_READ; a zero-length read, a
    // shut-down peer, a hang-up or an error is FD_CLOSE.
    bool bRead = false;
    bool bClose = false;
    INT nCloseError = 0;
    BYTE b;
    ssize_t n = recv(m_socket, &b, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
        bRead = true;
        bClose = (nRevents & (POLLRDHUP | POLLHUP)) != 0;
    } else if (n == 0) {
        bClose = true;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        bClose = true;
        nCloseError = static_cast<INT>(Win32FromErrno(errno, true));
    }
    if (bRead && (m_lArmedEvents & FD_READ)) {
        m_networkEvents.lNetworkEvents |= FD_READ;
        m_lArmedEvents &= ~FD_READ;
    }
    if (bClose) {
        if (m_lArmedEvents & FD_CLOSE) {
            m_networkEvents.lNetworkEvents |= FD_CLOSE;
            m_networkEvents.iErrorCode[FD_CLOSE_BIT] = nCloseError;
            m_lArmedEvents &= ~FD_CLOSE;
        } else if (m_lArmedEvents & FD_READ) {
            // The close was reported before; a reader still waiting is let
            // through so that its recv sees the end of the stream.
            m_networkEvents.lNetworkEvents |= FD_READ;
            m_lArmedEvents &= ~FD_READ;
        }
    }
    return S_OK;
}

int CSocketHelper::WaitForEvent(HANDLE hCancel, DWORD dwTimeoutMs, LONG lMask, HRESULT* phr)
{
    if (!m_bEventsSelected) {
        // Nothing to wait on: the original fails the same way on a missing
        // event handle.
        if (phr)
            *phr = SocketError(EINVAL);
        return WAITEVENT_FAILED;
    }
    const bool bDeadline = dwTimeoutMs != INFINITE;
    const DWORD dwDeadline = GetTickCount() + dwTimeoutMs;

    for (;;) {
        // Not TimeLeft: a deadline that happens to be all ones is still one.
        DWORD dwLeft = bDeadline ? MsUntil(dwDeadline) : INFINITE;
        pollfd afd[2] = {};
        // Nothing armed: leave the socket out, or poll's unconditional
        // hang-up report would wake this wait over and over.
        short nEvents = m_socket == INVALID_SOCKET ? 0 : PollEvents();
        afd[0].fd = nEvents ? m_socket : -1;
        afd[0].events = nEvents;
        nfds_t cfd = 1;
        if (hCancel != INVALID_HANDLE_VALUE) {
            afd[1].fd = hCancel;
            afd[1].events = POLLIN;
            cfd = 2;
        }
        int nReady = poll(afd, cfd, PollTimeout(dwLeft));
        if (nReady < 0) {
            if (errno == EINTR)
                continue;
            HRESULT hr = SocketError(errno);
            if (phr)
                *phr = hr;
            return WAITEVENT_FAILED;
        }
        if (nReady == 0) {
            if (bDeadline && MsUntil(dwDeadline) > 0)
                continue;  // poll's clock rounds; the deadline is the tick count's
            t_dwLastError = WSAETIMEDOUT;
            return WAITEVENT_TIMEOUT;
        }
        // The socket comes first, as the lower index of the original's
        // multi-event wait does.
        if (afd[0].revents) {
            HRESULT hr = EnumNetworkEvents(afd[0].revents);
            if (FAILED(hr)) {
                if (phr)
                    *phr = hr;
                return WAITEVENT_FAILED;
            }
            LONG lOccurred = m_networkEvents.lNetworkEvents;
            if (lOccurred & lMask) {
                // The error of the lowest bit of the mask, as the original
                // reads it (the masks used name a single event).
                int nBit = __builtin_ctz(static_cast<unsigned>(lMask));
                INT nErr = nBit < FD_MAX_EVENTS ? m_networkEvents.iErrorCode[nBit] : 0;
                if (nErr == 0) {
                    m_bCancelSetAtWait = cfd == 2 && afd[1].revents != 0;
                    return WAITEVENT_OK;
                }
                if (phr)
                    *phr = HRESULT_FROM_WIN32(static_cast<DWORD>(nErr));
                return WAITEVENT_FAILED;
            }
            if (lOccurred & FD_CLOSE)
                return WAITEVENT_CLOSED;
            continue;  // something else happened; the deadline still holds
        }
        if (cfd == 2 && (afd[1].revents & POLLNVAL)) {
            // A cancel handle that is not open: the wait itself failed.
            t_dwLastError = ERROR_INVALID_HANDLE;  // WSA_INVALID_HANDLE
            if (phr)
                *phr = HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE);
            return WAITEVENT_FAILED;
        }
        if (cfd == 2 && afd[1].revents) {
            // The command event of the receive thread is manual-reset and is
            // reset by whoever answers the command, so seeing it set must not
            // consume it.
            t_dwLastError = WSAEINTR;
            return WAITEVENT_CANCELLED;
        }
    }
}

//
// CSocket
//

CSocket::~CSocket()
{
    CSocket::CloseSocket(TRUE);
}

HRESULT CSocket::SetAddress(DWORD dwAddress, WORD wPort, DWORD dwInterfaceAddress,
                            BOOL bDatagram, BOOL bReuseAddress)
{
    m_dwAddress = dwAddress;
    m_wPort = wPort;
    m_dwInterfaceAddress = dwInterfaceAddress;
    m_bDatagram = bDatagram;
    m_bReuseAddress = bReuseAddress;
    return S_OK;
}

HRESULT CSocket::Fail(HRESULT hr)
{
    CloseSocket(TRUE);
    return hr;
}

void CSocket::SetReceiveBufferSize(int cbWanted)
{
    // The kernel caps SO_RCVBUF at net.core.rmem_max (often 208 KB), which
    // loses packets at high bit rates without a word. A privileged process
    // may go past the cap with SO_RCVBUFFORCE; otherwise ask normally and
    // say what was granted, so that a small buffer shows in the trace.
    if (setsockopt(m_socket, SOL_SOCKET, SO_RCVBUFFORCE, &cbWanted, sizeof(cbWanted)) < 0 &&
        setsockopt(m_socket, SOL_SOCKET, SO_RCVBUF, &cbWanted, sizeof(cbWanted)) < 0) {
        Trace("\nCSocket::OpenSocketHelper: setsockopt(SO_RCVBUF, %d) failed %s", cbWanted,
              TraceHr(SocketError(errno)));
        return;
    }
    int cbGranted = 0;
    socklen_t cb = sizeof(cbGranted);
    if (getsockopt(m_socket, SOL_SOCKET, SO_RCVBUF, &cbGranted, &cb) < 0)
        return;
    m_cbSocketBufferGranted.store(static_cast<DWORD>(cbGranted / 2), std::memory_order_relaxed);
    // Linux reports twice the usable size (it counts its bookkeeping).
    Trace("\nCSocket::OpenSocketHelper: receive buffer %s asked, %s granted%s",
          TraceBytes(cbWanted), TraceBytes(cbGranted / 2),
          cbGranted / 2 < cbWanted ? " (raise net.core.rmem_max to avoid losses)" : "");
}

HRESULT CSocket::OpenSocketHelper(BOOL bCreateBuffer, BOOL bConnect, DWORD dwTimeoutMs)
{
    CloseSocket(bCreateBuffer);

    m_bMulticast = IsMulticastAddress(m_dwAddress);
    m_sockAddr = {};
    m_sockAddr.sin_family = AF_INET;
    m_sockAddr.sin_port = m_wPort;
    m_sockAddr.sin_addr.s_addr = (m_bDatagram && m_bMulticast) ? INADDR_ANY : m_dwAddress;
    // A multicast TCP address makes no sense; only UDP joins.
    if (!m_bDatagram)
        m_bMulticast = FALSE;

    // No socket library to start on POSIX.
    m_socket = socket(AF_INET, (m_bDatagram ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC,
                      m_bDatagram ? IPPROTO_UDP : IPPROTO_TCP);
    if (m_socket < 0) {
        m_socket = INVALID_SOCKET;
        return SocketError(errno);
    }
    m_bDatagramSocket = m_bDatagram != FALSE;
    m_dwMaxMsgSize = m_bDatagram ? kMaxUdpPayload : kTcpReadSize;

    timeval tv = {kRecvTimeoutMs / 1000, (kRecvTimeoutMs % 1000) * 1000};
    if (setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) < 0)
        return Fail(SocketError(errno));

    // Room for a burst while the receive thread writes to disk: at 2 Gbit/s
    // the default 8 MiB lasts 30 ms.
    m_cbSocketBufferGranted.store(0, std::memory_order_relaxed);
    const DWORD cbWanted = GetReceiveBufferRequest();
    SetReceiveBufferSize(static_cast<int>(cbWanted > kMaxSocketBuffer ? kMaxSocketBuffer : cbWanted));

    // Each datagram then carries the count of datagrams the kernel dropped
    // on this socket so far: loss is counted, not silent.
    m_dwDropCounter = 0;
    m_hrDeferred = S_OK;
    if (bCreateBuffer)
        m_llDroppedDatagrams.store(0, std::memory_order_relaxed);
    if (m_bDatagram) {
        int nOne = 1;
        if (setsockopt(m_socket, SOL_SOCKET, SO_RXQ_OVFL, &nOne, sizeof(nOne)) < 0)
            Trace("\nCSocket::OpenSocketHelper: setsockopt(SO_RXQ_OVFL) failed %s", TraceHr(SocketError(errno)));
    }

    if (m_bReuseAddress) {
        int nOne = 1;
        if (setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof(nOne)) < 0)
            Trace("\nCSocket::OpenSocketHelper: setsockopt(SO_REUSEADDR) failed %s",
                  TraceHr(SocketError(errno)));
    }

    if (bCreateBuffer) {
        // A batch of datagrams lands in slots of the maximum size; only the
        // pages that datagrams reach are ever touched.
        m_cbRecvBuffer = (m_bDatagram ? CRecvBatch::kMaxDatagrams : 40) * m_dwMaxMsgSize;
        if (FAILED(Reserve(static_cast<LONG>(m_cbRecvBuffer))))
            return Fail(E_OUTOFMEMORY);
    }

    if (m_bDatagram) {
        if (bind(m_socket, reinterpret_cast<const sockaddr*>(&m_sockAddr), sizeof(m_sockAddr)) < 0)
            return Fail(SocketError(errno));
        if (m_bMulticast) {
            m_mreq.imr_multiaddr.s_addr = m_dwAddress;
            m_mreq.imr_interface.s_addr = m_dwInterfaceAddress;
            if (setsockopt(m_socket, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m_mreq, sizeof(m_mreq)) < 0)
                return Fail(SocketError(errno));
            // Linux hands a socket bound to the any-address the datagrams of
            // every group that any socket of the host joined on this port.
            // A source must see only its own group (two sources on one port
            // would otherwise interleave two streams), so turn that off.
            int nZero = 0;
            if (setsockopt(m_socket, IPPROTO_IP, IP_MULTICAST_ALL, &nZero, sizeof(nZero)) < 0)
                Trace("\nCSocket::OpenSocketHelper: setsockopt(IP_MULTICAST_ALL, 0) failed %s",
                      TraceHr(SocketError(errno)));
            if (m_bMulticastTTL) {
                int nTTL = m_bMulticastTTL;
                if (setsockopt(m_socket, IPPROTO_IP, IP_MULTICAST_TTL, &nTTL, sizeof(nTTL)) < 0)
                    Trace("\n CSocket.OpenSocketHelper: setsockopt(IP_MULTICAST_TTL, %d) failed %s",
                          nTTL, TraceHr(SocketError(errno)));
                else
                    Trace("\n CSocket.OpenSocketHelper: setsockopt(IP_MULTICAST_TTL, %d) SUCCEEDED",
                          nTTL);
            }
        }
    } else if (bConnect) {
        if (dwTimeoutMs) {
            HRESULT hr = SelectEvents(FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE);
            if (FAILED(hr))
                return Fail(hr);
            if (connect(m_socket, reinterpret_cast<const sockaddr*>(&m_sockAddr),
                        sizeof(m_sockAddr)) < 0) {
                hr = SocketError(errno);
                if (hr != HRESULT_FROM_WIN32(WSAEWOULDBLOCK))
                    return Fail(hr);
                m_bConnectPending = true;
                HRESULT hrWait = S_OK;
                int nWait = WaitForEvent(INVALID_HANDLE_VALUE, dwTimeoutMs, FD_CONNECT, &hrWait);
                const HRESULT hrTimedOut = HRESULT_FROM_WIN32(WSAETIMEDOUT);
                if (nWait == WAITEVENT_TIMEOUT || hrWait == hrTimedOut)
                    return Fail(hrTimedOut);
                if (nWait != WAITEVENT_OK) {
                    if (SUCCEEDED(hrWait))
                        hrWait = HRESULT_FROM_WIN32(WSAGetLastError() ? WSAGetLastError()
                                                                     : WSAECONNABORTED);
                    return Fail(hrWait);
                }
            }
        } else if (connect(m_socket, reinterpret_cast<const sockaddr*>(&m_sockAddr),
                           sizeof(m_sockAddr)) < 0) {
            return Fail(SocketError(errno));
        }
        DisplaySocketInfo(m_socket);
    }

    HRESULT hr = SelectEvents(FD_READ | FD_WRITE | FD_CLOSE);
    if (FAILED(hr))
        return Fail(hr);
    return S_OK;
}

HRESULT CSocket::OpenSocket(BOOL bCreateBuffer, BOOL bConnect, DWORD dwTimeoutMs)
{
    if (!bConnect || !dwTimeoutMs)
        return OpenSocketHelper(bCreateBuffer, bConnect, dwTimeoutMs);
    const DWORD dwStart = GetTickCount();
    HRESULT hr = OpenSocketHelper(bCreateBuffer, bConnect, dwTimeoutMs);
    while (hr == HRESULT_FROM_WIN32(WSAETIMEDOUT)) {
        DWORD dwElapsed = GetTickCount() - dwStart;
        if (dwElapsed >= dwTimeoutMs)
            break;
        hr = OpenSocketHelper(bCreateBuffer, bConnect, dwTimeoutMs - dwElapsed);
    }
    return hr;
}

void CSocket::CloseSocket(BOOL bFreeBuffer)
{
    if (m_socket == INVALID_SOCKET)
        return;
    if (m_bMulticast)
        (void)setsockopt(m_socket, IPPROTO_IP, IP_DROP_MEMBERSHIP, &m_mreq, sizeof(m_mreq));
    close(m_socket);
    m_socket = INVALID_SOCKET;
    ResetEvents();
    if (bFreeBuffer) {
        m_dwMaxMsgSize = kClosedMaxMsgSize;
        Empty();
    }
}

HRESULT CSocket::MyRecv(BYTE* pb, LONG cb, LONG* pcbReceived)
{
    if (!pcbReceived || (!pb && cb > 0))
        return E_POINTER;
    CAutoLock lock(&m_csRecv);
    if (m_socket == INVALID_SOCKET)
        return SocketError(ENOTSOCK);
    // A read re-enables FD_READ, as on the original.
    m_lArmedEvents |= m_lSelectedEvents & FD_READ;
    // MSG_TRUNC makes a datagram larger than the buffer visible: the original
    // fails such a read with WSAEMSGSIZE, Linux would cut it silently.
    int nFlags = m_bDatagramSocket ? MSG_TRUNC : 0;
    ssize_t n = recv(m_socket, pb, static_cast<size_t>(cb < 0 ? 0 : cb), nFlags);
    if (n < 0)
        return SocketError(errno);
    if (n == 0 && !m_bDatagramSocket) {
        t_dwLastError = WSAECONNRESET;
        return HRESULT_FROM_WIN32(WSAECONNRESET);
    }
    if (n > cb) {
        *pcbReceived = cb;
        t_dwLastError = WSAEMSGSIZE;
        return HRESULT_FROM_WIN32(WSAEMSGSIZE);
    }
    *pcbReceived = static_cast<LONG>(n);
    return S_OK;
}

HRESULT CSocket::MyRecv(CRecvBatch* pBatch, int nMax)
{
    if (!pBatch)
        return E_POINTER;
    pBatch->nCount = 0;
    pBatch->bDrained = false;
    if (nMax > CRecvBatch::kMaxDatagrams)
        nMax = CRecvBatch::kMaxDatagrams;
    const LONG cbSlot = static_cast<LONG>(m_dwMaxMsgSize);
    if (!m_bDatagramSocket || nMax <= 1 || Capacity() < 2 * cbSlot) {
        LONG cb = 0;
        HRESULT hr = MyRecv(Data(), cbSlot, &cb);
        if (FAILED(hr))
            return hr;
        pBatch->apData[0] = Data();
        pBatch->acbData[0] = cb;
        pBatch->abAfterDrop[0] = false;
        pBatch->nCount = 1;
        return S_OK;
    }
    CAutoLock lock(&m_csRecv);
    if (FAILED(m_hrDeferred)) {
        const HRESULT hr = m_hrDeferred;
        m_hrDeferred = S_OK;
        return hr;
    }
    if (m_socket == INVALID_SOCKET)
        return SocketError(ENOTSOCK);
    m_lArmedEvents |= m_lSelectedEvents & FD_READ;
    const int nSlots = std::min<int>(nMax, Capacity() / cbSlot);
    BYTE* pb = Data();
    for (int i = 0; i < nSlots; ++i) {
        m_aIov[i].iov_base = pb + static_cast<size_t>(i) * static_cast<size_t>(cbSlot);
        m_aIov[i].iov_len = static_cast<size_t>(cbSlot);
        msghdr& msg = m_aMsg[i].msg_hdr;
        msg.msg_name = nullptr;
        msg.msg_namelen = 0;
        msg.msg_iov = &m_aIov[i];
        msg.msg_iovlen = 1;
        msg.msg_control = m_abControl[i];
        msg.msg_controllen = kControlBytes;
        msg.msg_flags = 0;
    }
    int n;
    do {
        n = recvmmsg(m_socket, m_aMsg, static_cast<unsigned>(nSlots), MSG_DONTWAIT, nullptr);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return SocketError(errno);
    for (int i = 0; i < n; ++i) {
        if (m_aMsg[i].msg_hdr.msg_flags & MSG_TRUNC) {
            // Cut, as the single read reports: the datagrams before it are
            // good, and its error follows.
            if (i == 0) {
                t_dwLastError = WSAEMSGSIZE;
                return HRESULT_FROM_WIN32(WSAEMSGSIZE);
            }
            m_hrDeferred = HRESULT_FROM_WIN32(WSAEMSGSIZE);
            break;
        }
        // Each datagram carries the counter as it stood when it was queued:
        // a rise since the one before places the drops right before it.
        pBatch->abAfterDrop[i] = CountDrops(m_aMsg[i].msg_hdr);
        pBatch->apData[i] = static_cast<BYTE*>(m_aIov[i].iov_base);
        pBatch->acbData[i] = static_cast<LONG>(m_aMsg[i].msg_len);
        pBatch->nCount = i + 1;
    }
    pBatch->bDrained = n < nSlots && pBatch->nCount == n;
    return S_OK;
}

bool CSocket::CountDrops(const msghdr& msg)
{
    bool bDropped = false;
    msghdr* pMsg = const_cast<msghdr*>(&msg);  // the macros take no const
    for (cmsghdr* pc = CMSG_FIRSTHDR(pMsg); pc; pc = CMSG_NXTHDR(pMsg, pc)) {
        if (pc->cmsg_level != SOL_SOCKET || pc->cmsg_type != SO_RXQ_OVFL ||
            pc->cmsg_len < CMSG_LEN(sizeof(uint32_t)))
            continue;
        uint32_t dwCounter;
        memcpy(&dwCounter, CMSG_DATA(pc), sizeof(dwCounter));
        // A 32-bit counter of the socket's life: the difference wraps right.
        const DWORD dwNew = static_cast<DWORD>(dwCounter) - m_dwDropCounter;
        if (dwNew != 0 && dwNew < 0x80000000u) {
            m_dwDropCounter = static_cast<DWORD>(dwCounter);
            m_llDroppedDatagrams.fetch_add(dwNew, std::memory_order_relaxed);
            bDropped = true;
        }
    }
    return bDropped;
}

void CSocket::DisplaySocketInfo(SOCKET s)
{
    sockaddr_in sa = {};
    socklen_t cb = sizeof(sa);
    if (getsockname(s, reinterpret_cast<sockaddr*>(&sa), &cb) < 0)
        return;
    Trace("\nDisplaySocketInfo: Socket %d bound to port %d = htons(%d)", s,
          static_cast<int>(sa.sin_port), static_cast<int>(ntohs(sa.sin_port)));
}
