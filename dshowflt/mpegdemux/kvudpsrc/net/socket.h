// The receiving socket: one UDP (unicast or multicast) or TCP socket with its
// receive buffer, read one message per call or everything waiting in one
// batch, and waited on with a wait that the receive thread's command event
// can cancel. The kernel's count of datagrams it dropped for a full socket
// buffer comes with the datagrams and is added up here.
//
// Threads: the filter's threads set the address and open or close the
// socket; only the receive thread reads and waits. The receive thread stops
// its read loop before anyone else closes the socket, so opening and closing
// need no lock here.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>

#include "dshowflt/common/buffer.h"
#include "platform/critsec.h"
#include "platform/hresult.h"

typedef int SOCKET;
constexpr SOCKET INVALID_SOCKET = -1;

// Network events, with the bit numbers and values of the original socket
// interface so that masks and trace lines read the same.
constexpr int FD_READ_BIT = 0;
constexpr int FD_WRITE_BIT = 1;
constexpr int FD_OOB_BIT = 2;
constexpr int FD_ACCEPT_BIT = 3;
constexpr int FD_CONNECT_BIT = 4;
constexpr int FD_CLOSE_BIT = 5;
constexpr int FD_MAX_EVENTS = 10;
constexpr LONG FD_READ = 1 << FD_READ_BIT;
constexpr LONG FD_WRITE = 1 << FD_WRITE_BIT;
constexpr LONG FD_OOB = 1 << FD_OOB_BIT;
constexpr LONG FD_ACCEPT = 1 << FD_ACCEPT_BIT;
constexpr LONG FD_CONNECT = 1 << FD_CONNECT_BIT;
constexpr LONG FD_CLOSE = 1 << FD_CLOSE_BIT;

struct WSANETWORKEVENTS
{
    LONG lNetworkEvents;
    INT iErrorCode[FD_MAX_EVENTS];
};

// The calling thread's last socket error (a WSAE* number), set by every
// failing call of this layer and by WaitForEvent's cancel and time-out.
DWORD WSAGetLastError();
void WSASetLastError(DWORD dwError);

// Results of CSocketHelper::WaitForEvent.
enum : int {
    WAITEVENT_OK = 0,         // an event of the mask occurred without error
    WAITEVENT_CLOSED = 1,     // the peer closed the connection meanwhile
    WAITEVENT_CANCELLED = 2,  // the cancel event is set
    WAITEVENT_TIMEOUT = 3,
    WAITEVENT_FAILED = 4,     // the out HRESULT says why
};

// What one batched read returned: datagrams in arrival order, each in a
// slot of the socket's receive buffer, valid until the next read.
struct CRecvBatch
{
    static constexpr int kMaxDatagrams = 64;
    int nCount = 0;
    // The read found the queue empty before the batch was full: a read now
    // would find nothing, so the reader may go straight to its wait.
    bool bDrained = false;
    BYTE* apData[kMaxDatagrams] = {};
    LONG acbData[kMaxDatagrams] = {};
    // The kernel dropped datagrams just before this one (its buffer was
    // full): what the ring holds before it is not contiguous with it.
    bool abAfterDrop[kMaxDatagrams] = {};
};

class CSocketHelper
{
public:
    CSocketHelper() = default;
    virtual ~CSocketHelper() = default;
    CSocketHelper(const CSocketHelper&) = delete;
    CSocketHelper& operator=(const CSocketHelper&) = delete;

    // Associates the network events of lEvents with the socket's wait and
    // makes the socket non-blocking.
    [[nodiscard]] HRESULT SelectEvents(LONG lEvents);

    // Waits until an event of lMask occurs, hCancel (an event handle, or
    // INVALID_HANDLE_VALUE for none) is set, or dwTimeoutMs (or INFINITE)
    // passes. Returns a WAITEVENT_* value; *phr receives the reason of
    // WAITEVENT_FAILED.
    [[nodiscard]] int WaitForEvent(HANDLE hCancel, DWORD dwTimeoutMs, LONG lMask,
                                   HRESULT* phr = nullptr);
    // Whether the last wait that returned WAITEVENT_OK found hCancel set as
    // well (the socket's event wins): the caller still has a command to see.
    bool CancelSetAtLastWait() const { return m_bCancelSetAtWait; }

    // The error recorded for event bit nBit by the last wait, or WSAEINVAL
    // for a bit number out of range.
    INT GetEventError(int nBit) const;

    // Milliseconds until the tick deadline dwDeadline: INFINITE when it is
    // all ones, 0 once it has passed.
    static DWORD TimeLeft(DWORD dwDeadline);

    SOCKET GetSocket() const { return m_socket; }

protected:
    // The socket was closed: nothing is associated with the wait any more.
    void ResetEvents();

    SOCKET m_socket = INVALID_SOCKET;

    // The descriptor itself is what poll waits on, so no separate event
    // object exists; the original's event kept "something happened" between
    // enumerations, which the armed set below reproduces. An event is
    // reported once and then disarmed until the call that re-enables it on
    // the original platform (recv for FD_READ); level-triggered poll would
    // otherwise wake a wait for FD_CONNECT for ever on a socket that merely
    // has data waiting.
    bool m_bEventsSelected = false;
    bool m_bCancelSetAtWait = false;
    LONG m_lSelectedEvents = 0;
    LONG m_lArmedEvents = 0;
    bool m_bConnectPending = false;  // a non-blocking connect is under way
    bool m_bDatagramSocket = true;
    WSANETWORKEVENTS m_networkEvents = {};

private:
    short PollEvents() const;
    HRESULT EnumNetworkEvents(short nRevents);
};

class CSocket : public CSocketHelper, public CBuffer
{
public:
    CSocket() = default;
    ~CSocket() override;

    // Stores the values the URL gave (network byte order) for the next open.
    HRESULT SetAddress(DWORD dwAddress, WORD wPort, DWORD dwInterfaceAddress,
                       BOOL bDatagram, BOOL bReuseAddress);

    // Opens the socket. With a connect flag and a time-out, a TCP connection
    // that timed out is tried again for as long as the time-out allows.
    [[nodiscard]] virtual HRESULT OpenSocket(BOOL bCreateBuffer, BOOL bConnect,
                                             DWORD dwTimeoutMs);
    // Drops a multicast membership and closes the socket; with bFreeBuffer
    // the maximum message size returns to 512 and the buffer is emptied.
    virtual void CloseSocket(BOOL bFreeBuffer);
    // One attempt to open; closes first, and leaves the socket closed on
    // every failure.
    [[nodiscard]] virtual HRESULT OpenSocketHelper(BOOL bCreateBuffer, BOOL bConnect,
                                                   DWORD dwTimeoutMs);

    // One recv: at most one datagram for UDP. 0x80072733 when nothing is
    // waiting, 0x80072746 when a TCP peer has closed.
    [[nodiscard]] HRESULT MyRecv(BYTE* pb, LONG cb, LONG* pcbReceived);
    // Everything waiting, up to nMax datagrams (UDP, one recvmmsg into
    // slots of the maximum message size in the receive buffer; as many slots
    // as its capacity holds), or one read of up to the maximum message size
    // (TCP). Never waits: at low rates a batch is one datagram. Results as
    // for the single read; a datagram too large for its slot cuts the batch
    // before it, and its error comes with the next call.
    [[nodiscard]] HRESULT MyRecv(CRecvBatch* pBatch, int nMax = CRecvBatch::kMaxDatagrams);

    // The socket buffer asked for at the next open (RcvBuf=; bytes), and
    // what the kernel granted at the last one (usable bytes; 0 before).
    void SetReceiveBufferRequest(DWORD cb) { m_cbSocketBufferWanted.store(cb, std::memory_order_relaxed); }
    DWORD GetReceiveBufferRequest() const { return m_cbSocketBufferWanted.load(std::memory_order_relaxed); }
    DWORD GetReceiveBufferGranted() const { return m_cbSocketBufferGranted.load(std::memory_order_relaxed); }
    // Datagrams the kernel dropped because the socket buffer was full, as
    // far as the reads so far have told (UDP), since the socket was opened
    // with a new buffer. Any thread may ask.
    LONGLONG GetDroppedDatagrams() const { return m_llDroppedDatagrams.load(std::memory_order_relaxed); }
    static constexpr DWORD kDefaultSocketBuffer = 8 << 20;

    static void DisplaySocketInfo(SOCKET s);

    DWORD GetMaxMsgSize() const { return m_dwMaxMsgSize; }
    BOOL IsDatagram() const { return m_bDatagram; }

protected:
    DWORD m_dwInterfaceAddress = 0;
    DWORD m_dwAddress = 0;
    BOOL m_bDatagram = TRUE;
    DWORD m_dwMaxMsgSize = kClosedMaxMsgSize;
    ip_mreq m_mreq = {};
    BOOL m_bMulticast = FALSE;
    BYTE m_bMulticastTTL = 0;  // 0 leaves the system default
    CCritSec m_csRecv;          // one recv at a time
    DWORD m_cbRecvBuffer = 0;
    BOOL m_bReuseAddress = FALSE;
    sockaddr_in m_sockAddr = {};
    WORD m_wPort = 0;

private:
    static constexpr DWORD kClosedMaxMsgSize = 512;
    HRESULT Fail(HRESULT hr);
    void SetReceiveBufferSize(int cbWanted);
    // Adds what the kernel's drop counter of a received datagram says;
    // true when datagrams were dropped since the one before it.
    bool CountDrops(const msghdr& msg);

    std::atomic<DWORD> m_cbSocketBufferWanted{kDefaultSocketBuffer};
    std::atomic<DWORD> m_cbSocketBufferGranted{0};
    std::atomic<LONGLONG> m_llDroppedDatagrams{0};
    // The kernel's drop counter of the open socket, as last seen.
    DWORD m_dwDropCounter = 0;
    // A datagram larger than its slot ended the last batch; its error is due.
    HRESULT m_hrDeferred = S_OK;

    // recvmmsg's headers, one per slot, with room for the drop counter.
    static constexpr size_t kControlBytes = CMSG_SPACE(sizeof(uint32_t));
    mmsghdr m_aMsg[CRecvBatch::kMaxDatagrams] = {};
    iovec m_aIov[CRecvBatch::kMaxDatagrams] = {};
    alignas(cmsghdr) BYTE m_abControl[CRecvBatch::kMaxDatagrams][kControlBytes] = {};
};
