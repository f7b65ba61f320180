// ringrecv: the receive engine as one command line among other receivers,
// for the loopback comparison in bench/linerate.sh. The receive thread
// (CRecvThread: batched reads, RTP stripping, the per-datagram pipeline)
// writes the stream into a DVR ring, and a follower in the same process
// reads the ring as it grows and writes what it reads to a file: what a
// recorder that follows the ring would do. Loss anywhere (socket, ring
// lapped by the writer) shows as missing packets in that file.
//
//   ringrecv -p PORT -o OUT [-b RCVBUF] [-T] [-r DIR] [-n FILES] [-s BYTES]
//
//   -p PORT    UDP port on 127.0.0.1 (plain TS or TS in RTP, told apart by
//              the receive thread itself); with -T a TCP port on which one
//              sender connects (the stand-in for tcp:// to a server)
//   -o OUT     the follower's output file
//   -b BYTES   socket receive buffer asked for (RcvBuf=); default 8 MiB
//   -r DIR     folder of the ring (default: a new folder beside OUT, removed
//              at the end)
//   -n FILES, -s BYTES   the ring's layout (default 10 x 10 MiB)
//
// SIGINT or SIGTERM: the follower catches up with what was published, the
// receive thread stops, the follower reads the rest, and a summary goes to
// standard error: bytes, kernel drops, socket buffer granted, bytes the
// follower lost to the writer lapping it. Exit status 0, or 1 on failure.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "dshowflt/common/dvr/dvrengine.h"
#include "bench/benchrecv.h"
#include "dshowflt/mpegdemux/kvudpsrc/net/recvthread.h"
#include "platform/graph/mtype.h"

namespace {

std::atomic<bool> g_bStop{false};

void OnSignal(int) { g_bStop.store(true); }

// TCP: the sender connects to us, so each open of the socket takes the next
// connection on a listening socket instead of connecting to a server. What
// follows (reads, reconnection on a close) is the receive thread's own.
class CListeningRecvThread : public CRecvThread
{
public:
    CListeningRecvThread(IRecvOutputPin* pPin, IRecvFilter* pFilter, int fdListen, int cbRcvBuf)
        : CRecvThread(pPin, pFilter, nullptr, false), m_fdListen(fdListen), m_cbRcvBuf(cbRcvBuf)
    {
        if (!Create())
            fprintf(stderr, "ringrecv: the receive thread could not be started\n");
    }
    ~CListeningRecvThread() override
    {
        if (GetCurrentThreadId() != GetThreadId() && ThreadExists())
            (void)CallWorker(RECVCMD_EXIT);
        Close();
    }

    HRESULT OpenSocketHelper(BOOL bCreateBuffer, BOOL /*bConnect*/, DWORD dwTimeoutMs) override
    {
        CSocket::CloseSocket(bCreateBuffer);
        pollfd pfd = {m_fdListen, POLLIN, 0};
        const int nWaitMs = dwTimeoutMs ? static_cast<int>(dwTimeoutMs) : 30000;
        if (poll(&pfd, 1, nWaitMs) <= 0)
            return HRESULT_FROM_WIN32(WSAETIMEDOUT);
        const int fd = accept4(m_fdListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return HRESULT_FROM_WIN32(WSAECONNABORTED);
        setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &m_cbRcvBuf, sizeof(m_cbRcvBuf));
        m_socket = fd;
        m_bDatagram = FALSE;
        m_bDatagramSocket = false;
        m_dwMaxMsgSize = 65536;
        if (bCreateBuffer && FAILED(Reserve(40 * 65536)))
            return E_OUTOFMEMORY;
        return SelectEvents(FD_READ | FD_WRITE | FD_CLOSE);
    }

private:
    const int m_fdListen;
    const int m_cbRcvBuf;
};

class CFollower : public CDVREngine
{
public:
    CFollower() : CDVREngine(false) {}
    ~CFollower() override { StopReader(); }
};

bool WriteAll(int fd, const BYTE* pb, size_t cb)
{
    while (cb > 0) {
        const ssize_t n = write(fd, pb, cb);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        pb += n;
        cb -= static_cast<size_t>(n);
    }
    return true;
}

void RemoveFolder(const std::string& strDir)
{
    DIR* pDir = opendir(strDir.c_str());
    if (!pDir)
        return;
    while (dirent* pEnt = readdir(pDir)) {
        if (strcmp(pEnt->d_name, ".") != 0 && strcmp(pEnt->d_name, "..") != 0)
            unlink((strDir + "/" + pEnt->d_name).c_str());
    }
    closedir(pDir);
    rmdir(strDir.c_str());
}

int Usage()
{
    fprintf(stderr, "usage: ringrecv -p PORT -o OUT [-b RCVBUF] [-T] [-r DIR] [-n FILES] [-s BYTES]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    int nPort = 0;
    std::string strOut, strRing;
    long long llRcvBuf = CSocket::kDefaultSocketBuffer;
    bool bTcp = false;
    long nFiles = 10;
    long long llFileSize = 10 << 20;
    for (int opt; (opt = getopt(argc, argv, "p:o:b:Tr:n:s:")) != -1;) {
        switch (opt) {
        case 'p': nPort = atoi(optarg); break;
        case 'o': strOut = optarg; break;
        case 'b': llRcvBuf = atoll(optarg); break;
        case 'T': bTcp = true; break;
        case 'r': strRing = optarg; break;
        case 'n': nFiles = atol(optarg); break;
        case 's': llFileSize = atoll(optarg); break;
        default: return Usage();
        }
    }
    if (nPort <= 0 || nPort > 65535 || strOut.empty() || llRcvBuf < 1 || nFiles < 2 || llFileSize < 2)
        return Usage();

    struct sigaction sa = {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    const bool bOwnRing = strRing.empty();
    if (bOwnRing) {
        const size_t nSlash = strOut.rfind('/');
        std::string strTemplate = (nSlash == std::string::npos ? std::string(".") : strOut.substr(0, nSlash)) +
                                  "/ringrecv_XXXXXX";
        std::vector<char> sz(strTemplate.begin(), strTemplate.end());
        sz.push_back('\0');
        if (!mkdtemp(sz.data())) {
            perror("ringrecv: ring folder");
            return 1;
        }
        strRing = sz.data();
    }
    const int fdOut = open(strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fdOut < 0) {
        perror(("ringrecv: " + strOut).c_str());
        return 1;
    }

    int fdListen = -1;
    if (bTcp) {
        fdListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int nOne = 1;
        setsockopt(fdListen, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof(nOne));
        sockaddr_in sin = {};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(static_cast<uint16_t>(nPort));
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fdListen, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) != 0 || listen(fdListen, 1) != 0) {
            perror("ringrecv: listen");
            return 1;
        }
    }

    CNullPin pin;
    CBenchFilter filter;
    CRecvThread* pRecv = bTcp ? new CListeningRecvThread(&pin, &filter, fdListen, static_cast<int>(llRcvBuf))
                              : new CRecvThread(&pin, &filter);
    pRecv->NonDelegatingAddRef();
    const CWString strName = u"Capture";
    BSTR bstrDir = SysAllocString(Utf8ToWide(strRing).c_str());
    BSTR bstrName = SysAllocString(strName.c_str());
    const std::string strOptions = "Timeout=0&RcvBuf=" + std::to_string(llRcvBuf);
    HRESULT hr = pRecv->StartChangingAttributes();
    if (SUCCEEDED(hr))
        hr = pRecv->SetFolderName(0, bstrDir);
    if (SUCCEEDED(hr))
        hr = pRecv->SetBaseName(bstrName);
    if (SUCCEEDED(hr))
        hr = pRecv->SetBufferSize(0, nFiles, static_cast<double>(llFileSize));
    if (SUCCEEDED(hr))
        hr = pRecv->EndChangingAttributes(VARIANT_FALSE);
    if (SUCCEEDED(hr))
        hr = pRecv->ParseOptions(Utf8ToWide(strOptions).c_str());
    if (SUCCEEDED(hr))
        hr = pRecv->SetAddress(htonl(INADDR_LOOPBACK), htons(static_cast<uint16_t>(nPort)), 0, bTcp ? FALSE : TRUE,
                               TRUE);
    if (SUCCEEDED(hr))
        hr = pRecv->OpenSocket(TRUE, TRUE, 0);
    SysFreeString(bstrDir);
    SysFreeString(bstrName);
    if (FAILED(hr)) {
        fprintf(stderr, "ringrecv: set-up failed: 0x%08x\n", static_cast<unsigned>(hr));
        pRecv->NonDelegatingRelease();
        return 1;
    }
    if (!pRecv->PostCommand(CMD_READ)) {
        fprintf(stderr, "ringrecv: the receive thread does not take commands\n");
        pRecv->NonDelegatingRelease();
        return 1;
    }

    // The follower: from the start of the ring to the end of the stream.
    const std::string strStub = strRing + "/Capture.KBL";
    CFollower follower;
    hr = E_FAIL;
    for (int i = 0; i < 500 && !g_bStop.load() && FAILED(hr); ++i) {
        struct stat st;
        if (stat(strStub.c_str(), &st) == 0) {
            hr = follower.SetStubFileName(Utf8ToWide(strStub).c_str(), -1, FALSE);
            if (SUCCEEDED(hr))
                hr = follower.StartReader(pRecv);
        }
        if (FAILED(hr))
            usleep(10000);
    }
    int nExit = 0;
    LONGLONG llPos = 0, llLapped = 0;
    if (FAILED(hr)) {
        fprintf(stderr, "ringrecv: the follower cannot start: 0x%08x\n", static_cast<unsigned>(hr));
        nExit = 1;
    } else {
        // A read waits for at least one byte for as long as the writer
        // writes, so the stop comes from another thread: the writer stops
        // (publishing all it wrote), and the follower reads to the end.
        std::atomic<bool> bStopped{false};
        std::thread stopper([&] {
            while (!g_bStop.load())
                usleep(20000);
            (void)pRecv->CallWorker(RECVCMD_STOP);
            bStopped.store(true);
        });
        std::vector<BYTE> buf(1 << 20);
        for (;;) {
            const bool bWasStopped = bStopped.load();
            DWORD cbRead = 0;
            // A quarter of the buffer, or what came within 50 ms: a recorder
            // wakes for blocks, not for every publication.
            hr = follower.ReadData(llPos, static_cast<DWORD>(buf.size() / 4), static_cast<DWORD>(buf.size()),
                                   buf.data(), &cbRead, GetTickCount() + 50);
            if (hr == KVMM_E_DVR_DISCARDED_DATA) {
                LONGLONG llMin = 0, llMax = 0;
                if (FAILED(follower.GetOffsets(&llMin, &llMax)) || llMin <= llPos)
                    break;
                llLapped += llMin - llPos;
                llPos = llMin;
                continue;
            }
            if (cbRead > 0 && !WriteAll(fdOut, buf.data(), cbRead)) {
                perror("ringrecv: write");
                nExit = 1;
                break;
            }
            llPos += cbRead;
            if (FAILED(hr) || (bWasStopped && cbRead == 0))
                break;
        }
        g_bStop.store(true);
        stopper.join();
    }
    fprintf(stderr, "ringrecv: bytes=%lld kernel_drops=%lld rcvbuf_granted=%u lapped_bytes=%lld\n",
            static_cast<long long>(llPos), static_cast<long long>(pRecv->GetDroppedDatagrams()),
            static_cast<unsigned>(pRecv->GetReceiveBufferGranted()), static_cast<long long>(llLapped));
    follower.StopReader();
    pRecv->NonDelegatingRelease();
    close(fdOut);
    if (fdListen >= 0)
        close(fdListen);
    if (bOwnRing)
        RemoveFolder(strRing);
    return nExit;
}
