// What every kvudpsrc subcommand shares: option parsing with its error
// messages, the common options (-h, -q, -v, --trace), numbers with size
// suffixes, messages on standard error, the progress line, stop signals and
// output files ("-" for standard output).
//
// Habits kept by every subcommand:
//   - usage errors name the option and the reason ("--files: at least 2")
//     and exit 2; --help prints the usage on standard output and exits 0;
//   - numbers are decimal only ("010" is ten); sizes take K, M, G or T,
//     1024-based (10M = 10485760);
//   - file errors name the path and the reason in words;
//   - SIGINT or SIGTERM ends the command cleanly with its final status line.
#pragma once

#include <cstdarg>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/hresult.h"

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// 0 with -q, 1 by default, 2 with -v.
extern int g_nVerbosity;

// --- Numbers --------------------------------------------------------------
// Each parser answers false with the reason in *pstrWhy ("at least 2").
// Decimal digits only, then an optional K, M, G or T (1024-based).
bool ParseSize(const char* psz, long long llMin, long long llMax, long long* pll, std::string* pstrWhy);
// Decimal digits with an optional minus sign; no suffix.
bool ParseInteger(const char* psz, long long llMin, long long llMax, long long* pll, std::string* pstrWhy);
// Decimal digits with an optional fraction ("2.5"); no sign, no exponent.
bool ParseDecimal(const char* psz, double dMin, double dMax, double* pd, std::string* pstrWhy);

// --- Options --------------------------------------------------------------
// Stores a value; false with the reason when the value is refused.
using FnSetOption = std::function<bool(const char* pszValue, std::string* pstrWhy)>;

FnSetOption SetSize(long long* pll, long long llMin, long long llMax);
FnSetOption SetInteger(long long* pll, long long llMin, long long llMax);
FnSetOption SetDecimal(double* pd, double dMin, double dMax);
FnSetOption SetString(std::string* pstr);
FnSetOption AddString(std::vector<std::string>* pv);

class COptions
{
public:
    // pszHelp is the command's usage text; the common options and the exit
    // statuses are appended when it is printed.
    COptions(const char* pszCommand, const char* pszHelp);

    // An option with a value, "--name VALUE" or "--name=VALUE" (and "-x VALUE"
    // when a short form is given).
    void Value(const char* pszName, const char* pszShort, FnSetOption fnSet);
    // An option without a value.
    void Flag(const char* pszName, const char* pszShort, bool* pb);
    // The next positional argument, in the order declared. A lone "-" is a
    // positional argument (standard output or input), so is anything after "--".
    void Positional(const char* pszName, bool bRequired, FnSetOption fnSet);

    // Parses argv (argv[0] is the command's name). False when the command
    // must end at once with *pnExit: 0 after --help, 2 after a usage error
    // (already reported).
    bool Parse(int argc, char** argv, int* pnExit);
    // Whether the option was given.
    bool Given(const char* pszName) const;
    // Reports a usage error found after parsing (a bad combination of
    // options) and answers kExitUsage.
    int UsageError(const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));

    void PrintHelp() const;

private:
    struct SOption
    {
        std::string strName;
        std::string strShort;
        bool bValue = false;
        bool bPositional = false;
        bool bRequired = false;
        bool bGiven = false;
        FnSetOption fnSet;
        bool* pbFlag = nullptr;
    };
    SOption* Find(const std::string& strName);

    std::string m_strCommand;
    const char* m_pszHelp;
    std::vector<SOption> m_aOptions;
};

// --- Messages -------------------------------------------------------------
// "kvudpsrc COMMAND: " and the text, on standard error. Errors are always
// printed; notes not with -q; details only with -v.
void PrintError(const char* pszCommand, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
void PrintNote(const char* pszCommand, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));
void PrintDetail(const char* pszCommand, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));

// A status in words: the system's text for an errno-based code ("No such
// file or directory"), else the status table's text, else its name.
std::string HrWords(HRESULT hr);

// The progress line of long work: at most one a second on standard error,
// rewritten in place on a terminal and one line each otherwise. -q
// silences it and the final line.
class CProgress
{
public:
    explicit CProgress(const char* pszCommand);
    // Whether a second has passed since the last line (or the start).
    bool Due();
    void Line(const std::string& str);
    // Ends the progress line and prints the final status.
    void Final(const std::string& str);
    // Seconds since construction.
    double Elapsed() const;

private:
    std::string m_strCommand;
    bool m_bTerminal;
    bool m_bOpenLine = false;
    long long m_llStartNs;
    long long m_llLastNs;
};

// --- Stop signals -----------------------------------------------------------
// SIGINT and SIGTERM set a flag and make a descriptor readable, so that a
// loop waiting in poll() wakes at once; SIGPIPE is ignored, so that a closed
// output is a write error (EPIPE) that the command reports.
class CStopSignal
{
public:
    static void Install();
    // 0, or the signal that asked us to stop.
    static int Received();
    // Readable (for good) once a stop signal has arrived.
    static int Fd();
    // "SIGINT", "SIGTERM".
    static const char* Name();
};

// Runs fn once, on a thread of its own, when a stop signal arrives: for work
// blocked in calls that a signal does not interrupt (a DVR read waiting for
// its writer). The destructor ends the thread without calling fn.
class CStopWatcher
{
public:
    explicit CStopWatcher(std::function<void()> fn);
    ~CStopWatcher();
    CStopWatcher(const CStopWatcher&) = delete;
    CStopWatcher& operator=(const CStopWatcher&) = delete;

private:
    int m_fdQuit[2] = {-1, -1};
    std::thread m_thread;
};

// --- Files ------------------------------------------------------------------
// Opens an output file for writing (created or truncated); "-" is standard
// output. -1 with errno set on failure.
int OpenOutput(const std::string& strPath);
// Writes everything; false with errno set on failure.
bool WriteAll(int fd, const void* pv, size_t cb);
// "standard output" for "-", else the path.
std::string OutputName(const std::string& strPath);
// Checks that strFolder is a folder we may create files in; false with the
// reason in *pstrWhy.
bool CheckWritableFolder(const std::string& strFolder, std::string* pstrWhy);
