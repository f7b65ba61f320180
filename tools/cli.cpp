// Shared command-line machinery of the kvudpsrc subcommands (see cli.h).
#include "tools/cli.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "dshowflt/common/trace/trace.h"

int g_nVerbosity = 1;

// ---------------------------------------------------------------------------
// Numbers

namespace {

// Digits of psz as an unsigned value; *ppEnd after the last digit. False
// when there is no digit; a value that does not fit saturates.
bool ParseDigits(const char* psz, unsigned long long* pull, const char** ppEnd)
{
    unsigned long long ull = 0;
    const char* p = psz;
    for (; *p >= '0' && *p <= '9'; ++p) {
        const unsigned d = static_cast<unsigned>(*p - '0');
        ull = ull > (ULLONG_MAX - d) / 10 ? ULLONG_MAX : ull * 10 + d;
    }
    *pull = ull;
    *ppEnd = p;
    return p != psz;
}

bool CheckRange(long long ll, long long llMin, long long llMax, std::string* pstrWhy)
{
    if (ll < llMin) {
        *pstrWhy = "at least " + std::to_string(llMin);
        return false;
    }
    if (ll > llMax) {
        *pstrWhy = "at most " + std::to_string(llMax);
        return false;
    }
    return true;
}

std::string Quoted(const char* psz)
{
    return std::string("'") + psz + "'";
}

}  // namespace

bool ParseSize(const char* psz, long long llMin, long long llMax, long long* pll, std::string* pstrWhy)
{
    unsigned long long ull = 0;
    const char* pEnd = nullptr;
    if (!ParseDigits(psz, &ull, &pEnd)) {
        *pstrWhy = Quoted(psz) + (*psz == '-' && llMin >= 0 ? " is negative" : " is not a decimal number");
        return false;
    }
    unsigned nShift = 0;
    switch (*pEnd) {
    case '\0': break;
    case 'k': case 'K': nShift = 10; break;
    case 'm': case 'M': nShift = 20; break;
    case 'g': case 'G': nShift = 30; break;
    case 't': case 'T': nShift = 40; break;
    default:
        *pstrWhy = Quoted(psz) + " is not a decimal number with an optional K, M, G or T";
        return false;
    }
    if (*pEnd && pEnd[1]) {
        *pstrWhy = Quoted(psz) + " is not a decimal number with an optional K, M, G or T";
        return false;
    }
    if (ull > (static_cast<unsigned long long>(LLONG_MAX) >> nShift)) {
        *pstrWhy = Quoted(psz) + " is too large";
        return false;
    }
    const long long ll = static_cast<long long>(ull << nShift);
    if (!CheckRange(ll, llMin, llMax, pstrWhy))
        return false;
    *pll = ll;
    return true;
}

bool ParseInteger(const char* psz, long long llMin, long long llMax, long long* pll, std::string* pstrWhy)
{
    const bool bNegative = *psz == '-';
    unsigned long long ull = 0;
    const char* pEnd = nullptr;
    if (!ParseDigits(psz + (bNegative ? 1 : 0), &ull, &pEnd) || *pEnd) {
        *pstrWhy = Quoted(psz) + " is not a decimal number";
        return false;
    }
    if (ull > static_cast<unsigned long long>(LLONG_MAX)) {
        *pstrWhy = Quoted(psz) + " is too large";
        return false;
    }
    const long long ll = bNegative ? -static_cast<long long>(ull) : static_cast<long long>(ull);
    if (!CheckRange(ll, llMin, llMax, pstrWhy))
        return false;
    *pll = ll;
    return true;
}

bool ParseDecimal(const char* psz, double dMin, double dMax, double* pd, std::string* pstrWhy)
{
    unsigned long long ullInt = 0;
    const char* pEnd = nullptr;
    double d = 0;
    if (ParseDigits(psz, &ullInt, &pEnd)) {
        d = static_cast<double>(ullInt);
        if (*pEnd == '.') {
            double dScale = 0.1;
            for (++pEnd; *pEnd >= '0' && *pEnd <= '9'; ++pEnd, dScale /= 10)
                d += (*pEnd - '0') * dScale;
        }
    } else {
        pEnd = psz;
    }
    if (pEnd == psz || *pEnd) {
        *pstrWhy = Quoted(psz) + (*psz == '-' ? " is negative" : " is not a decimal number");
        return false;
    }
    char sz[64];
    if (d < dMin) {
        snprintf(sz, sizeof(sz), "at least %g", dMin);
        *pstrWhy = sz;
        return false;
    }
    if (d > dMax) {
        snprintf(sz, sizeof(sz), "at most %g", dMax);
        *pstrWhy = sz;
        return false;
    }
    *pd = d;
    return true;
}

FnSetOption SetSize(long long* pll, long long llMin, long long llMax)
{
    return [=](const char* psz, std::string* pstrWhy) { return ParseSize(psz, llMin, llMax, pll, pstrWhy); };
}

FnSetOption SetInteger(long long* pll, long long llMin, long long llMax)
{
    return [=](const char* psz, std::string* pstrWhy) { return ParseInteger(psz, llMin, llMax, pll, pstrWhy); };
}

FnSetOption SetDecimal(double* pd, double dMin, double dMax)
{
    return [=](const char* psz, std::string* pstrWhy) { return ParseDecimal(psz, dMin, dMax, pd, pstrWhy); };
}

FnSetOption SetString(std::string* pstr)
{
    return [=](const char* psz, std::string* pstrWhy) {
        if (!*psz) {
            *pstrWhy = "must not be empty";
            return false;
        }
        *pstr = psz;
        return true;
    };
}

FnSetOption AddString(std::vector<std::string>* pv)
{
    return [=](const char* psz, std::string* pstrWhy) {
        if (!*psz) {
            *pstrWhy = "must not be empty";
            return false;
        }
        pv->push_back(psz);
        return true;
    };
}

// ---------------------------------------------------------------------------
// Options

namespace {

const char kCommonHelp[] =
    "\nCommon options:\n"
    "  -h, --help          print this help on standard output and exit\n"
    "  -q, --quiet         no progress or summary lines (errors are still printed)\n"
    "  -v, --verbose       more detail on standard error\n"
    "  --trace MASK        switch on the trace facility: the switch word as in KV_TRACE\n"
    "                      (0x hex or decimal; 0x4E traces to standard error)\n"
    "  --trace-file FILE   the trace file, as KV_TRACE_FILE\n"
    "\nNumbers are decimal; sizes take K, M, G or T, 1024-based (10M = 10485760).\n"
    "SIGINT or SIGTERM stops the command cleanly with a final status line.\n"
    "Exit status: 0 success, 1 failure (with a message), 2 usage error.\n";

bool SetTraceMask(const char* psz, std::string* pstrWhy)
{
    // A bit mask, so hex is allowed here (with 0x), as in KV_TRACE.
    const bool bHex = psz[0] == '0' && (psz[1] == 'x' || psz[1] == 'X');
    const char* pszDigits = bHex ? psz + 2 : psz;
    unsigned long long ull = 0;
    const char* p = pszDigits;
    for (; *p; ++p) {
        unsigned d;
        if (*p >= '0' && *p <= '9')
            d = static_cast<unsigned>(*p - '0');
        else if (bHex && *p >= 'a' && *p <= 'f')
            d = static_cast<unsigned>(*p - 'a' + 10);
        else if (bHex && *p >= 'A' && *p <= 'F')
            d = static_cast<unsigned>(*p - 'A' + 10);
        else
            break;
        ull = ull * (bHex ? 16 : 10) + d;
        if (ull > 0xFFFFFFFFull)
            break;
    }
    if (p == pszDigits || *p) {
        *pstrWhy = Quoted(psz) + " is not a switch word (0x hex or decimal, at most 0xFFFFFFFF)";
        return false;
    }
    g_dwTraceSwitch.store(static_cast<uint32_t>(ull), std::memory_order_relaxed);
    return true;
}

}  // namespace

COptions::COptions(const char* pszCommand, const char* pszHelp) : m_strCommand(pszCommand), m_pszHelp(pszHelp) {}

void COptions::Value(const char* pszName, const char* pszShort, FnSetOption fnSet)
{
    SOption opt;
    opt.strName = pszName;
    opt.strShort = pszShort ? pszShort : "";
    opt.bValue = true;
    opt.fnSet = std::move(fnSet);
    m_aOptions.push_back(std::move(opt));
}

void COptions::Flag(const char* pszName, const char* pszShort, bool* pb)
{
    SOption opt;
    opt.strName = pszName;
    opt.strShort = pszShort ? pszShort : "";
    opt.pbFlag = pb;
    m_aOptions.push_back(std::move(opt));
}

void COptions::Positional(const char* pszName, bool bRequired, FnSetOption fnSet)
{
    SOption opt;
    opt.strName = pszName;
    opt.bPositional = true;
    opt.bRequired = bRequired;
    opt.fnSet = std::move(fnSet);
    m_aOptions.push_back(std::move(opt));
}

COptions::SOption* COptions::Find(const std::string& strName)
{
    for (SOption& opt : m_aOptions)
        if (!opt.bPositional && (opt.strName == strName || (!opt.strShort.empty() && opt.strShort == strName)))
            return &opt;
    return nullptr;
}

bool COptions::Given(const char* pszName) const
{
    for (const SOption& opt : m_aOptions)
        if (opt.strName == pszName)
            return opt.bGiven;
    return false;
}

void COptions::PrintHelp() const
{
    fputs(m_pszHelp, stdout);
    fputs(kCommonHelp, stdout);
    fflush(stdout);
}

int COptions::UsageError(const char* pszFormat, ...)
{
    char sz[1024];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(sz, sizeof(sz), pszFormat, args);
    va_end(args);
    fprintf(stderr, "kvudpsrc %s: %s\nTry 'kvudpsrc %s --help' for more information.\n", m_strCommand.c_str(), sz,
            m_strCommand.c_str());
    return kExitUsage;
}

bool COptions::Parse(int argc, char** argv, int* pnExit)
{
    *pnExit = kExitOk;
    bool bOptionsEnded = false;
    size_t iNextPositional = 0;
    std::string strWhy;
    for (int i = 1; i < argc; ++i) {
        const std::string strArg = argv[i];
        const bool bOption = !bOptionsEnded && strArg.size() > 1 && strArg[0] == '-';
        if (!bOption) {
            SOption* pPos = nullptr;
            for (size_t k = 0, n = 0; k < m_aOptions.size(); ++k) {
                if (m_aOptions[k].bPositional && n++ == iNextPositional) {
                    pPos = &m_aOptions[k];
                    break;
                }
            }
            if (!pPos) {
                *pnExit = UsageError("unexpected argument '%s'", strArg.c_str());
                return false;
            }
            ++iNextPositional;
            if (!pPos->fnSet(argv[i], &strWhy)) {
                *pnExit = UsageError("%s: %s", pPos->strName.c_str(), strWhy.c_str());
                return false;
            }
            pPos->bGiven = true;
            continue;
        }
        if (strArg == "--") {
            bOptionsEnded = true;
            continue;
        }
        if (strArg == "-h" || strArg == "--help") {
            PrintHelp();
            return false;
        }
        if (strArg == "-q" || strArg == "--quiet") {
            g_nVerbosity = 0;
            continue;
        }
        if (strArg == "-v" || strArg == "--verbose") {
            g_nVerbosity = 2;
            continue;
        }
        // "--name=value" or "--name value".
        std::string strName = strArg;
        const char* pszValue = nullptr;
        const size_t nEq = strArg.find('=');
        if (strArg.compare(0, 2, "--") == 0 && nEq != std::string::npos) {
            strName = strArg.substr(0, nEq);
            pszValue = argv[i] + nEq + 1;
        }
        SOption* pOpt = Find(strName);
        const bool bTrace = strName == "--trace" || strName == "--trace-file";
        if (!pOpt && !bTrace) {
            *pnExit = UsageError("unknown option %s", strName.c_str());
            return false;
        }
        if (pOpt && !pOpt->bValue) {
            if (pszValue) {
                *pnExit = UsageError("%s takes no value", strName.c_str());
                return false;
            }
            *pOpt->pbFlag = true;
            pOpt->bGiven = true;
            continue;
        }
        if (!pszValue) {
            if (i + 1 >= argc) {
                *pnExit = UsageError("%s: missing value", strName.c_str());
                return false;
            }
            pszValue = argv[++i];
        }
        bool bOk;
        if (strName == "--trace")
            bOk = SetTraceMask(pszValue, &strWhy);
        else if (strName == "--trace-file")
            bOk = *pszValue ? (SetTraceFile(pszValue), true) : (strWhy = "must not be empty", false);
        else
            bOk = pOpt->fnSet(pszValue, &strWhy);
        if (!bOk) {
            *pnExit = UsageError("%s: %s", strName.c_str(), strWhy.c_str());
            return false;
        }
        if (pOpt)
            pOpt->bGiven = true;
    }
    for (const SOption& opt : m_aOptions) {
        if (opt.bPositional && opt.bRequired && !opt.bGiven) {
            *pnExit = UsageError("missing %s", opt.strName.c_str());
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Messages

namespace {

void PrintV(const char* pszCommand, const char* pszFormat, va_list args)
{
    char sz[2048];
    vsnprintf(sz, sizeof(sz), pszFormat, args);
    fprintf(stderr, "kvudpsrc %s: %s\n", pszCommand, sz);
}

long long NowNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

}  // namespace

void PrintError(const char* pszCommand, const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    PrintV(pszCommand, pszFormat, args);
    va_end(args);
}

void PrintNote(const char* pszCommand, const char* pszFormat, ...)
{
    if (g_nVerbosity < 1)
        return;
    va_list args;
    va_start(args, pszFormat);
    PrintV(pszCommand, pszFormat, args);
    va_end(args);
}

void PrintDetail(const char* pszCommand, const char* pszFormat, ...)
{
    if (g_nVerbosity < 2)
        return;
    va_list args;
    va_start(args, pszFormat);
    PrintV(pszCommand, pszFormat, args);
    va_end(args);
}

std::string HrWords(HRESULT hr)
{
    // Codes made from errno read best as the system says them.
    static const int kErrnos[] = {ENOENT, EACCES, ENOSPC, EEXIST, EISDIR, ENAMETOOLONG, ELOOP, EMFILE, ENOTEMPTY,
                                  EPIPE};
    if (hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND))
        return strerror(ENOENT);  // ENOTDIR maps here too; a missing folder is the likely cause
    for (int nErr : kErrnos)
        if (hr == HrFromErrno(nErr))
            return strerror(nErr);
    // The table's forms: "NAME - Text", "WSANAME = Text" or "NAME".
    const std::string str = TraceHr(hr);
    size_t nSep = str.find(" - ");
    if (nSep == std::string::npos)
        nSep = str.find(" = ");
    return nSep == std::string::npos ? str : str.substr(nSep + 3);
}

// ---------------------------------------------------------------------------
// Progress

CProgress::CProgress(const char* pszCommand)
    : m_strCommand(pszCommand), m_bTerminal(isatty(STDERR_FILENO) == 1), m_llStartNs(NowNs()), m_llLastNs(m_llStartNs)
{
}

bool CProgress::Due()
{
    const long long llNow = NowNs();
    if (llNow - m_llLastNs < 1000000000LL)
        return false;
    m_llLastNs = llNow;
    return true;
}

double CProgress::Elapsed() const
{
    return static_cast<double>(NowNs() - m_llStartNs) / 1e9;
}

void CProgress::Line(const std::string& str)
{
    if (g_nVerbosity < 1)
        return;
    if (m_bTerminal) {
        fprintf(stderr, "\rkvudpsrc %s: %s\x1b[K", m_strCommand.c_str(), str.c_str());
        m_bOpenLine = true;
    } else {
        fprintf(stderr, "kvudpsrc %s: %s\n", m_strCommand.c_str(), str.c_str());
    }
    fflush(stderr);
}

void CProgress::Final(const std::string& str)
{
    if (g_nVerbosity < 1)
        return;
    if (m_bOpenLine)
        fputs("\r\x1b[K", stderr);
    m_bOpenLine = false;
    fprintf(stderr, "kvudpsrc %s: %s\n", m_strCommand.c_str(), str.c_str());
    fflush(stderr);
}

// ---------------------------------------------------------------------------
// Stop signals

namespace {

// Read by every thread of the command; a lock-free atomic is safe to set
// in a signal handler.
std::atomic<int> g_nStopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);
int g_fdStop[2] = {-1, -1};

void OnStopSignal(int nSig)
{
    const int nSavedErrno = errno;
    int nNone = 0;
    (void)g_nStopSignal.compare_exchange_strong(nNone, nSig);
    const char ch = 1;
    (void)!write(g_fdStop[1], &ch, 1);  // the pipe stays readable: never drained
    errno = nSavedErrno;
}

}  // namespace

void CStopSignal::Install()
{
    if (g_fdStop[0] < 0 && pipe2(g_fdStop, O_CLOEXEC | O_NONBLOCK) != 0) {
        g_fdStop[0] = g_fdStop[1] = -1;
    }
    struct sigaction sa = {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocking call returns EINTR
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int CStopSignal::Received()
{
    return g_nStopSignal.load();
}

int CStopSignal::Fd()
{
    return g_fdStop[0];
}

const char* CStopSignal::Name()
{
    switch (g_nStopSignal.load()) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "a signal";
    }
}

CStopWatcher::CStopWatcher(std::function<void()> fn)
{
    if (pipe2(m_fdQuit, O_CLOEXEC) != 0)
        m_fdQuit[0] = m_fdQuit[1] = -1;
    m_thread = std::thread([this, fn = std::move(fn)] {
        pollfd afd[2] = {{CStopSignal::Fd(), POLLIN, 0}, {m_fdQuit[0], POLLIN, 0}};
        for (;;) {
            const int n = poll(afd, 2, -1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 || (afd[1].revents & (POLLIN | POLLHUP)))
                return;
            if (afd[0].revents & POLLIN) {
                fn();
                return;
            }
        }
    });
}

CStopWatcher::~CStopWatcher()
{
    const char ch = 1;
    (void)!write(m_fdQuit[1], &ch, 1);
    m_thread.join();
    close(m_fdQuit[0]);
    close(m_fdQuit[1]);
}

// ---------------------------------------------------------------------------
// Files

int OpenOutput(const std::string& strPath)
{
    if (strPath == "-")
        return STDOUT_FILENO;
    return open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

bool WriteAll(int fd, const void* pv, size_t cb)
{
    const char* p = static_cast<const char*>(pv);
    while (cb > 0) {
        const ssize_t n = write(fd, p, cb);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        p += n;
        cb -= static_cast<size_t>(n);
    }
    return true;
}

std::string OutputName(const std::string& strPath)
{
    return strPath == "-" ? std::string("standard output") : strPath;
}

bool CheckWritableFolder(const std::string& strFolder, std::string* pstrWhy)
{
    struct stat st;
    if (stat(strFolder.c_str(), &st) != 0) {
        *pstrWhy = strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *pstrWhy = strerror(ENOTDIR);
        return false;
    }
    if (access(strFolder.c_str(), W_OK | X_OK) != 0) {
        *pstrWhy = strerror(errno);
        return false;
    }
    return true;
}
