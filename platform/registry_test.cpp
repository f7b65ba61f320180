#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "platform/file.h"
#include "platform/platformtrace.h"
#include "platform/regtestenv.h"

namespace {

const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
const HRESULT kCorrupt = HRESULT_FROM_WIN32(ERROR_BADDB);

std::mutex g_mtxTrace;
std::string g_strTrace;

void CaptureTrace(const char* psz)
{
    std::lock_guard<std::mutex> lock(g_mtxTrace);
    g_strTrace += psz;
}

class CRegistryTest : public ::testing::Test
{
protected:
    CRegistryTestEnv m_env;
};

}  // namespace

TEST_F(CRegistryTest, ValuesRoundTripThroughTheFileAndNamesIgnoreCase)
{
    ASSERT_EQ(RegSetString(HKEY_CLASSES_ROOT, u"CLSID\\{ABC}\\InprocServer32", nullptr, u"/opt/lib/ä \"q\"\\x.so"),
              S_OK);
    ASSERT_EQ(RegSetString(HKEY_CLASSES_ROOT, u"clsid\\{abc}\\INPROCSERVER32", u"ThreadingModel", u"Both"), S_OK);
    ASSERT_EQ(RegSetDword(HKEY_CLASSES_ROOT, u"\\CLSID\\{ABC}\\", u"Merit", 0x00200000), S_OK);
    {
        CRegTransaction t;
        ASSERT_EQ(t.Begin(HKEY_CLASSES_ROOT), S_OK);
        const BYTE kData[] = {0, 1, 0xFF, '\n', '"'};
        ASSERT_EQ(t.SetValue(u"CLSID\\{ABC}", u"Line\nBreak", REG_BINARY, kData, sizeof(kData)), S_OK);
        ASSERT_EQ(t.SetValue(u"CLSID\\{ABC}", u"Empty", REG_BINARY, nullptr, 0), S_OK);
        ASSERT_EQ(t.CreateKey(u"udp"), S_OK);
        ASSERT_EQ(t.CreateKey(u"UDP"), S_FALSE);
        ASSERT_EQ(t.Commit(), S_OK);
    }
    // Every lookup reads the file again, so these see what was written, not a cache.
    CWString str;
    ASSERT_EQ(RegGetString(HKEY_CLASSES_ROOT, u"Clsid\\{aBc}\\InprocServer32", u"", &str), S_OK);
    EXPECT_EQ(str, u"/opt/lib/ä \"q\"\\x.so");
    ASSERT_EQ(RegGetString(HKEY_CURRENT_USER, u"CLSID\\{ABC}\\InprocServer32", u"threadingmodel", &str), S_OK);
    EXPECT_EQ(str, u"Both");
    DWORD dw = 0;
    ASSERT_EQ(RegGetDword(HKEY_CLASSES_ROOT, u"CLSID\\{ABC}", u"MERIT", &dw), S_OK);
    EXPECT_EQ(dw, 0x00200000u);
    DWORD dwType = 0;
    std::vector<BYTE> v;
    ASSERT_EQ(RegGetValue(HKEY_CLASSES_ROOT, u"CLSID\\{ABC}", u"line\nbreak", &dwType, &v), S_OK);
    EXPECT_EQ(dwType, REG_BINARY);
    EXPECT_EQ(v, (std::vector<BYTE>{0, 1, 0xFF, '\n', '"'}));
    ASSERT_EQ(RegGetValue(HKEY_CLASSES_ROOT, u"CLSID\\{ABC}", u"Empty", &dwType, &v), S_OK);
    EXPECT_TRUE(v.empty());

    EXPECT_EQ(RegGetDword(HKEY_CLASSES_ROOT, u"CLSID\\{ABC}\\InprocServer32", u"ThreadingModel", &dw),
              HRESULT_FROM_WIN32(ERROR_UNSUPPORTED_TYPE));
    EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, u"CLSID\\{ABC}", u"Merit", &str), HRESULT_FROM_WIN32(ERROR_UNSUPPORTED_TYPE));
    EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, u"CLSID\\{ABC}", u"Missing", &str), kNotFound);
    EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, u"CLSID\\{ABD}", nullptr, &str), kNotFound);
    EXPECT_EQ(RegGetString(HKEY_LOCAL_MACHINE, u"CLSID\\{ABC}\\InprocServer32", nullptr, &str), kNotFound);

    EXPECT_EQ(RegKeyExists(HKEY_CLASSES_ROOT, u"udp"), S_OK);  // a key with no values
    EXPECT_EQ(RegKeyExists(HKEY_CLASSES_ROOT, u"clsid"), S_OK);  // only implied by a key below it
    EXPECT_EQ(RegKeyExists(HKEY_CLASSES_ROOT, u"CLS"), S_FALSE);
    std::vector<CWString> vNames;
    ASSERT_EQ(RegEnumSubKeys(HKEY_CLASSES_ROOT, nullptr, &vNames), S_OK);
    EXPECT_EQ(vNames, (std::vector<CWString>{u"CLSID", u"udp"}));
    ASSERT_EQ(RegEnumSubKeys(HKEY_CLASSES_ROOT, u"clsid\\{abc}", &vNames), S_OK);
    EXPECT_EQ(vNames, (std::vector<CWString>{u"InprocServer32"}));

    const std::string text = ReadTestFile(m_env.UserStore());
    EXPECT_EQ(text.rfind("KVREG 1\n", 0), 0u) << text;
    EXPECT_NE(text.find("\n[CLSID\\{ABC}\\InprocServer32]\n@=sz:\"/opt/lib/ä \\\"q\\\"\\\\x.so\"\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\"Merit\"=dword:00200000\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Line\\nBreak\"=hex:00,01,FF,0A,22\n"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 4), "END\n");
    EXPECT_FALSE(FileExists(Utf8ToWide(m_env.SystemStore()).c_str()));
}

TEST_F(CRegistryTest, ClassesRootMergesTheStoresAndWritesTheChosenOne)
{
    ASSERT_EQ(RegSetString(HKEY_LOCAL_MACHINE, u"udp", u"Source Filter", u"{SYSTEM}"), S_OK);
    ASSERT_EQ(RegSetString(HKEY_LOCAL_MACHINE, u"udp", u"Other", u"system"), S_OK);
    ASSERT_EQ(RegSetString(HKEY_LOCAL_MACHINE, u"TypeLib\\{L}", nullptr, u"lib"), S_OK);
    ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, u"UDP", u"source filter", u"{USER}"), S_OK);
    ASSERT_EQ(RegSetString(HKEY_CURRENT_USER, u"CLSID\\{X}", nullptr, u"x"), S_OK);

    CWString str;
    ASSERT_EQ(RegGetString(HKEY_CLASSES_ROOT, u"udp", u"Source Filter", &str), S_OK);
    EXPECT_EQ(str, u"{USER}");  // the user's value hides the system's
    ASSERT_EQ(RegGetString(HKEY_CLASSES_ROOT, u"udp", u"Other", &str), S_OK);
    EXPECT_EQ(str, u"system");  // other values of the key still come through
    std::vector<CWString> vNames;
    ASSERT_EQ(RegEnumSubKeys(HKEY_CLASSES_ROOT, u"", &vNames), S_OK);
    EXPECT_EQ(vNames, (std::vector<CWString>{u"CLSID", u"TypeLib", u"UDP"}));

    // The scope decides where HKEY_CLASSES_ROOT writes and deletes go.
    setenv("KVUDPSRC_REGISTRY_SCOPE", "system", 1);
    std::string strPath;
    ASSERT_EQ(GetRegistryStorePath(HKEY_CLASSES_ROOT, &strPath), S_OK);
    EXPECT_EQ(strPath, m_env.SystemStore());
    ASSERT_EQ(RegDeleteTree(HKEY_CLASSES_ROOT, u"udp"), S_OK);
    ASSERT_EQ(RegGetString(HKEY_CLASSES_ROOT, u"udp", u"Source Filter", &str), S_OK);
    EXPECT_EQ(str, u"{USER}");
    EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, u"udp", u"Other", &str), kNotFound);
    EXPECT_EQ(RegDeleteTree(HKEY_CLASSES_ROOT, u"CLSID\\{X}"), kNotFound);  // only in the user store
    setenv("KVUDPSRC_REGISTRY_SCOPE", "user", 1);
    ASSERT_EQ(GetRegistryStorePath(HKEY_CLASSES_ROOT, &strPath), S_OK);
    EXPECT_EQ(strPath, m_env.UserStore());
    EXPECT_EQ(RegDeleteTree(HKEY_CLASSES_ROOT, u"CLSID\\{X}"), S_OK);
    EXPECT_EQ(RegKeyExists(HKEY_CLASSES_ROOT, u"CLSID"), S_FALSE);

    // Without the variables the stores sit in the user's and the system's
    // configuration folders.
    unsetenv("KVUDPSRC_REGISTRY_USER");
    unsetenv("KVUDPSRC_REGISTRY_SYSTEM");
    setenv("XDG_CONFIG_HOME", "/nonexistent/cfg", 1);
    ASSERT_EQ(GetRegistryStorePath(HKEY_CURRENT_USER, &strPath), S_OK);
    EXPECT_EQ(strPath, "/nonexistent/cfg/kvudpsrc/registry");
    ASSERT_EQ(GetRegistryStorePath(HKEY_LOCAL_MACHINE, &strPath), S_OK);
    EXPECT_EQ(strPath.substr(strPath.size() - 18), "/kvudpsrc/registry");
    EXPECT_EQ(GetRegistryStorePath(static_cast<HKEY>(7), &strPath), E_INVALIDARG);
}

TEST_F(CRegistryTest, DeleteTreeTakesTheKeyAndWhatIsBelowItOnly)
{
    CRegTransaction t;
    ASSERT_EQ(t.Begin(HKEY_CLASSES_ROOT), S_OK);
    ASSERT_EQ(t.SetString(u"TypeLib\\{L}\\1.0", nullptr, u"lib"), S_OK);
    ASSERT_EQ(t.SetString(u"TypeLib\\{L}\\1.0\\0\\win32", nullptr, u"/a.so"), S_OK);
    ASSERT_EQ(t.SetString(u"TypeLib\\{L}x", nullptr, u"sibling with a common prefix"), S_OK);
    ASSERT_EQ(t.SetString(u"TypeLib\\{L}!", nullptr, u"sibling sorting before the separator"), S_OK);
    ASSERT_EQ(t.CreateKey(u"TypeLib\\{L}\\1.0\\FLAGS"), S_OK);
    EXPECT_EQ(t.DeleteKeyIfEmpty(u"TypeLib\\{L}\\1.0"), S_FALSE);  // has values and subkeys
    EXPECT_EQ(t.DeleteKeyIfEmpty(u"TypeLib\\{L}\\1.0\\FLAGS"), S_OK);
    EXPECT_EQ(t.DeleteValue(u"TypeLib\\{L}\\1.0", u""), S_OK);
    EXPECT_EQ(t.DeleteValue(u"TypeLib\\{L}\\1.0", u""), kNotFound);
    EXPECT_EQ(t.DeleteTree(u"typelib\\{l}"), S_OK);
    EXPECT_EQ(t.DeleteTree(u"typelib\\{l}"), kNotFound);
    EXPECT_EQ(t.KeyExists(u"TypeLib\\{L}\\1.0\\0"), S_FALSE);
    std::vector<CWString> vNames;
    ASSERT_EQ(t.EnumSubKeys(u"TypeLib", &vNames), S_OK);
    EXPECT_EQ(vNames, (std::vector<CWString>{u"{L}!", u"{L}x"}));
    ASSERT_EQ(t.Commit(), S_OK);
    EXPECT_EQ(t.Commit(), E_UNEXPECTED);

    // Names that would not survive the line format are refused.
    ASSERT_EQ(t.Begin(HKEY_CLASSES_ROOT), S_OK);
    EXPECT_EQ(t.CreateKey(u""), E_INVALIDARG);
    EXPECT_EQ(t.CreateKey(u"a\\\\b"), E_INVALIDARG);
    EXPECT_EQ(t.CreateKey(u"a\nb"), E_INVALIDARG);
    EXPECT_EQ(t.SetValue(u"a", nullptr, REG_DWORD, "12", 2), E_INVALIDARG);
    EXPECT_EQ(t.SetValue(u"a", nullptr, 99, "12", 2), E_INVALIDARG);
    // Not committed: nothing of it reaches the store.
}

TEST_F(CRegistryTest, CorruptOrCutShortStoresAreReportedAndNeverOverwritten)
{
    SetPlatformTraceSink(CaptureTrace);
    struct SCase
    {
        const char* pszText;
        int nLine;
    };
    const SCase kCases[] = {
        {"garbage\n", 1},
        {"KVREG 2\n[a]\nEND\n", 1},
        {"KVREG 1\n[a]\n@=sz:\"x\"\n", 3},  // no END: cut short
        {"KVREG 1\n@=sz:\"x\"\nEND\n", 2},
        {"KVREG 1\n[a]\n@=sz:\"x\nEND\n", 3},
        {"KVREG 1\n[a]\n@=sz:\"\\q\"\nEND\n", 3},
        {"KVREG 1\n[a]\n@=sz:\"\\x4\"\nEND\n", 3},
        {"KVREG 1\n[a]\n\"v\"=dword:123\nEND\n", 3},
        {"KVREG 1\n[a]\n\"v\"=dword:1234567G\nEND\n", 3},
        {"KVREG 1\n[a]\n\"v\"=hex:01,0\nEND\n", 3},
        {"KVREG 1\n[a]\n\"v\"=hex:01,\nEND\n", 3},
        {"KVREG 1\n[a]\n\"v\"=qword:01\nEND\n", 3},
        {"KVREG 1\n[a]\n\"\"=sz:\"x\"\nEND\n", 3},
        {"KVREG 1\n[a]\n\"v\"=sz:\"x\"\n\"V\"=sz:\"y\"\nEND\n", 4},
        {"KVREG 1\n[a\\\\b]\nEND\n", 2},
        {"KVREG 1\n[]\nEND\n", 2},
        {"KVREG 1\n[a]\nEND\n[b]\n", 4},
        {"KVREG 1\n[a]\n\"v\"=sz:\"x\" tail\nEND\n", 3},
    };
    for (const SCase& c : kCases) {
        WriteTestFile(m_env.UserStore(), c.pszText);
        g_strTrace.clear();
        CWString str;
        EXPECT_EQ(RegGetString(HKEY_CLASSES_ROOT, u"a", nullptr, &str), kCorrupt) << c.pszText;
        const std::string strLine = m_env.UserStore() + " line " + std::to_string(c.nLine) + ":";
        EXPECT_NE(g_strTrace.find(strLine), std::string::npos) << c.pszText << " -> " << g_strTrace;
        EXPECT_EQ(RegSetString(HKEY_CLASSES_ROOT, u"b", nullptr, u"x"), kCorrupt) << c.pszText;
        std::vector<CWString> v;
        EXPECT_EQ(RegEnumSubKeys(HKEY_CLASSES_ROOT, u"", &v), kCorrupt);
        EXPECT_EQ(ReadTestFile(m_env.UserStore()), c.pszText);  // left for the user to repair
    }

    // Every prefix of a good store is either that store (only the final line
    // feed missing) or reported corrupt; none reads as a smaller store.
    unlink(m_env.UserStore().c_str());
    {
        CRegTransaction t;
        ASSERT_EQ(t.Begin(HKEY_CLASSES_ROOT), S_OK);
        ASSERT_EQ(t.SetString(u"CLSID\\{K}\\InprocServer32", nullptr, u"/lib/x.so"), S_OK);
        ASSERT_EQ(t.SetString(u"CLSID\\{K}\\InprocServer32", u"ThreadingModel", u"Both"), S_OK);
        ASSERT_EQ(t.SetDword(u"CLSID\\{K}", u"Merit", 7), S_OK);
        ASSERT_EQ(t.Commit(), S_OK);
    }
    const std::string good = ReadTestFile(m_env.UserStore());
    for (size_t cb = 1; cb < good.size(); ++cb) {
        WriteTestFile(m_env.UserStore(), good.substr(0, cb));
        DWORD dw = 0;
        HRESULT hr = RegGetDword(HKEY_CLASSES_ROOT, u"CLSID\\{K}", u"Merit", &dw);
        if (cb == good.size() - 1) {
            EXPECT_EQ(hr, S_OK);
            EXPECT_EQ(dw, 7u);
        } else {
            EXPECT_EQ(hr, kCorrupt) << cb;
        }
    }
    // An empty file (created, never written) is an empty store.
    WriteTestFile(m_env.UserStore(), "");
    EXPECT_EQ(RegKeyExists(HKEY_CLASSES_ROOT, u"CLSID"), S_FALSE);
    EXPECT_EQ(RegSetString(HKEY_CLASSES_ROOT, u"b", nullptr, u"x"), S_OK);
    // A folder where the store should be cannot be read as one.
    unlink(m_env.UserStore().c_str());
    ASSERT_EQ(mkdir(m_env.UserStore().c_str(), 0700), 0);
    EXPECT_EQ(RegKeyExists(HKEY_CLASSES_ROOT, u"b"), kCorrupt);
    rmdir(m_env.UserStore().c_str());
    SetPlatformTraceSink(nullptr);
}

TEST_F(CRegistryTest, ConcurrentWritersInSeveralProcessesLoseNothing)
{
    constexpr int kProcesses = 3, kThreads = 2, kWrites = 15;
    pid_t pids[kProcesses];
    for (int p = 0; p < kProcesses; ++p) {
        pids[p] = fork();
        ASSERT_GE(pids[p], 0);
        if (pids[p] == 0) {
            int nFailed = 0;
            std::thread threads[kThreads];
            for (int t = 0; t < kThreads; ++t) {
                threads[t] = std::thread([&, t] {
                    for (int i = 0; i < kWrites; ++i) {
                        const std::string name = "w" + std::to_string(p) + "_" + std::to_string(t) + "_" + std::to_string(i);
                        if (RegSetDword(HKEY_CLASSES_ROOT, u"Writers", Utf8ToWide(name).c_str(), static_cast<DWORD>(i)) != S_OK)
                            ++nFailed;
                    }
                });
            }
            for (auto& th : threads)
                th.join();
            _exit(nFailed == 0 ? 0 : 1);
        }
    }
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int p = 0; p < kProcesses; ++p) {
        for (int t = 0; t < kThreads; ++t) {
            for (int i = 0; i < kWrites; ++i) {
                const std::string name = "w" + std::to_string(p) + "_" + std::to_string(t) + "_" + std::to_string(i);
                DWORD dw = 99;
                EXPECT_EQ(RegGetDword(HKEY_CLASSES_ROOT, u"Writers", Utf8ToWide(name).c_str(), &dw), S_OK) << name;
                EXPECT_EQ(dw, static_cast<DWORD>(i));
            }
        }
    }
    // No temporary files are left beside the store.
    int cEntries = 0;
    for (const auto& e : std::filesystem::directory_iterator(m_env.Folder()))
        cEntries += e.path().filename().string().rfind("user", 0) == 0 ? 1 : 0;
    EXPECT_EQ(cEntries, 2);  // the store and its lock file
}
