// A UDP relay on the loopback interface that impairs what passes through it
// the way hostile networks and senders do: drops (single or in bursts),
// reordering, duplicates, bit flips, truncation, RTCP mixed into the RTP
// port, a sender that restarts its sequence numbers and time stamps, and
// pauses. A seed makes every run repeatable, and the relay keeps a record of
// exactly what it did to each datagram, so that a test can tell what a
// receiver must have got from what it did get.
//
// One thread receives on 127.0.0.1 (port 0: one the system picks) and sends
// to a 127.0.0.0/8 destination; nothing else is allowed.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

struct SImpairPlan
{
    double dDrop = 0;          // chance a datagram is dropped
    double dBurst = 0;         // chance a burst of nBurstLength drops starts here
    int nBurstLength = 50;
    double dDuplicate = 0;     // chance a datagram is sent twice
    double dReorder = 0;       // chance a datagram is held back ...
    int nReorderDistance = 1;  // ... until this many later ones went out, or
                               // nothing came in for 20 ms
    double dFlip = 0;          // chance one payload bit (past nProtectBytes) flips
    double dTruncate = 0;      // chance a datagram is cut short
    double dRtcp = 0;          // chance an RTCP sender report goes out before it
    int nProtectBytes = 12;    // bytes never flipped or cut (the RTP header)
    long nRestartAt = -1;      // from this datagram on, RTP sequence and time restart
    long nPauseAt = -1;        // at this datagram, stop forwarding ...
    int nPauseMs = 0;          // ... for this long (what arrives meanwhile is dropped)
};

// What happened to one datagram that came in, in arrival order.
struct SImpairEvent
{
    long nIn = 0;           // its index
    uint32_t dwRtpTime = 0; // its RTP time stamp as it came in (when it is RTP)
    bool bDropped = false;  // never sent (also during a pause)
    bool bDuplicated = false;
    bool bReordered = false;
    long nFlipByte = -1;    // the byte with a flipped bit, -1 for none
    long nCutTo = -1;       // its length once cut, -1 when whole
    bool bRtcpBefore = false;
    bool bRestarted = false;  // sequence and time stamp rewritten
};

class CImpairRelay
{
public:
    CImpairRelay(const SImpairPlan& plan, uint32_t dwSeed) : m_plan(plan), m_rng(dwSeed) {}
    ~CImpairRelay() { Stop(); }
    CImpairRelay(const CImpairRelay&) = delete;
    CImpairRelay& operator=(const CImpairRelay&) = delete;

    // Listens on 127.0.0.1:wPortListen (0: a port the system picks) and
    // forwards to wPortTo on dwAddrTo (network order, 127.0.0.0/8 only);
    // ports in host order. Answers the port it listens on, 0 on failure.
    uint16_t Start(uint32_t dwAddrTo, uint16_t wPortTo, uint16_t wPortListen = 0)
    {
        if ((ntohl(dwAddrTo) >> 24) != 127)
            return 0;
        m_fdIn = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        m_fdOut = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (m_fdIn < 0 || m_fdOut < 0)
            return 0;
        int nBuf = 4 << 20;
        (void)setsockopt(m_fdIn, SOL_SOCKET, SO_RCVBUF, &nBuf, sizeof(nBuf));
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(wPortListen);
        socklen_t cb = sizeof(sa);
        if (bind(m_fdIn, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
            getsockname(m_fdIn, reinterpret_cast<sockaddr*>(&sa), &cb) != 0)
            return 0;
        m_to.sin_family = AF_INET;
        m_to.sin_addr.s_addr = dwAddrTo;
        m_to.sin_port = htons(wPortTo);
        m_bStop = false;
        m_thread = std::thread([this] { Loop(); });
        return ntohs(sa.sin_port);
    }
    // Sends what is held back, then ends the thread.
    void Stop()
    {
        if (m_thread.joinable()) {
            m_bStop = true;
            m_thread.join();
        }
        if (m_fdIn >= 0)
            close(m_fdIn);
        if (m_fdOut >= 0)
            close(m_fdOut);
        m_fdIn = m_fdOut = -1;
    }
    // Datagrams received so far (for a test that waits for its sender's
    // datagrams to have passed).
    long Received() const { return m_nIn.load(); }
    long Sent() const { return m_nOut.load(); }
    std::vector<SImpairEvent> Events()
    {
        std::lock_guard<std::mutex> lock(m_cs);
        return m_events;
    }
    // One line: what the relay did, in counts.
    std::string Summary()
    {
        std::lock_guard<std::mutex> lock(m_cs);
        long n[7] = {};
        for (const SImpairEvent& e : m_events) {
            n[0] += e.bDropped, n[1] += e.bDuplicated, n[2] += e.bReordered, n[3] += e.nFlipByte >= 0;
            n[4] += e.nCutTo >= 0, n[5] += e.bRtcpBefore, n[6] += e.bRestarted;
        }
        return std::to_string(m_events.size()) + " in, " + std::to_string(m_nOut.load()) + " out: " +
               std::to_string(n[0]) + " dropped, " + std::to_string(n[1]) + " duplicated, " + std::to_string(n[2]) +
               " reordered, " + std::to_string(n[3]) + " bit flips, " + std::to_string(n[4]) + " cut short, " +
               std::to_string(n[5]) + " RTCP mixed in, " + std::to_string(n[6]) + " with restarted sequence";
    }

private:
    struct SHeld
    {
        std::vector<uint8_t> v;
        int nLeft;  // datagrams to go out before it
    };

    bool Chance(double d) { return d > 0 && std::uniform_real_distribution<double>(0, 1)(m_rng) < d; }

    void Send(const std::vector<uint8_t>& v)
    {
        if (sendto(m_fdOut, v.data(), v.size(), 0, reinterpret_cast<const sockaddr*>(&m_to), sizeof(m_to)) >= 0)
            ++m_nOut;
        // Held-back datagrams go out once enough others went before them.
        for (size_t i = 0; i < m_held.size();) {
            if (--m_held[i].nLeft <= 0) {
                const std::vector<uint8_t> held = std::move(m_held[i].v);
                m_held.erase(m_held.begin() + static_cast<long>(i));
                if (sendto(m_fdOut, held.data(), held.size(), 0, reinterpret_cast<const sockaddr*>(&m_to),
                           sizeof(m_to)) >= 0)
                    ++m_nOut;
            } else {
                ++i;
            }
        }
    }

    void Handle(std::vector<uint8_t> v)
    {
        SImpairEvent e;
        e.nIn = m_nIn.load();
        const auto now = std::chrono::steady_clock::now();
        if (e.nIn == m_plan.nPauseAt)
            m_pauseEnd = now + std::chrono::milliseconds(m_plan.nPauseMs);
        const bool bRtp = v.size() >= 12 && (v[0] & 0xC0) == 0x80;
        if (bRtp)
            e.dwRtpTime = static_cast<uint32_t>(v[4]) << 24 | static_cast<uint32_t>(v[5]) << 16 |
                          static_cast<uint32_t>(v[6]) << 8 | v[7];
        if (bRtp && m_plan.nRestartAt >= 0 && e.nIn >= m_plan.nRestartAt) {
            // A sender that started again: new sequence and time base.
            const uint16_t wSeq = static_cast<uint16_t>(0x4000 + (e.nIn - m_plan.nRestartAt));
            const uint32_t dwTime = static_cast<uint32_t>(0x100000 + 3003 * (e.nIn - m_plan.nRestartAt));
            v[2] = static_cast<uint8_t>(wSeq >> 8), v[3] = static_cast<uint8_t>(wSeq);
            v[4] = static_cast<uint8_t>(dwTime >> 24), v[5] = static_cast<uint8_t>(dwTime >> 16);
            v[6] = static_cast<uint8_t>(dwTime >> 8), v[7] = static_cast<uint8_t>(dwTime);
            e.bRestarted = true;
        }
        if (now < m_pauseEnd || m_nBurstLeft > 0 || Chance(m_plan.dDrop)) {
            e.bDropped = true;
            if (m_nBurstLeft > 0)
                --m_nBurstLeft;
        } else if (Chance(m_plan.dBurst)) {
            e.bDropped = true;
            m_nBurstLeft = m_plan.nBurstLength - 1;
        }
        if (!e.bDropped) {
            const long nBody = static_cast<long>(v.size()) - m_plan.nProtectBytes;
            if (nBody > 0 && Chance(m_plan.dFlip)) {
                e.nFlipByte = m_plan.nProtectBytes + static_cast<long>(m_rng() % static_cast<uint32_t>(nBody));
                v[static_cast<size_t>(e.nFlipByte)] ^= static_cast<uint8_t>(1u << (m_rng() % 8));
            }
            if (nBody > 1 && Chance(m_plan.dTruncate)) {
                e.nCutTo = m_plan.nProtectBytes + 1 + static_cast<long>(m_rng() % static_cast<uint32_t>(nBody - 1));
                v.resize(static_cast<size_t>(e.nCutTo));
            }
            if (Chance(m_plan.dRtcp)) {
                // A sender report: version 2, type 200, length 6 words.
                std::vector<uint8_t> sr(28, 0);
                sr[0] = 0x80, sr[1] = 200, sr[3] = 6;
                e.bRtcpBefore = true;
                Send(sr);
            }
            e.bDuplicated = Chance(m_plan.dDuplicate);
            e.bReordered = Chance(m_plan.dReorder);
            if (e.bReordered) {
                m_held.push_back({v, m_plan.nReorderDistance});
                if (e.bDuplicated)
                    Send(v);
            } else {
                Send(v);
                if (e.bDuplicated)
                    Send(v);
            }
        }
        ++m_nIn;
        std::lock_guard<std::mutex> lock(m_cs);
        m_events.push_back(e);
    }

    void Loop()
    {
        std::vector<uint8_t> buf(65536);
        while (!m_bStop) {
            pollfd pfd = {m_fdIn, POLLIN, 0};
            if (poll(&pfd, 1, 20) <= 0) {
                // Quiet for a while: what is held back goes out, late.
                Flush();
                continue;
            }
            const ssize_t n = recv(m_fdIn, buf.data(), buf.size(), 0);
            if (n >= 0)
                Handle(std::vector<uint8_t>(buf.begin(), buf.begin() + n));
        }
        Flush();
    }
    void Flush()
    {
        for (SHeld& h : m_held)
            if (sendto(m_fdOut, h.v.data(), h.v.size(), 0, reinterpret_cast<const sockaddr*>(&m_to), sizeof(m_to)) >=
                0)
                ++m_nOut;
        m_held.clear();
    }

    const SImpairPlan m_plan;
    std::mt19937 m_rng;
    int m_fdIn = -1, m_fdOut = -1;
    sockaddr_in m_to = {};
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    std::atomic<long> m_nIn{0}, m_nOut{0};
    std::chrono::steady_clock::time_point m_pauseEnd{};
    int m_nBurstLeft = 0;
    std::vector<SHeld> m_held;
    std::mutex m_cs;  // m_events, read by the test while the relay runs
    std::vector<SImpairEvent> m_events;
};
