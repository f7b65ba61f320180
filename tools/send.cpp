// kvudpsrc send URL: a paced sender of a transport stream, so that the
// receiver can be tried without any other peer: the built-in test stream
// (tools/tsgen.h, byte-verifiable) or a .ts file, over plain UDP (unicast or
// multicast), RTP (payload type 33, RFC 2250 and 3550) or TCP (listening on
// the URL's address and port and serving each client that connects).
//
// Pacing: datagram k goes out when the bytes before it are due at the rate;
// every datagram already due is sent in one sendmmsg() call, and between
// calls the sender sleeps in ppoll() on the stop signal's descriptor, so a
// stop is immediate and a high rate costs one system call per batch.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dshowflt/mpegdemux/kvudpsrc/sourceurl.h"
#include "platform/wtext.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/tsgen.h"

namespace {

const char kHelp[] =
    "usage: kvudpsrc send URL [OPTIONS]\n"
    "  Sends a transport stream to URL at a steady rate: the built-in test stream (one\n"
    "  program with PAT, PMT, PCR and a private-data stream whose every byte can be\n"
    "  checked), or a .ts file. Runs until --duration, --total, the end of the file, or\n"
    "  SIGINT/SIGTERM, then prints its final status line.\n"
    "\n"
    "  udp://HOST:PORT[/IFACE]   UDP to HOST; a multicast group is sent through the\n"
    "                            interface IFACE (IP_MULTICAST_IF) with --ttl\n"
    "  tcp://ADDR:PORT           listens on ADDR:PORT and sends each client that connects\n"
    "                            the stream from its start; prints \"listening tcp://ADDR:PORT\"\n"
    "                            on standard output first (port 0: one the system picks)\n"
    "\n"
    "Options:\n"
    "  --rate MBIT           rate in Mbit/s (10^6 bits per second) of the transport stream,\n"
    "                        decimals allowed (default 10; 0: as fast as possible)\n"
    "  --duration SEC        stop after SEC seconds (decimals allowed)\n"
    "  --total BYTES         send BYTES of the stream (per client over TCP), rounded down\n"
    "                        to whole 188-byte packets for the test stream\n"
    "  --rtp                 RTP: payload type 33, 90 kHz time stamps, a random SSRC\n"
    "  --file FILE           send FILE (a transport stream) instead of the test stream\n"
    "  --loop                start FILE again at its end\n"
    "  --ttl N               time to live, 0 to 255 (default: 1 for multicast)\n"
    "  --interface ADDR      the interface for multicast (overrides the URL's path)\n"
    "  --datagram-packets N  TS packets per datagram, 1 to 7 (default 7: 1316 bytes,\n"
    "                        which fits an Ethernet frame)\n"
    "\n"
    "The test stream's clock follows --rate: a receiver regenerates it with the same\n"
    "rate to check what it got, byte for byte (10 Mbit/s when --rate is 0).\n";

constexpr size_t kTs = CTsGenerator::kPacketSize;
constexpr size_t kRtpHeader = 12;
constexpr size_t kBatch = 64;  // datagrams per sendmmsg()

long long NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

struct SSendOptions
{
    std::string strUrl;
    double dRateMbit = 10;
    double dDuration = 0;  // 0: no limit
    long long llTotal = -1;
    bool bRtp = false;
    std::string strFile;
    bool bLoop = false;
    long long llTtl = -1;
    std::string strInterface;
    long long llPerDatagram = 7;

    uint64_t BitRate() const { return static_cast<uint64_t>(dRateMbit * 1e6 + 0.5); }
};

// The bytes to send: the test stream or a file.
class CStreamReader
{
public:
    virtual ~CStreamReader() = default;
    // Up to cbMax bytes into pb: 0 at the end of the stream, -1 with errno
    // on a read error.
    virtual ssize_t Read(uint8_t* pb, size_t cbMax) = 0;
};

class CGeneratedReader : public CStreamReader
{
public:
    explicit CGeneratedReader(uint64_t ullBitRate) : m_gen(ullBitRate) {}
    ssize_t Read(uint8_t* pb, size_t cbMax) override
    {
        const size_t nPackets = cbMax / kTs;
        for (size_t i = 0; i < nPackets; ++i)
            m_gen.MakePacket(m_ullIndex++, pb + i * kTs);
        return static_cast<ssize_t>(nPackets * kTs);
    }

private:
    CTsGenerator m_gen;
    uint64_t m_ullIndex = 0;
};

class CFileReader : public CStreamReader
{
public:
    CFileReader(int fd, bool bLoop) : m_fd(fd), m_bLoop(bLoop) {}
    ~CFileReader() override { close(m_fd); }
    // At the end of the file a datagram is cut short rather than filled from
    // the file's start, so that every loop sends the file as it is.
    ssize_t Read(uint8_t* pb, size_t cbMax) override
    {
        size_t cb = 0;
        while (cb < cbMax) {
            const ssize_t n = read(m_fd, pb + cb, cbMax - cb);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return -1;
            if (n == 0) {
                if (cb > 0 || !m_bLoop)
                    break;
                if (lseek(m_fd, 0, SEEK_SET) != 0)
                    return -1;
                continue;  // the file is not empty: checked before
            }
            cb += static_cast<size_t>(n);
        }
        return static_cast<ssize_t>(cb);
    }

private:
    int m_fd;
    bool m_bLoop;
};

// Why the sending stopped.
enum class EEnd { Running, Signal, Duration, StreamEnd, Total, Error };

// Paces bytes at a rate and keeps the run's time limit. Waits end early on
// a stop signal or when the run is over (fdQuit readable).
class CPacer
{
public:
    CPacer(uint64_t ullBitRate, long long llStartNs, long long llEndNs, int fdQuit)
        : m_ullBitRate(ullBitRate), m_llStartNs(llStartNs), m_llEndNs(llEndNs), m_fdQuit(fdQuit)
    {
    }
    // When ullBytes of the stream are due.
    long long DueNs(uint64_t ullBytes) const
    {
        if (!m_ullBitRate)
            return m_llStartNs;
        const unsigned __int128 ns = static_cast<unsigned __int128>(ullBytes) * 8 * 1000000000u / m_ullBitRate;
        return m_llStartNs + static_cast<long long>(ns);
    }
    bool IsDue(uint64_t ullBytes) const { return NowNs() >= DueNs(ullBytes); }
    // Waits until ullBytes are due: EEnd::Running when they are, else why
    // the run ends.
    EEnd WaitFor(uint64_t ullBytes) const
    {
        const long long llDue = DueNs(ullBytes);
        for (;;) {
            if (CStopSignal::Received())
                return EEnd::Signal;
            const long long llNow = NowNs();
            if (m_llEndNs && llNow >= m_llEndNs)
                return EEnd::Duration;
            if (llNow >= llDue)
                return EEnd::Running;
            long long llWait = llDue - llNow;
            if (m_llEndNs)
                llWait = std::min(llWait, m_llEndNs - llNow);
            if (!Sleep(llWait))
                return CStopSignal::Received() ? EEnd::Signal : EEnd::Duration;
        }
    }
    // Sleeps llNs unless a stop comes first; false when it came.
    bool Sleep(long long llNs) const
    {
        pollfd afd[2] = {{CStopSignal::Fd(), POLLIN, 0}, {m_fdQuit, POLLIN, 0}};
        const timespec ts = {static_cast<time_t>(llNs / 1000000000LL), static_cast<long>(llNs % 1000000000LL)};
        const int n = ppoll(afd, 2, &ts, nullptr);
        return n <= 0;
    }
    long long StartNs() const { return m_llStartNs; }

private:
    uint64_t m_ullBitRate;
    long long m_llStartNs;
    long long m_llEndNs;  // 0: none
    int m_fdQuit;
};

// The RTP fixed header (RFC 3550, 5.1) for MPEG-2 TS (RFC 2250, 2: payload
// type 33, 90 kHz time stamps of the target transmission time, marker 0).
class CRtpHeader
{
public:
    CRtpHeader()
    {
        uint8_t ab[10] = {};
        if (getrandom(ab, sizeof(ab), 0) != static_cast<ssize_t>(sizeof(ab))) {
            const long long ll = NowNs() ^ getpid();
            memcpy(ab, &ll, sizeof(ll));
        }
        m_wSeq = static_cast<uint16_t>(ab[0] | (ab[1] << 8));
        m_dwTimeBase = static_cast<uint32_t>(ab[2] | (ab[3] << 8) | (ab[4] << 16) | (static_cast<uint32_t>(ab[5]) << 24));
        m_dwSsrc = static_cast<uint32_t>(ab[6] | (ab[7] << 8) | (ab[8] << 16) | (static_cast<uint32_t>(ab[9]) << 24));
    }
    // Writes the next header; llNs is the payload's transmission time from
    // the start of the stream.
    void Put(uint8_t* pb, long long llNs)
    {
        const uint32_t dwTime = m_dwTimeBase + static_cast<uint32_t>(static_cast<unsigned long long>(llNs) * 9 / 100000);
        pb[0] = 0x80;  // version 2, no padding, no extension, no CSRC
        pb[1] = 33;    // marker 0, MP2T
        pb[2] = static_cast<uint8_t>(m_wSeq >> 8);
        pb[3] = static_cast<uint8_t>(m_wSeq);
        pb[4] = static_cast<uint8_t>(dwTime >> 24);
        pb[5] = static_cast<uint8_t>(dwTime >> 16);
        pb[6] = static_cast<uint8_t>(dwTime >> 8);
        pb[7] = static_cast<uint8_t>(dwTime);
        pb[8] = static_cast<uint8_t>(m_dwSsrc >> 24);
        pb[9] = static_cast<uint8_t>(m_dwSsrc >> 16);
        pb[10] = static_cast<uint8_t>(m_dwSsrc >> 8);
        pb[11] = static_cast<uint8_t>(m_dwSsrc);
        ++m_wSeq;
    }
    uint32_t Ssrc() const { return m_dwSsrc; }

private:
    uint16_t m_wSeq;
    uint32_t m_dwTimeBase;
    uint32_t m_dwSsrc;
};

std::string IpText(DWORD dwAddrNet)
{
    char sz[INET_ADDRSTRLEN] = {};
    in_addr a;
    a.s_addr = dwAddrNet;
    inet_ntop(AF_INET, &a, sz, sizeof(sz));
    return sz;
}

std::string AddrText(DWORD dwAddrNet, WORD wPortNet)
{
    return IpText(dwAddrNet) + ":" + std::to_string(ntohs(wPortNet));
}

std::string RateText(unsigned long long ullBytes, double dSeconds)
{
    char sz[32];
    snprintf(sz, sizeof(sz), "%.2f Mbit/s", dSeconds > 0 ? static_cast<double>(ullBytes) * 8 / dSeconds / 1e6 : 0.0);
    return sz;
}

std::string MegabyteText(unsigned long long ullBytes)
{
    char sz[32];
    snprintf(sz, sizeof(sz), "%.2f MB", static_cast<double>(ullBytes) / 1e6);
    return sz;
}

// The parts of a run that its threads share.
struct SRun
{
    SSendOptions opts;
    SourceAddress addr;
    bool bTcp = false;
    long long llStartNs = 0;
    long long llEndNs = 0;
    int afdQuit[2] = {-1, -1};  // written when the run is over
    std::atomic<unsigned long long> ullBytes{0};
    std::atomic<unsigned long long> ullDatagrams{0};
    std::atomic<unsigned> nClients{0};
    std::mutex mxError;
    std::string strError;  // the first failure, for the final status

    void Fail(const std::string& str)
    {
        std::lock_guard<std::mutex> lock(mxError);
        if (strError.empty())
            strError = str;
    }
};

// The reader of the stream for one sending (the UDP run, or one TCP client).
// Null with the reason when the file cannot be opened.
std::unique_ptr<CStreamReader> OpenStream(const SSendOptions& opts, std::string* pstrWhy)
{
    if (opts.strFile.empty())
        return std::make_unique<CGeneratedReader>(opts.BitRate());
    const int fd = open(opts.strFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *pstrWhy = "file " + opts.strFile + ": " + strerror(errno);
        return nullptr;
    }
    return std::make_unique<CFileReader>(fd, opts.bLoop);
}

// Checks --file before anything is sent: readable, not empty, a transport
// stream.
bool CheckFile(const std::string& strFile, std::string* pstrWhy)
{
    const int fd = open(strFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *pstrWhy = strerror(errno);
        return false;
    }
    struct stat st;
    uint8_t b = 0;
    bool bOk = false;
    if (fstat(fd, &st) != 0)
        *pstrWhy = strerror(errno);
    else if (S_ISDIR(st.st_mode))
        *pstrWhy = strerror(EISDIR);
    else if (read(fd, &b, 1) != 1)
        *pstrWhy = "empty";
    else if (b != 0x47)
        *pstrWhy = "not a transport stream (no sync byte 0x47 at its start)";
    else
        bOk = true;
    close(fd);
    return bOk;
}

// --- UDP and RTP ------------------------------------------------------------

EEnd SendDatagrams(SRun* pRun, CProgress* pProgress)
{
    const SSendOptions& opts = pRun->opts;
    const bool bMulticast = (ntohl(pRun->addr.address) >> 28) == 0xE;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        pRun->Fail(std::string("socket: ") + strerror(errno));
        return EEnd::Error;
    }
    const int nOn = 1;
    (void)setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &nOn, sizeof(nOn));
    const int nSndBuf = 4 * 1024 * 1024;  // room for a burst at high rates; the kernel may grant less
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &nSndBuf, sizeof(nSndBuf));
    std::string strWhy;
    if (bMulticast) {
        const unsigned char ucTtl = static_cast<unsigned char>(opts.llTtl >= 0 ? opts.llTtl : 1);
        in_addr ifc;
        ifc.s_addr = pRun->addr.interfaceAddress;
        if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ucTtl, sizeof(ucTtl)) != 0)
            strWhy = std::string("--ttl: ") + strerror(errno);
        else if (ifc.s_addr && setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &ifc, sizeof(ifc)) != 0)
            strWhy = "interface " + IpText(ifc.s_addr) + ": " + strerror(errno);
    } else {
        const int nTtl = static_cast<int>(opts.llTtl);
        if (opts.llTtl >= 0 && setsockopt(fd, IPPROTO_IP, IP_TTL, &nTtl, sizeof(nTtl)) != 0)
            strWhy = std::string("--ttl: ") + strerror(errno);
        if (strWhy.empty() && pRun->addr.interfaceAddress) {
            // Unicast through an interface: leave from its address.
            sockaddr_in sa = {};
            sa.sin_family = AF_INET;
            sa.sin_addr.s_addr = pRun->addr.interfaceAddress;
            if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0)
                strWhy = "interface " + IpText(sa.sin_addr.s_addr) + ": " + strerror(errno);
        }
    }
    if (!strWhy.empty()) {
        close(fd);
        pRun->Fail(strWhy);
        return EEnd::Error;
    }

    std::string strOpen;
    std::unique_ptr<CStreamReader> pStream = OpenStream(opts, &strOpen);
    if (!pStream) {
        close(fd);
        pRun->Fail(strOpen);
        return EEnd::Error;
    }
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = pRun->addr.address;
    to.sin_port = pRun->addr.port;

    const size_t cbPayloadMax = static_cast<size_t>(opts.llPerDatagram) * kTs;
    const size_t cbHeader = opts.bRtp ? kRtpHeader : 0;
    const size_t cbSlot = cbHeader + cbPayloadMax;
    std::vector<uint8_t> buf(kBatch * cbSlot);
    mmsghdr amsg[kBatch];
    iovec aiov[kBatch];
    CRtpHeader rtp;
    if (opts.bRtp)
        PrintDetail("send", "RTP SSRC 0x%08X", rtp.Ssrc());
    const CPacer pacer(opts.BitRate(), pRun->llStartNs, pRun->llEndNs, pRun->afdQuit[0]);
    const unsigned long long ullLimit = opts.llTotal < 0 ? ~0ull : static_cast<unsigned long long>(opts.llTotal);
    unsigned long long ullBytes = 0;
    EEnd eEnd = EEnd::Running;
    while (eEnd == EEnd::Running) {
        if (pProgress->Due())
            pProgress->Line(MegabyteText(ullBytes) + ", " + std::to_string(pRun->ullDatagrams.load()) +
                            " datagrams, " + RateText(ullBytes, pProgress->Elapsed()));
        eEnd = pacer.WaitFor(ullBytes);
        if (eEnd != EEnd::Running)
            break;
        // Every datagram already due goes out in this call.
        size_t nMsgs = 0;
        unsigned long long ullBatchBytes = ullBytes;
        while (nMsgs < kBatch && (nMsgs == 0 || pacer.IsDue(ullBatchBytes))) {
            if (ullBatchBytes >= ullLimit) {
                eEnd = EEnd::Total;
                break;
            }
            uint8_t* pSlot = buf.data() + nMsgs * cbSlot;
            const size_t cbWant = static_cast<size_t>(std::min<unsigned long long>(cbPayloadMax, ullLimit - ullBatchBytes));
            const ssize_t n = pStream->Read(pSlot + cbHeader, cbWant);
            if (n < 0) {
                pRun->Fail("file " + opts.strFile + ": " + strerror(errno));
                eEnd = EEnd::Error;
                break;
            }
            if (n == 0) {
                eEnd = opts.llTotal >= 0 && ullBatchBytes >= ullLimit ? EEnd::Total : EEnd::StreamEnd;
                break;
            }
            // The time stamp is the datagram's target transmission time;
            // unpaced, the time it is actually sent.
            if (opts.bRtp)
                rtp.Put(pSlot, (opts.BitRate() ? pacer.DueNs(ullBatchBytes) : NowNs()) - pacer.StartNs());
            aiov[nMsgs] = {pSlot, cbHeader + static_cast<size_t>(n)};
            amsg[nMsgs] = {};
            amsg[nMsgs].msg_hdr.msg_name = &to;
            amsg[nMsgs].msg_hdr.msg_namelen = sizeof(to);
            amsg[nMsgs].msg_hdr.msg_iov = &aiov[nMsgs];
            amsg[nMsgs].msg_hdr.msg_iovlen = 1;
            ullBatchBytes += static_cast<unsigned long long>(n);
            ++nMsgs;
        }
        size_t nSent = 0;
        while (nSent < nMsgs) {
            const int n = sendmmsg(fd, amsg + nSent, static_cast<unsigned>(nMsgs - nSent), 0);
            if (n > 0) {
                for (size_t k = nSent; k < nSent + static_cast<size_t>(n); ++k)
                    ullBytes += aiov[k].iov_len - cbHeader;
                nSent += static_cast<size_t>(n);
                pRun->ullDatagrams += static_cast<unsigned>(n);
                continue;
            }
            // A full queue (or a peer's ICMP error reported late) passes; the
            // datagram is tried again after a short pause.
            if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR || errno == ECONNREFUSED) {
                if (CStopSignal::Received() || !pacer.Sleep(200000))
                    break;
                continue;
            }
            pRun->Fail("sending to " + AddrText(to.sin_addr.s_addr, to.sin_port) + ": " + strerror(errno));
            eEnd = EEnd::Error;
            break;
        }
        pRun->ullBytes = ullBytes;
        if (CStopSignal::Received() && eEnd == EEnd::Running)
            eEnd = EEnd::Signal;
    }
    close(fd);
    return eEnd;
}

// --- TCP --------------------------------------------------------------------

// Sends the stream to one client until it leaves or the run or stream ends.
void ServeClient(SRun* pRun, int fd, unsigned nClient)
{
    const SSendOptions& opts = pRun->opts;
    std::string strWhy;
    std::unique_ptr<CStreamReader> pStream = OpenStream(opts, &strWhy);
    if (!pStream) {
        pRun->Fail(strWhy);
        close(fd);
        return;
    }
    // A chunk of 7 packets at a given rate; larger when unpaced, where the
    // system calls are the cost.
    const size_t cbChunk = static_cast<size_t>(opts.llPerDatagram) * kTs * (opts.BitRate() ? 1 : 32);
    std::vector<uint8_t> buf(cbChunk);
    const CPacer pacer(opts.BitRate(), NowNs(), pRun->llEndNs, pRun->afdQuit[0]);
    const unsigned long long ullLimit = opts.llTotal < 0 ? ~0ull : static_cast<unsigned long long>(opts.llTotal);
    unsigned long long ullSent = 0;
    const char* pszEnd = "the stream ended";
    for (;;) {
        if (pacer.WaitFor(ullSent) != EEnd::Running) {
            pszEnd = "the run ended";
            break;
        }
        if (ullSent >= ullLimit)
            break;
        const ssize_t n = pStream->Read(buf.data(), static_cast<size_t>(std::min<unsigned long long>(cbChunk, ullLimit - ullSent)));
        if (n <= 0) {
            if (n < 0)
                pRun->Fail("file " + opts.strFile + ": " + strerror(errno));
            break;
        }
        size_t cbDone = 0;
        while (cbDone < static_cast<size_t>(n)) {
            const ssize_t m = send(fd, buf.data() + cbDone, static_cast<size_t>(n) - cbDone, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (m > 0) {
                cbDone += static_cast<size_t>(m);
                pRun->ullBytes += static_cast<unsigned long long>(m);
                continue;
            }
            if (m < 0 && (errno == EAGAIN || errno == EINTR)) {
                // A slow client: wait for room, or for the end of the run.
                pollfd afd[3] = {{fd, POLLOUT, 0}, {CStopSignal::Fd(), POLLIN, 0}, {pRun->afdQuit[0], POLLIN, 0}};
                (void)poll(afd, 3, 100);
                if (afd[1].revents || afd[2].revents)
                    break;
                continue;
            }
            PrintDetail("send", "client %u left: %s", nClient, strerror(errno));
            pszEnd = nullptr;
            break;
        }
        if (!pszEnd || cbDone < static_cast<size_t>(n))
            break;
        ullSent += static_cast<unsigned long long>(n);
        ++pRun->ullDatagrams;
    }
    if (pszEnd)
        PrintDetail("send", "client %u: %s after %llu bytes", nClient, pszEnd, ullSent);
    shutdown(fd, SHUT_WR);
    close(fd);
}

EEnd ServeTcp(SRun* pRun, CProgress* pProgress, bool bAnyPort)
{
    const int fdListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fdListen < 0) {
        pRun->Fail(std::string("socket: ") + strerror(errno));
        return EEnd::Error;
    }
    const int nOn = 1;
    (void)setsockopt(fdListen, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof(nOn));
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = pRun->addr.address;
    sa.sin_port = bAnyPort ? 0 : pRun->addr.port;
    socklen_t cbSa = sizeof(sa);
    if (bind(fdListen, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || listen(fdListen, 16) != 0 ||
        getsockname(fdListen, reinterpret_cast<sockaddr*>(&sa), &cbSa) != 0) {
        pRun->Fail("listening on " + AddrText(sa.sin_addr.s_addr, sa.sin_port) + ": " + strerror(errno));
        close(fdListen);
        return EEnd::Error;
    }
    printf("listening tcp://%s\n", AddrText(sa.sin_addr.s_addr, sa.sin_port).c_str());
    fflush(stdout);

    constexpr unsigned kMaxClients = 64;
    std::vector<std::thread> aThreads;
    std::vector<std::shared_ptr<std::atomic<bool>>> aDone;
    EEnd eEnd = EEnd::Running;
    while (eEnd == EEnd::Running) {
        if (pProgress->Due())
            pProgress->Line(std::to_string(pRun->nClients.load()) + " clients, " +
                            MegabyteText(pRun->ullBytes.load()) + ", " +
                            RateText(pRun->ullBytes.load(), pProgress->Elapsed()));
        const long long llNow = NowNs();
        if (pRun->llEndNs && llNow >= pRun->llEndNs) {
            eEnd = EEnd::Duration;
            break;
        }
        int nWaitMs = 1000;
        if (pRun->llEndNs)
            nWaitMs = static_cast<int>(std::min<long long>(nWaitMs, (pRun->llEndNs - llNow) / 1000000 + 1));
        pollfd afd[2] = {{fdListen, POLLIN, 0}, {CStopSignal::Fd(), POLLIN, 0}};
        (void)poll(afd, 2, nWaitMs);
        if (CStopSignal::Received()) {
            eEnd = EEnd::Signal;
            break;
        }
        if (!(afd[0].revents & POLLIN))
            continue;
        const int fd = accept4(fdListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;  // the client gave up before we took it
        // Reap the threads of clients that are done.
        for (size_t i = 0; i < aThreads.size();) {
            if (*aDone[i]) {
                aThreads[i].join();
                aThreads.erase(aThreads.begin() + static_cast<long>(i));
                aDone.erase(aDone.begin() + static_cast<long>(i));
            } else {
                ++i;
            }
        }
        if (aThreads.size() >= kMaxClients) {
            PrintNote("send", "refusing a client: %u are being served", kMaxClients);
            close(fd);
            continue;
        }
        const unsigned nClient = ++pRun->nClients;
        PrintDetail("send", "client %u connected", nClient);
        auto pDone = std::make_shared<std::atomic<bool>>(false);
        aDone.push_back(pDone);
        aThreads.emplace_back([pRun, fd, nClient, pDone] {
            ServeClient(pRun, fd, nClient);
            *pDone = true;
        });
    }
    close(fdListen);
    const char ch = 1;
    (void)!write(pRun->afdQuit[1], &ch, 1);
    for (std::thread& t : aThreads)
        t.join();
    return eEnd;
}

// The URL's port is written as ":0": listen on a port the system picks.
bool NamesPortZero(const std::string& strUrl)
{
    const size_t nHost = strUrl.find("://");
    const size_t nFrom = nHost == std::string::npos ? 0 : nHost + 3;
    const size_t nEnd = strUrl.find_first_of("/?#", nFrom);
    const std::string strAuthority = strUrl.substr(nFrom, nEnd == std::string::npos ? std::string::npos : nEnd - nFrom);
    return strAuthority.size() >= 2 && strAuthority.compare(strAuthority.size() - 2, 2, ":0") == 0;
}

// A sender names its destination as given: a .255 host is a broadcast to
// send to, not a hint at the local interface as it is for a receiver.
HRESULT NoLocalAddresses(DWORD*, int, int* pcAddrs)
{
    *pcAddrs = 0;
    return S_OK;
}

}  // namespace

int SendMain(int argc, char** argv)
{
    SRun run;
    SSendOptions& opts = run.opts;
    COptions cl("send", kHelp);
    cl.Positional("URL", true, SetString(&opts.strUrl));
    cl.Value("--rate", nullptr, SetDecimal(&opts.dRateMbit, 0, 100000));
    cl.Value("--duration", nullptr, SetDecimal(&opts.dDuration, 0.001, 1e9));
    cl.Value("--total", nullptr, SetSize(&opts.llTotal, 1, 0x7FFFFFFFFFFFFFFFLL));
    cl.Flag("--rtp", nullptr, &opts.bRtp);
    cl.Value("--file", nullptr, SetString(&opts.strFile));
    cl.Flag("--loop", nullptr, &opts.bLoop);
    cl.Value("--ttl", nullptr, SetInteger(&opts.llTtl, 0, 255));
    cl.Value("--interface", nullptr, SetString(&opts.strInterface));
    cl.Value("--datagram-packets", nullptr, SetInteger(&opts.llPerDatagram, 1, 7));
    int nExit = 0;
    if (!cl.Parse(argc, argv, &nExit))
        return nExit;

    SetLocalAddressSource(NoLocalAddresses);
    const HRESULT hr = ParseSourceUrl(Utf8ToWide(opts.strUrl).c_str(), &run.addr);
    SetLocalAddressSource(nullptr);
    if (FAILED(hr)) {
        const char* pszWhy = hr == HRESULT_FROM_WIN32(11001)                      ? "the host is not an IPv4 address"
                             : hr == HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) ? "a part of it is too long"
                                                                                   : "not a valid URL";
        return cl.UsageError("URL: '%s': %s (udp://HOST:PORT[/IFACE] or tcp://ADDR:PORT)", opts.strUrl.c_str(),
                             pszWhy);
    }
    run.bTcp = run.addr.udpTransport == 0;
    if (run.addr.interfaceAddress == 0xFFFFFFFFu)
        return cl.UsageError("URL: the interface (the URL's path) is not an IPv4 address");
    if (!opts.strInterface.empty()) {
        in_addr a;
        if (inet_pton(AF_INET, opts.strInterface.c_str(), &a) != 1)
            return cl.UsageError("--interface: '%s' is not an IPv4 address", opts.strInterface.c_str());
        run.addr.interfaceAddress = a.s_addr;
    }
    if (!run.bTcp && run.addr.address == 0)
        return cl.UsageError("URL: '%s' names no destination address", opts.strUrl.c_str());
    if (run.bTcp && opts.bRtp)
        return cl.UsageError("--rtp: not over tcp://");
    if (opts.bLoop && opts.strFile.empty())
        return cl.UsageError("--loop: only with --file");
    if (opts.dRateMbit > 0 && opts.BitRate() < 1000)
        return cl.UsageError("--rate: at least 0.001 (or 0)");
    std::string strWhy;
    if (!opts.strFile.empty() && !CheckFile(opts.strFile, &strWhy)) {
        PrintError("send", "file %s: %s", opts.strFile.c_str(), strWhy.c_str());
        return kExitFailure;
    }
    if (opts.strFile.empty() && opts.llTotal >= 0) {
        opts.llTotal -= opts.llTotal % static_cast<long long>(kTs);
        if (opts.llTotal == 0)
            return cl.UsageError("--total: at least one packet (188 bytes)");
    }

    CStopSignal::Install();
    if (pipe2(run.afdQuit, O_CLOEXEC) != 0) {
        PrintError("send", "pipe: %s", strerror(errno));
        return kExitFailure;
    }
    char szRate[32];
    snprintf(szRate, sizeof(szRate), opts.dRateMbit > 0 ? "%g Mbit/s" : "full speed", opts.dRateMbit);
    PrintNote("send", "%s %s %s://%s at %s%s", opts.strFile.empty() ? "the test stream" : opts.strFile.c_str(),
              run.bTcp ? "to clients of" : "to", run.bTcp ? "tcp" : (opts.bRtp ? "rtp" : "udp"),
              AddrText(run.addr.address, run.addr.port).c_str(), szRate,
              run.bTcp ? "" : (", " + std::to_string(opts.llPerDatagram) + " TS packets per datagram").c_str());

    CProgress progress("send");
    run.llStartNs = NowNs();
    run.llEndNs = opts.dDuration > 0 ? run.llStartNs + static_cast<long long>(opts.dDuration * 1e9) : 0;
    const EEnd eEnd = run.bTcp ? ServeTcp(&run, &progress, NamesPortZero(opts.strUrl)) : SendDatagrams(&run, &progress);
    const double dSeconds = progress.Elapsed();
    close(run.afdQuit[0]);
    close(run.afdQuit[1]);

    if (eEnd == EEnd::Error) {
        PrintError("send", "%s: %s", opts.strUrl.c_str(), run.strError.c_str());
        return kExitFailure;
    }
    const char* pszWhy = eEnd == EEnd::Signal     ? CStopSignal::Name()
                         : eEnd == EEnd::Duration ? "--duration reached"
                         : eEnd == EEnd::Total    ? "--total reached"
                                                  : "end of the stream";
    char sz[256];
    const unsigned long long ullBytes = run.ullBytes.load();
    if (run.bTcp)
        snprintf(sz, sizeof(sz), "end: %s%s; %u clients, %llu bytes in %.1f s (%s)",
                 eEnd == EEnd::Signal ? "stopped by " : "", pszWhy, run.nClients.load(), ullBytes, dSeconds,
                 RateText(ullBytes, dSeconds).c_str());
    else
        snprintf(sz, sizeof(sz), "end: %s%s; %llu datagrams, %llu bytes in %.1f s (%s)",
                 eEnd == EEnd::Signal ? "stopped by " : "", pszWhy, run.ullDatagrams.load(), ullBytes, dSeconds,
                 RateText(ullBytes, dSeconds).c_str());
    progress.Final(sz);
    if (!run.strError.empty()) {
        PrintError("send", "%s", run.strError.c_str());
        return kExitFailure;
    }
    return kExitOk;
}
