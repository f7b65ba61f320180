// A TCP relay on the loopback interface that impairs the byte stream a
// server sends its client the way real paths and peers do: writes split at
// random points (the receiver's reads come in pieces that have nothing to do
// with the sender's writes), connections closed or reset (SO_LINGER 0) after
// a random number of bytes, and a listener that is gone for a while before
// it accepts again. A seed makes every run repeatable, and the relay keeps a
// record of each connection: the bytes it delivered, the pieces it wrote, how
// the connection ended and when its listener was open again, so that a test
// can tell what the receiver must have got.
//
// One client at a time: the relay accepts on 127.0.0.1, connects to the
// server (127.0.0.0/8 only) and forwards what the server sends until the
// planned break, the server's end or the client's. A reset waits (at most a
// second) until the client's kernel has acknowledged every byte written, so
// that "delivered" is exact: what a reset throws away in flight is never
// counted as sent.
#pragma once

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

struct STcpImpairPlan
{
    double dSplit = 0;         // chance a chunk from the server is written in pieces
    int nMaxPieces = 5;        // ... of 2 to this many, at random points
    long long llBreakMin = 0;  // a connection breaks after a random number of bytes
    long long llBreakMax = 0;  // in [min, max]; 0: connections never break
    int nBreaks = -1;          // how many connections break (-1: all of them)
    double dReset = 0.5;       // chance a break is a reset rather than a close
    int nDownMs = 0;           // after a break, the listener is closed this long
    int nDownRandomMs = 0;     // ... plus up to this many milliseconds more, at random
    int nConnections = -1;     // after this many, the listener closes for good
};

enum class ETcpEnd { Open, ServerEnded, ClientLeft, Closed, Reset, Stopped };

inline const char* TcpEndName(ETcpEnd e)
{
    switch (e) {
    case ETcpEnd::Open: return "open";
    case ETcpEnd::ServerEnded: return "server-ended";
    case ETcpEnd::ClientLeft: return "client-left";
    case ETcpEnd::Closed: return "closed";
    case ETcpEnd::Reset: return "reset";
    case ETcpEnd::Stopped: return "stopped";
    }
    return "?";
}

// One connection through the relay, in the order they were accepted.
struct STcpConnection
{
    long long llDelivered = 0;  // bytes the client's kernel acknowledged (all, unless reset)
    long long llWritten = 0;    // bytes written to the client
    long nPieces = 0;           // chunks written in pieces
    ETcpEnd eEnd = ETcpEnd::Open;
    // When the listener this connection came through was open: the relay's
    // start, or its reopening after the previous break.
    std::chrono::steady_clock::time_point tListening;
    std::chrono::steady_clock::time_point tAccepted;
};

class CTcpImpairRelay
{
public:
    CTcpImpairRelay(const STcpImpairPlan& plan, uint32_t dwSeed)
        : m_plan(plan), m_rng(dwSeed), m_rngBreaks(dwSeed ^ 0x5BD1E995u)
    {
    }
    ~CTcpImpairRelay() { Stop(); }
    CTcpImpairRelay(const CTcpImpairRelay&) = delete;
    CTcpImpairRelay& operator=(const CTcpImpairRelay&) = delete;

    // Listens on 127.0.0.1:wPortListen (0: a port the system picks) and
    // relays to wPortTo on dwAddrTo (network order, 127.0.0.0/8 only); ports
    // in host order. Answers the port it listens on, 0 on failure.
    uint16_t Start(uint32_t dwAddrTo, uint16_t wPortTo, uint16_t wPortListen = 0)
    {
        if ((ntohl(dwAddrTo) >> 24) != 127)
            return 0;
        m_to.sin_family = AF_INET;
        m_to.sin_addr.s_addr = dwAddrTo;
        m_to.sin_port = htons(wPortTo);
        m_wPort = wPortListen;
        if (!Listen())
            return 0;
        m_tListening = std::chrono::steady_clock::now();
        // From here on the members are the relay thread's (it listens again
        // after a break).
        const uint16_t wPort = m_wPort;
        m_bStop = false;
        m_thread = std::thread([this] { Loop(); });
        return wPort;
    }
    void Stop()
    {
        if (m_thread.joinable()) {
            m_bStop = true;
            m_thread.join();
        }
        CloseFd(&m_fdListen);
    }
    std::vector<STcpConnection> Connections()
    {
        std::lock_guard<std::mutex> lock(m_cs);
        return m_conns;
    }
    // Connections that have ended.
    size_t Ended()
    {
        std::lock_guard<std::mutex> lock(m_cs);
        size_t n = 0;
        for (const STcpConnection& c : m_conns)
            n += c.eEnd != ETcpEnd::Open;
        return n;
    }
    // One line: what the relay did, in counts.
    std::string Summary()
    {
        std::lock_guard<std::mutex> lock(m_cs);
        long long llBytes = 0;
        long nPieces = 0, nResets = 0, nCloses = 0;
        for (const STcpConnection& c : m_conns) {
            llBytes += c.llDelivered, nPieces += c.nPieces;
            nResets += c.eEnd == ETcpEnd::Reset, nCloses += c.eEnd == ETcpEnd::Closed;
        }
        return std::to_string(m_conns.size()) + " connections, " + std::to_string(llBytes) + " bytes delivered, " +
               std::to_string(nPieces) + " writes split, " + std::to_string(nResets) + " resets, " +
               std::to_string(nCloses) + " closes";
    }

private:
    // Splits are drawn per write, and how the server's bytes come in reads
    // is the machine's affair; breaks draw from a generator of their own,
    // so that a seed gives the same breaks (where, close or reset) always.
    bool Chance(double d, std::mt19937* pRng)
    {
        return d > 0 && std::uniform_real_distribution<double>(0, 1)(*pRng) < d;
    }
    bool Chance(double d) { return Chance(d, &m_rng); }
    long long Between(long long a, long long b, std::mt19937* pRng)
    {
        return a >= b ? a : std::uniform_int_distribution<long long>(a, b)(*pRng);
    }
    long long Between(long long a, long long b) { return Between(a, b, &m_rngBreaks); }
    static void CloseFd(int* pfd)
    {
        if (*pfd >= 0)
            close(*pfd);
        *pfd = -1;
    }

    bool Listen()
    {
        m_fdListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fdListen < 0)
            return false;
        const int nOn = 1;
        (void)setsockopt(m_fdListen, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(m_wPort);
        socklen_t cb = sizeof(sa);
        if (bind(m_fdListen, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || listen(m_fdListen, 8) != 0 ||
            getsockname(m_fdListen, reinterpret_cast<sockaddr*>(&sa), &cb) != 0) {
            CloseFd(&m_fdListen);
            return false;
        }
        m_wPort = ntohs(sa.sin_port);
        return true;
    }

    // Waits (in slices, watching for the stop) until fd has one of nEvents;
    // false on the stop.
    bool WaitFor(int fd, short nEvents, int nMs = -1)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs < 0 ? 1 << 30 : nMs);
        while (!m_bStop) {
            pollfd pfd = {fd, nEvents, 0};
            if (poll(&pfd, 1, 20) > 0)
                return true;
            if (std::chrono::steady_clock::now() >= end)
                return false;
        }
        return false;
    }
    bool WriteAll(int fd, const uint8_t* pb, size_t cb)
    {
        while (cb > 0) {
            const ssize_t n = send(fd, pb, cb, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                pb += n, cb -= static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                if (!WaitFor(fd, POLLOUT))
                    return false;
                continue;
            }
            return false;
        }
        return true;
    }

    void Update(size_t i, const STcpConnection& c)
    {
        std::lock_guard<std::mutex> lock(m_cs);
        m_conns[i] = c;
    }

    void Loop()
    {
        int nBroken = 0, nAccepted = 0;
        while (!m_bStop) {
            if (m_plan.nConnections >= 0 && nAccepted >= m_plan.nConnections) {
                CloseFd(&m_fdListen);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            if (m_fdListen < 0) {
                // The listener is back after its time away.
                if (!Listen())
                    return;
                m_tListening = std::chrono::steady_clock::now();
            }
            if (!WaitFor(m_fdListen, POLLIN))
                continue;
            int fdClient = accept4(m_fdListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fdClient < 0)
                continue;
            ++nAccepted;
            STcpConnection c;
            c.tListening = m_tListening;
            c.tAccepted = std::chrono::steady_clock::now();
            size_t iConn;
            {
                std::lock_guard<std::mutex> lock(m_cs);
                iConn = m_conns.size();
                m_conns.push_back(c);
            }
            const int nOn = 1;
            (void)setsockopt(fdClient, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof(nOn));
            int fdServer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fdServer < 0 || connect(fdServer, reinterpret_cast<const sockaddr*>(&m_to), sizeof(m_to)) != 0) {
                CloseFd(&fdServer);
                CloseFd(&fdClient);
                c.eEnd = ETcpEnd::ServerEnded;
                Update(iConn, c);
                continue;
            }
            const bool bBreaks = m_plan.llBreakMax > 0 && (m_plan.nBreaks < 0 || nBroken < m_plan.nBreaks);
            const long long llBreakAt = bBreaks ? Between(m_plan.llBreakMin, m_plan.llBreakMax) : -1;
            Forward(fdServer, fdClient, llBreakAt, &c);
            CloseFd(&fdServer);
            CloseFd(&fdClient);
            Update(iConn, c);
            if (c.eEnd == ETcpEnd::Reset || c.eEnd == ETcpEnd::Closed) {
                ++nBroken;
                if (m_plan.nDownMs > 0 || m_plan.nDownRandomMs > 0) {
                    // The server is away: connection attempts are refused.
                    CloseFd(&m_fdListen);
                    const auto end = std::chrono::steady_clock::now() +
                                     std::chrono::milliseconds(m_plan.nDownMs + Between(0, m_plan.nDownRandomMs));
                    while (!m_bStop && std::chrono::steady_clock::now() < end)
                        std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
            }
        }
    }

    // Forwards from the server to the client until the break (llBreakAt
    // bytes; -1: none), the end of either side or the stop.
    void Forward(int fdServer, int fdClient, long long llBreakAt, STcpConnection* pConn)
    {
        std::vector<uint8_t> buf(65536);
        for (;;) {
            if (llBreakAt >= 0 && pConn->llWritten >= llBreakAt) {
                Break(fdClient, pConn);
                return;
            }
            pollfd afd[2] = {{fdServer, POLLIN, 0}, {fdClient, POLLIN, 0}};
            if (m_bStop) {
                pConn->eEnd = ETcpEnd::Stopped;
                break;
            }
            if (poll(afd, 2, 20) <= 0)
                continue;
            if (afd[1].revents) {
                // The client sends nothing; a read here is its leaving.
                uint8_t b[256];
                if (recv(fdClient, b, sizeof(b), MSG_DONTWAIT) <= 0) {
                    pConn->eEnd = ETcpEnd::ClientLeft;
                    break;
                }
            }
            if (!afd[0].revents)
                continue;
            size_t cbWant = buf.size();
            if (llBreakAt >= 0)
                cbWant = static_cast<size_t>(std::min<long long>(static_cast<long long>(cbWant), llBreakAt - pConn->llWritten));
            const ssize_t n = recv(fdServer, buf.data(), cbWant, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                pConn->eEnd = ETcpEnd::ServerEnded;
                break;
            }
            if (n < 0)
                continue;
            size_t cbChunk = static_cast<size_t>(n);
            if (cbChunk > 1 && Chance(m_plan.dSplit)) {
                // Pieces at random points, a millisecond apart so that each
                // reaches the client as a segment of its own.
                ++pConn->nPieces;
                const int nPieces = static_cast<int>(Between(2, std::max(2, m_plan.nMaxPieces), &m_rng));
                std::vector<size_t> cuts;
                for (int i = 1; i < nPieces; ++i)
                    cuts.push_back(static_cast<size_t>(Between(1, static_cast<long long>(cbChunk) - 1, &m_rng)));
                cuts.push_back(cbChunk);
                std::sort(cuts.begin(), cuts.end());
                size_t off = 0;
                bool bOk = true;
                for (size_t cut : cuts) {
                    if (cut <= off)
                        continue;
                    bOk = WriteAll(fdClient, buf.data() + off, cut - off);
                    if (!bOk)
                        break;
                    pConn->llWritten += static_cast<long long>(cut - off);
                    off = cut;
                    if (off < cbChunk)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                if (!bOk) {
                    pConn->eEnd = m_bStop ? ETcpEnd::Stopped : ETcpEnd::ClientLeft;
                    break;
                }
            } else {
                if (!WriteAll(fdClient, buf.data(), cbChunk)) {
                    pConn->eEnd = m_bStop ? ETcpEnd::Stopped : ETcpEnd::ClientLeft;
                    break;
                }
                pConn->llWritten += static_cast<long long>(cbChunk);
            }
        }
        // Not broken by the relay: a close delivers everything written.
        pConn->llDelivered = pConn->llWritten;
    }

    static long long Unacknowledged(int fd)
    {
        int nOut = 0;
        return ioctl(fd, SIOCOUTQ, &nOut) == 0 ? nOut : 0;
    }

    void Break(int fdClient, STcpConnection* pConn)
    {
        if (Chance(m_plan.dReset, &m_rngBreaks)) {
            // Everything written reaches the client before the reset, so
            // that what it must have is known exactly.
            for (int i = 0; i < 1000 && !m_bStop && Unacknowledged(fdClient) > 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            pConn->llDelivered = pConn->llWritten - Unacknowledged(fdClient);
            const linger lg = {1, 0};
            (void)setsockopt(fdClient, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
            pConn->eEnd = ETcpEnd::Reset;
        } else {
            // A close delivers what was written, then the end of the stream.
            pConn->llDelivered = pConn->llWritten;
            pConn->eEnd = ETcpEnd::Closed;
        }
    }

    const STcpImpairPlan m_plan;
    std::mt19937 m_rng;
    std::mt19937 m_rngBreaks;
    sockaddr_in m_to = {};
    uint16_t m_wPort = 0;
    int m_fdListen = -1;  // the relay thread's, once started
    std::chrono::steady_clock::time_point m_tListening;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    std::mutex m_cs;  // m_conns, read by the test while the relay runs
    std::vector<STcpConnection> m_conns;
};
