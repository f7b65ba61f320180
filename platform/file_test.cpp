#include "platform/file.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

class CFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        char sz[] = "/tmp/kvfile_XXXXXX";
        ASSERT_NE(mkdtemp(sz), nullptr);
        m_strDir = sz;
    }
    void TearDown() override { (void)system(("rm -rf '" + m_strDir + "'").c_str()); }

    CWString W(const std::string& strName) const { return Utf8ToWide(m_strDir + "/" + strName); }
    std::string ReadAll(const std::string& strName) const
    {
        std::ifstream f(m_strDir + "/" + strName, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }

    std::string m_strDir;
};

TEST_F(CFileTest, SecondExclusiveOpenIsRefusedWhileTheFirstIsHeld)
{
    const CWString strPath = W("Capture.KBL");
    CPlatformFile first;
    ASSERT_EQ(first.Open(strPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_NONE, OPEN_ALWAYS), S_OK);

    CPlatformFile second;
    EXPECT_EQ(second.Open(strPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_NONE, OPEN_ALWAYS),
              HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
    // A shared open is refused too while the exclusive one is held.
    EXPECT_EQ(second.Open(strPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
              HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));

    // Another process is refused as well.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        CPlatformFile other;
        HRESULT hr = other.Open(strPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_NONE, OPEN_ALWAYS);
        _exit(hr == HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION) ? 0 : 1);
    }
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0);

    first.Close();
    EXPECT_EQ(second.Open(strPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_NONE, OPEN_ALWAYS), S_OK);
    // Shared opens coexist, and refuse an exclusive one while they are held.
    second.Close();
    CPlatformFile a, b;
    EXPECT_EQ(a.Open(strPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING), S_OK);
    EXPECT_EQ(b.Open(strPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
              S_OK);
    CPlatformFile c;
    EXPECT_EQ(c.Open(strPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_NONE, OPEN_ALWAYS),
              HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
}

TEST_F(CFileTest, CreationNeverFollowsAPlantedLinkAndIsPrivate)
{
    const std::string strTarget = m_strDir + "/victim";
    { std::ofstream(strTarget) << "keep me"; }
    ASSERT_EQ(symlink(strTarget.c_str(), (m_strDir + "/Capture_0.KRC").c_str()), 0);

    CPlatformFile file;
    for (DWORD dwDisp : {CREATE_ALWAYS, OPEN_ALWAYS, OPEN_EXISTING}) {
        HRESULT hr = file.Open(W("Capture_0.KRC").c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, dwDisp);
        EXPECT_TRUE(FAILED(hr)) << dwDisp;
    }
    EXPECT_EQ(ReadAll("victim"), "keep me");
    // Reading through a link is allowed: it cannot change the target.
    EXPECT_EQ(file.Open(W("Capture_0.KRC").c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), S_OK);
    file.Close();

    // A file made anew is readable by its owner only, even one that replaces
    // a world-readable file.
    { std::ofstream(m_strDir + "/open.KBL") << "old"; }
    chmod((m_strDir + "/open.KBL").c_str(), 0644);
    ASSERT_EQ(file.Open(W("open.KBL").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS), S_OK);
    ASSERT_EQ(file.Open(W("new.KRC").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS), S_OK);
    struct stat st;
    ASSERT_EQ(stat((m_strDir + "/open.KBL").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 0);
    ASSERT_EQ(stat((m_strDir + "/new.KRC").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);
}

TEST_F(CFileTest, ReadWriteSeekAndEndOfFile)
{
    CPlatformFile file;
    const CWString strPath = W("data");
    ASSERT_EQ(file.Open(strPath.c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    ASSERT_EQ(file.Open(strPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS), S_OK);
    DWORD cb = 0;
    ASSERT_EQ(file.Write("0123456789", 10, &cb), S_OK);
    EXPECT_EQ(cb, 10u);
    LONGLONG llPos = -1;
    ASSERT_EQ(file.Seek(-4, FILE_END, &llPos), S_OK);
    EXPECT_EQ(llPos, 6);
    char sz[16] = {};
    ASSERT_EQ(file.Read(sz, sizeof(sz), &cb), S_OK);  // short only at the end
    EXPECT_EQ(cb, 4u);
    EXPECT_STREQ(sz, "6789");
    EXPECT_EQ(file.Seek(-1, FILE_BEGIN, nullptr), HRESULT_FROM_WIN32(ERROR_SEEK));
    ASSERT_EQ(file.Seek(3, FILE_BEGIN, nullptr), S_OK);
    ASSERT_EQ(file.SetEndOfFile(), S_OK);
    LONGLONG llSize = 0;
    ASSERT_EQ(file.GetSize(&llSize), S_OK);
    EXPECT_EQ(llSize, 3);
    file.Close();
    EXPECT_EQ(file.Read(sz, 1, &cb), E_HANDLE);

    EXPECT_TRUE(FileExists(strPath.c_str()));
    EXPECT_EQ(DeleteFile(strPath.c_str()), S_OK);
    EXPECT_FALSE(FileExists(strPath.c_str()));
    EXPECT_EQ(DeleteFile(strPath.c_str()), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));

    EXPECT_EQ(CreateFolder(W("sub").c_str()), S_OK);
    EXPECT_EQ(CreateFolder(W("sub").c_str()), S_FALSE);
    EXPECT_EQ(CreateFolder(W("missing/sub").c_str()), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(file.Open(W("sub").c_str(), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING),
              HRESULT_FROM_WIN32(ERROR_DIRECTORY));
}

TEST_F(CFileTest, GatheredAndPositionedWritesLandWhereAPlainWriteWould)
{
    CPlatformFile file;
    ASSERT_EQ(file.Open(W("data").c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS), S_OK);
    // More pieces than one system call takes, an empty one among them.
    std::string strExpected;
    std::vector<std::string> aParts;
    for (int i = 0; i < 150; ++i)
        aParts.push_back(i == 7 ? std::string() : std::string(static_cast<size_t>(1 + i % 5), static_cast<char>('a' + i % 26)));
    std::vector<FileChunk> aChunks;
    for (const std::string& s : aParts) {
        aChunks.push_back({reinterpret_cast<const BYTE*>(s.data()), static_cast<DWORD>(s.size())});
        strExpected += s;
    }
    DWORD cb = 0;
    ASSERT_EQ(file.Write("<", 1, &cb), S_OK);
    ASSERT_EQ(file.WriteGather(aChunks.data(), static_cast<int>(aChunks.size()), &cb), S_OK);
    EXPECT_EQ(cb, strExpected.size());
    // A positioned write changes its bytes and leaves the pointer alone.
    ASSERT_EQ(file.WriteAt(1, "XY", 2, &cb), S_OK);
    ASSERT_EQ(file.Write(">", 1, &cb), S_OK);
    LONGLONG llPos = 0;
    ASSERT_EQ(file.Seek(0, FILE_CURRENT, &llPos), S_OK);
    EXPECT_EQ(llPos, static_cast<LONGLONG>(strExpected.size() + 2));
    file.Close();
    strExpected = "<" + strExpected + ">";
    strExpected.replace(1, 2, "XY");
    EXPECT_EQ(ReadAll("data"), strExpected);
    EXPECT_EQ(file.WriteGather(aChunks.data(), 1, &cb), E_HANDLE);
    EXPECT_EQ(file.WriteAt(0, "x", 1, &cb), E_HANDLE);
}

TEST(PathTest, HelpersAcceptBothSeparators)
{
    EXPECT_EQ(PathFileName(u"C:\\buf\\Capture_3.KRC"), u"Capture_3.KRC");
    EXPECT_EQ(PathFileName(u"a/b\\c.KRC"), u"c.KRC");
    EXPECT_EQ(PathFileName(u"c.KRC"), u"c.KRC");
    EXPECT_EQ(PathFolder(u"/tmp/x/Capture.KBL"), u"/tmp/x");
    EXPECT_EQ(PathFolder(u"/Capture.KBL"), u"/");
    EXPECT_EQ(PathFolder(u"Capture.KBL"), u"");
    EXPECT_EQ(PathJoin(u"/tmp/", u"a"), u"/tmp/a");
    EXPECT_EQ(PathJoin(u"/tmp", u"/a"), u"/tmp/a");
    EXPECT_EQ(PathJoin(u"", u"a"), u"a");
    EXPECT_TRUE(PathIsRelative(u"..\\rec\\a.KRC"));
    EXPECT_FALSE(PathIsRelative(u"\\rec\\a.KRC"));
    EXPECT_FALSE(PathIsRelative(u"D:\\rec\\a.KRC"));
    EXPECT_FALSE(PathIsRelative(u"/rec/a.KRC"));
    EXPECT_EQ(PathToNative(u"..\\rec\\a.KRC"), u"../rec/a.KRC");
}

TEST(PathTest, RelativeAndAbsolutePaths)
{
    EXPECT_EQ(PathRelativeTo(u"/data/buf", u"/data/buf/a.KRC"), u"a.KRC");
    EXPECT_EQ(PathRelativeTo(u"/data/buf", u"/data/rec/a.KRC"), u"../rec/a.KRC");
    EXPECT_EQ(PathRelativeTo(u"/data/buf/x", u"/other/a.KRC"), u"../../../other/a.KRC");
    EXPECT_EQ(PathRelativeTo(u"/data", u"/data/1/2/a.KRC"), u"1/2/a.KRC");
    // Component-wise: /data/bu is not a prefix folder of /data/buf.
    EXPECT_EQ(PathRelativeTo(u"/data/bu", u"/data/buf/a.KRC"), u"../buf/a.KRC");

    CWString str;
    ASSERT_EQ(PathMakeAbsolute(u"/a/./b/../c//d", &str), S_OK);
    EXPECT_EQ(str, u"/a/c/d");
    ASSERT_EQ(PathMakeAbsolute(u"/../..", &str), S_OK);
    EXPECT_EQ(str, u"/");
    CWString strCwd;
    ASSERT_EQ(GetCurrentFolder(&strCwd), S_OK);
    ASSERT_EQ(PathMakeAbsolute(u"x\\y.KBL", &str), S_OK);
    CWString strExpected;
    ASSERT_EQ(PathMakeAbsolute(strCwd + u"/x/y.KBL", &strExpected), S_OK);
    EXPECT_EQ(str, strExpected);

    EXPECT_TRUE(PathsOnSameFileSystem(strCwd, strCwd + u"/not/yet/there"));
    EXPECT_FALSE(PathsOnSameFileSystem(u"/proc/self", u"/"));  // procfs is its own file system
}

TEST(PathTest, TempFolderFollowsTmpdir)
{
    const char* pszOld = getenv("TMPDIR");
    const std::string strOld = pszOld ? pszOld : "";
    CWString str;
    setenv("TMPDIR", "/var/tmp/", 1);
    ASSERT_EQ(GetTempFolder(&str), S_OK);
    EXPECT_EQ(str, u"/var/tmp");
    setenv("TMPDIR", "", 1);
    ASSERT_EQ(GetTempFolder(&str), S_OK);
    EXPECT_EQ(str, u"/tmp");
    if (pszOld)
        setenv("TMPDIR", strOld.c_str(), 1);
    else
        unsetenv("TMPDIR");
}

}  // namespace
