// Helpers shared by the socket tests: a cancel event, a loopback sender and
// a bounded receive. All traffic stays on 127.0.0.0/8.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "dshowflt/mpegdemux/kvudpsrc/net/socket.h"

// A manual-reset event for the cancel side of WaitForEvent.
class CTestEvent
{
public:
    CTestEvent() : m_h(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~CTestEvent() { if (m_h >= 0) close(m_h); }
    CTestEvent(const CTestEvent&) = delete;
    CTestEvent& operator=(const CTestEvent&) = delete;
    HANDLE Handle() const { return m_h; }
    void Set() { uint64_t u = 1; (void)!write(m_h, &u, sizeof(u)); }

private:
    HANDLE m_h;
};

inline DWORD Addr(const char* psz) { return inet_addr(psz); }

inline WORD BoundPort(int fd)
{
    sockaddr_in sa = {};
    socklen_t cb = sizeof(sa);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &cb) < 0)
        return 0;
    return sa.sin_port;
}

// A UDP sender whose multicast leaves through the loopback interface.
class CTestSender
{
public:
    CTestSender() : m_fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        in_addr ifc = {};
        ifc.s_addr = inet_addr("127.0.0.1");
        (void)setsockopt(m_fd, IPPROTO_IP, IP_MULTICAST_IF, &ifc, sizeof(ifc));
    }
    ~CTestSender() { close(m_fd); }
    CTestSender(const CTestSender&) = delete;
    CTestSender& operator=(const CTestSender&) = delete;

    bool Send(const char* pszTo, WORD wPortNet, const std::string& str)
    {
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_port = wPortNet;
        sa.sin_addr.s_addr = inet_addr(pszTo);
        return sendto(m_fd, str.data(), str.size(), 0, reinterpret_cast<sockaddr*>(&sa),
                      sizeof(sa)) == static_cast<ssize_t>(str.size());
    }

private:
    int m_fd;
};

// Waits (bounded) for one read on the socket and returns what MyRecv gave,
// or "<hr>" text when nothing came.
inline std::string RecvOne(CSocket* pSock, DWORD dwTimeoutMs = 3000)
{
    BYTE ab[65536];
    LONG cb = 0;
    for (int i = 0; i < 2; ++i) {
        HRESULT hr = pSock->MyRecv(ab, sizeof(ab), &cb);
        if (SUCCEEDED(hr))
            return std::string(reinterpret_cast<char*>(ab), static_cast<size_t>(cb));
        if (hr != HRESULT_FROM_WIN32(WSAEWOULDBLOCK) || i == 1)
            return "<error>";
        HRESULT hrWait = S_OK;
        if (pSock->WaitForEvent(INVALID_HANDLE_VALUE, dwTimeoutMs, FD_READ, &hrWait) != WAITEVENT_OK)
            return "<nothing>";
    }
    return "<nothing>";
}
