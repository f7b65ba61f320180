// Helpers of the example's tests: programs run as child processes with
// their output in files, a temporary folder, and the check of a recording
// of the test stream. Test-only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dshowflt/common/commontest_util.h"
#include "platform/thread.h"
#include "tools/tsgen.h"

// Sanitizer builds run the example several times slower; time bounds scale.
constexpr DWORD kExampleSlowdown = commontest::kSanitizerSlowdown;

inline std::string ReadText(const std::string& strPath) { return commontest::ReadFileBytes(strPath); }

inline bool Exists(const std::string& strPath)
{
    struct stat st;
    return stat(strPath.c_str(), &st) == 0;
}

using CExampleTempDir = commontest::CTempFolder;

// A program run in the background, standard output and error in files.
class CProgram
{
public:
    CProgram(const std::string& strPath, const std::vector<std::string>& args, const std::string& strOutBase)
        : m_strOut(strOutBase + ".out"), m_strErr(strOutBase + ".err")
    {
        m_pid = fork();
        if (m_pid == 0) {
            FILE* fOut = freopen(m_strOut.c_str(), "w", stdout);
            FILE* fErr = freopen(m_strErr.c_str(), "w", stderr);
            (void)fOut;
            (void)fErr;
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(strPath.c_str()));
            for (const std::string& s : args)
                argv.push_back(const_cast<char*>(s.c_str()));
            argv.push_back(nullptr);
            execv(strPath.c_str(), argv.data());
            _exit(127);
        }
    }
    ~CProgram()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            (void)Wait(5000);
        }
    }
    CProgram(const CProgram&) = delete;
    CProgram& operator=(const CProgram&) = delete;

    // The exit status (128 + signal), or -1 while it still runs after dwMs.
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
            if (r < 0 || TickDiff(GetTickCount(), dwStart) >= dwMs * kExampleSlowdown)
                return -1;
            Sleep(10);
        }
    }
    void Terminate()
    {
        if (m_pid > 0)
            kill(m_pid, SIGTERM);
    }
    std::string Out() const { return ReadText(m_strOut); }
    std::string Err() const { return ReadText(m_strErr); }

private:
    pid_t m_pid = -1;
    const std::string m_strOut;
    const std::string m_strErr;
};

// Runs a program to its end (bounded) and returns its exit status.
inline int RunProgram(const std::string& strPath, const std::vector<std::string>& args, const std::string& strOutBase,
                      std::string* pstrErr = nullptr, DWORD dwMs = 30000)
{
    CProgram p(strPath, args, strOutBase);
    const int n = p.Wait(dwMs);
    if (pstrErr)
        *pstrErr = p.Err() + p.Out();
    return n;
}

// A recording of `kvudpsrc send`'s test stream at nMbit Mbit/s: from the
// first data packet in it on, every byte the stream's. "" when good, else
// what is wrong.
inline std::string CheckRecording(const std::string& strPath, unsigned nMbit)
{
    const std::string s = ReadText(strPath);
    const uint8_t* pb = reinterpret_cast<const uint8_t*>(s.data());
    for (size_t i = 0; i + CTsGenerator::kPacketSize <= s.size(); i += CTsGenerator::kPacketSize) {
        const long long llIndex = CTsGenerator::PacketIndexOf(pb + i);
        if (llIndex < 0)
            continue;
        const uint64_t ullBase = static_cast<uint64_t>(llIndex) * CTsGenerator::kPacketSize - i;
        CTsGenerator gen(static_cast<uint64_t>(nMbit) * 1000000);
        const long long llBad = gen.FirstMismatch(ullBase, pb, s.size());
        return llBad < 0 ? std::string() : "byte " + std::to_string(llBad) + " of " + std::to_string(s.size()) + " is wrong";
    }
    return "no data packet in " + std::to_string(s.size()) + " bytes";
}

// A UDP port nobody listens on right now.
inline WORD FreeUdpPort()
{
    return commontest::FreeLoopbackPort();
}
