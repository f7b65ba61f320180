// What the tests with real RTP senders share: a temporary folder for the
// whole test program, shell commands with their output, and the capture of
// what a sender sends to a loopback port. Test-only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "dshowflt/common/commontest_util.h"
#include "dshowflt/common/rtp/rtptestutil.h"

extern char** environ;

namespace rtptest {

// A file in the program's temporary folder, removed when the program ends.
inline std::string TempPath(const std::string& strName)
{
    static const commontest::CTempFolder s_folder;
    return s_folder.P(strName);
}

using commontest::ReadFileBytes;

using commontest::FfmpegFrames;
using commontest::RunCommand;

// Binds 127.0.0.1:0, starts the sender with the port substituted for
// "PORT", and collects datagrams until the sender has exited and the socket
// has been quiet for a moment, or the count or time bound is reached.
inline bool Capture(const std::string& strCmdTemplate, std::vector<Bytes>* pPackets, std::string* pError)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int cbBuf = 4 * 1024 * 1024;
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &cbBuf, sizeof(cbBuf));
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t cbSa = sizeof(sa);
    const bool bBound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 &&
                        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &cbSa) == 0;
    std::string strCmd = strCmdTemplate;
    const std::string strPort = std::to_string(ntohs(sa.sin_port));
    for (size_t pos; (pos = strCmd.find("PORT")) != std::string::npos;)
        strCmd.replace(pos, 4, strPort);
    strCmd += " >" + TempPath("sender.log") + " 2>&1";
    pid_t pid;
    const char* argv[] = {"/bin/sh", "-c", strCmd.c_str(), nullptr};
    if (!bBound || posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
        if (fd >= 0)
            close(fd);
        *pError = "socket, bind or spawn failed";
        return false;
    }
    const auto start = std::chrono::steady_clock::now();
    auto lastPacket = start;
    bool bExited = false;
    int nStatus = 0;
    std::vector<BYTE> buf(65536);
    for (int i = 0; i < 200000 && pPackets->size() < 20000; ++i) {
        const auto now = std::chrono::steady_clock::now();
        if (now - start > std::chrono::seconds(30))
            break;
        if (bExited && now - lastPacket > std::chrono::milliseconds(300))
            break;
        if (!bExited && waitpid(pid, &nStatus, WNOHANG) == pid)
            bExited = true;
        pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 50) <= 0)
            continue;
        const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n > 0) {
            pPackets->emplace_back(buf.begin(), buf.begin() + n);
            lastPacket = std::chrono::steady_clock::now();
        }
    }
    close(fd);
    if (!bExited) {
        kill(pid, SIGKILL);
        waitpid(pid, &nStatus, 0);
    }
    *pError = "sender failed: " + ReadFileBytes(TempPath("sender.log"));
    return WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0;
}

inline bool IsRtcp(const Bytes& p)
{
    return p.size() >= 2 && p[1] >= 200 && p[1] <= 203;
}

// Lines of ffmpeg's framemd5 output, comments aside: one per frame.
inline size_t CountFrames(const std::string& s)
{
    std::istringstream in(s);
    size_t n = 0;
    for (std::string strLine; std::getline(in, strLine);)
        n += !strLine.empty() && strLine[0] != '#';
    return n;
}

}  // namespace rtptest
