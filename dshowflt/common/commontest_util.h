// What tests of every layer share: the slowdown of sanitizer builds, by
// which every time bound in a test grows, a temporary folder per test, and a
// capture of trace lines. Test-only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "dshowflt/common/trace/trace.h"
#include "dshowflt/common/trace/traceseams.h"
#include "platform/wtext.h"

namespace commontest {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr DWORD kSanitizerSlowdown = 4;
#elif defined(__has_feature)
constexpr DWORD kSanitizerSlowdown = (__has_feature(address_sanitizer) || __has_feature(thread_sanitizer)) ? 4 : 1;
#else
constexpr DWORD kSanitizerSlowdown = 1;
#endif

// A loopback port nobody is bound to right now (host order); 0 if none.
inline uint16_t FreeLoopbackPort(int nType = SOCK_DGRAM)
{
    const int fd = socket(AF_INET, nType, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t cb = sizeof(sa);
    uint16_t w = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &cb) == 0)
        w = ntohs(sa.sin_port);
    if (fd >= 0)
        close(fd);
    return w;
}

// A folder of its own under /tmp, removed with all it holds.
class CTempFolder
{
public:
    CTempFolder()
    {
        char sz[] = "/tmp/kvtest_XXXXXX";
        if (mkdtemp(sz))
            m_str = sz;
    }
    ~CTempFolder()
    {
        if (!m_str.empty())
            (void)!system(("rm -rf '" + m_str + "'").c_str());
    }
    CTempFolder(const CTempFolder&) = delete;
    CTempFolder& operator=(const CTempFolder&) = delete;

    const std::string& Path() const { return m_str; }
    std::string P(const std::string& strName) const { return m_str + "/" + strName; }
    CWString W(const std::string& strName) const { return Utf8ToWide(P(strName)); }

private:
    std::string m_str;
};

// A fixture whose test runs in a temporary folder, removed after TearDown.
class CTempFolderTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_FALSE(m_strDir.empty()) << "no temporary folder"; }
    std::string P(const std::string& strName) const { return m_folder.P(strName); }
    CWString W(const std::string& strName) const { return m_folder.W(strName); }

    CTempFolder m_folder;
    const std::string m_strDir = m_folder.Path();
};


// Runs a shell command (at most two minutes), returns its exit status and
// appends what it wrote to *pOut.
inline int RunCommand(const std::string& strCmd, std::string* pOut)
{
    FILE* f = popen(("timeout 120 " + strCmd + " 2>&1").c_str(), "r");
    char buf[4096];
    for (size_t n; f && (n = fread(buf, 1, sizeof(buf), f)) > 0;)
        pOut->append(buf, n);
    const int st = f ? pclose(f) : -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// The pictures ffmpeg decodes with strArgs (input options and -i): one
// framemd5 line each. Every other line it prints, and a failed exit, go
// into *pErrors.
inline int FfmpegFrames(const std::string& strArgs, std::string* pErrors)
{
    std::string strOut;
    const int nRet = RunCommand("ffmpeg -nostdin -v error " + strArgs + " -f framemd5 -", &strOut);
    std::istringstream in(strOut);
    int nFrames = 0;
    for (std::string strLine; std::getline(in, strLine);) {
        if (strLine.empty() || strLine[0] == '#')
            continue;
        if (strLine.find(',') != std::string::npos)
            ++nFrames;
        else
            *pErrors += strLine + "\n";
    }
    if (nRet != 0)
        *pErrors += "exit " + std::to_string(nRet) + "\n";
    return nFrames;
}

// A whole file, as a string or a byte vector.
template <class TBytes = std::string>
TBytes ReadFileAs(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    return TBytes(std::istreambuf_iterator<char>(in), {});
}

inline std::string ReadFileBytes(const std::string& strPath)
{
    return ReadFileAs<std::string>(strPath);
}

template <class TBytes>
void WriteFileBytes(const std::string& strPath, const TBytes& bytes)
{
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Every trace line while it lives.
class CTraceCapture
{
public:
    CTraceCapture() : m_dwSaved(g_dwTraceSwitch.load())
    {
        SetTraceDebugOutputForTest(&CTraceCapture::OnLine, this);
        g_dwTraceSwitch.store(TRACE_ENABLED | TRACE_TO_DEBUGGER);
    }
    ~CTraceCapture()
    {
        g_dwTraceSwitch.store(m_dwSaved);
        SetTraceDebugOutputForTest(nullptr, nullptr);
    }
    CTraceCapture(const CTraceCapture&) = delete;
    CTraceCapture& operator=(const CTraceCapture&) = delete;

    int Count(const std::string& strLine)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return CountLocked(strLine);
    }
    bool Has(const std::string& strLine) { return Count(strLine) > 0; }
    bool Contains(const std::string& strText) { return Has(strText); }
    // Waits until the line has been traced nCount times, for at most dwMs
    // (scaled for sanitizer builds).
    bool WaitFor(const std::string& strLine, DWORD dwMs = 5000, int nCount = 1)
    {
        std::unique_lock<std::mutex> lock(m_mtx);
        return m_cv.wait_for(lock, std::chrono::milliseconds(dwMs * kSanitizerSlowdown),
                             [&] { return CountLocked(strLine) >= nCount; });
    }

private:
    int CountLocked(const std::string& strLine)
    {
        int n = 0;
        for (size_t pos = m_str.find(strLine); pos != std::string::npos; pos = m_str.find(strLine, pos + 1))
            ++n;
        return n;
    }
    static void OnLine(void* pv, const char* psz, size_t cb)
    {
        CTraceCapture* p = static_cast<CTraceCapture*>(pv);
        {
            std::lock_guard<std::mutex> lock(p->m_mtx);
            p->m_str.append(psz, cb);
        }
        p->m_cv.notify_all();
    }
    const uint32_t m_dwSaved;
    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::string m_str;
};

}  // namespace commontest
