// Helpers for tests that run the built kvudpsrc tool (KV_TOOL_PATH) as a
// process: a child with its standard streams in files, bounded waits on
// what it prints, and a temporary folder per test.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dshowflt/common/commontest_util.h"
#include "platform/thread.h"
#include "tools/pattern.h"

// Sanitizer builds run the tool several times slower; time bounds scale.
constexpr DWORD kToolSlowdown = commontest::kSanitizerSlowdown;

// A loopback UDP port nobody is bound to right now.
inline uint16_t FreeUdpPort()
{
    return commontest::FreeLoopbackPort();
}

inline std::string ReadAll(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The integer value of "key": in a JSON line, or -1.
inline long long JsonNumber(const std::string& strLine, const std::string& strKey)
{
    const size_t n = strLine.find("\"" + strKey + "\":");
    if (n == std::string::npos)
        return -1;
    return atoll(strLine.c_str() + n + strKey.size() + 3);
}

// The same in the last JSON line of a file (a --stats file's final line).
inline long long FinalNumber(const std::string& strFile, const std::string& strKey)
{
    const std::string s = ReadAll(strFile);
    const size_t nLine = s.rfind('{');
    return nLine == std::string::npos ? -1 : JsonNumber(s.substr(nLine), strKey);
}

// The number in strText after strKey, or -1.
inline long long NumberAfter(const std::string& strText, const std::string& strKey)
{
    const size_t n = strText.find(strKey);
    return n == std::string::npos ? -1 : strtoll(strText.c_str() + n + strKey.size(), nullptr, 10);
}

// Index of the first byte of s (stream offsets from llFrom) that differs
// from the pattern of ullSeed, or -1.
inline long long PatternMismatch(const std::string& s, uint64_t ullSeed, long long llFrom)
{
    for (size_t i = 0; i < s.size(); ++i)
        if (static_cast<uint8_t>(s[i]) != PatternByte(ullSeed, static_cast<uint64_t>(llFrom) + i))
            return static_cast<long long>(i);
    return -1;
}

inline long long FileSize(const std::string& strPath)
{
    struct stat st;
    return stat(strPath.c_str(), &st) == 0 ? st.st_size : -1;
}

// Runs a shell command; answers its standard output and sets its exit
// status (-1 when it did not exit).
inline std::string ShellOutput(const std::string& strCmd, int* pnExit)
{
    std::string s;
    FILE* pf = popen(strCmd.c_str(), "r");
    if (!pf) {
        *pnExit = -1;
        return s;
    }
    char sz[4096];
    for (size_t cb; (cb = fread(sz, 1, sizeof(sz), pf)) > 0;)
        s.append(sz, cb);
    const int nStatus = pclose(pf);
    *pnExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    return s;
}

class CChild
{
public:
    CChild() = default;
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;

    // Runs the tool with args, standard output and error into files.
    // fdIn (when >= 0) becomes its standard input, else /dev/null.
    void Start(const std::vector<std::string>& args, const std::string& strOut, const std::string& strErr,
               int fdIn = -1)
    {
        m_pid = fork();
        ASSERT_GE(m_pid, 0);
        if (m_pid == 0) {
#ifdef KV_TOOLTEST_SANITIZED
            // ThreadSanitizer sleeps a second at the exit of a process that
            // still has threads; the stop times measured here are the tool's.
            const char* pszTsan = getenv("TSAN_OPTIONS");
            setenv("TSAN_OPTIONS", (std::string(pszTsan ? pszTsan : "") + " atexit_sleep_ms=0").c_str(), 1);
#endif
            const int fdOut = open(strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int fdErr = open(strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int fdNull = open("/dev/null", O_RDONLY);
            dup2(fdIn >= 0 ? fdIn : fdNull, 0);
            dup2(fdOut, 1);
            dup2(fdErr, 2);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(KV_TOOL_PATH));
            for (const std::string& s : args)
                argv.push_back(const_cast<char*>(s.c_str()));
            argv.push_back(nullptr);
            execv(KV_TOOL_PATH, argv.data());
            _exit(127);
        }
    }
    // The exit status (128 + signal when killed), or -1 when the child is
    // still running after dwMs.
    int Wait(DWORD dwMs)
    {
        const DWORD dwStart = GetTickCount();
        for (;;) {
            int nStatus = 0;
            const pid_t r = waitpid(m_pid, &nStatus, WNOHANG);
            if (r == m_pid) {
                m_pid = -1;
                return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
            }
            if (r < 0 || TickDiff(GetTickCount(), dwStart) >= dwMs)
                return -1;
            Sleep(2);
        }
    }
    void Signal(int nSig) const
    {
        if (m_pid > 0)
            kill(m_pid, nSig);
    }
    pid_t Pid() const { return m_pid; }
    ~CChild()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGCONT);
            kill(m_pid, SIGKILL);
            (void)Wait(5000);
        }
    }

private:
    pid_t m_pid = -1;
};

// Runs the tool to its end (bounded) and keeps what it printed.
struct SToolRun
{
    int nExit = -1;
    std::string strOut;
    std::string strErr;
};

class CToolTest : public commontest::CTempFolderTest
{
protected:

    SToolRun Run(const std::vector<std::string>& args, DWORD dwMs = 10000)
    {
        SToolRun run;
        CChild child;
        child.Start(args, P("run.out"), P("run.err"));
        run.nExit = child.Wait(dwMs * kToolSlowdown);
        run.strOut = ReadAll(P("run.out"));
        run.strErr = ReadAll(P("run.err"));
        return run;
    }

    // The rest of the first line of strFile that starts with strPrefix,
    // waiting for it (bounded); empty (and a failure) when it never comes.
    static std::string WaitForLine(const std::string& strFile, const std::string& strPrefix, DWORD dwMs = 5000)
    {
        const DWORD dwStart = GetTickCount();
        while (TickDiff(GetTickCount(), dwStart) < dwMs * kToolSlowdown) {
            const std::string s = ReadAll(strFile);
            for (size_t n = 0; n < s.size();) {
                const size_t nEnd = s.find('\n', n);
                if (nEnd == std::string::npos)
                    break;
                if (s.compare(n, strPrefix.size(), strPrefix) == 0)
                    return s.substr(n + strPrefix.size(), nEnd - n - strPrefix.size());
                n = nEnd + 1;
            }
            Sleep(5);
        }
        ADD_FAILURE() << "no line '" << strPrefix << "' in " << strFile << ": " << ReadAll(strFile);
        return std::string();
    }
    // Waits (bounded) until the file holds at least llBytes.
    static bool WaitForSize(const std::string& strPath, long long llBytes, DWORD dwMs)
    {
        const DWORD dwStart = GetTickCount();
        while (FileSize(strPath) < llBytes) {
            if (TickDiff(GetTickCount(), dwStart) >= dwMs * kToolSlowdown)
                return false;
            Sleep(5);
        }
        return true;
    }
};
