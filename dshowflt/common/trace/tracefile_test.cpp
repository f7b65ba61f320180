#include "dshowflt/common/trace/tracefile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "dshowflt/common/commontest_util.h"

namespace {

const std::string kBom = "\xEF\xBB\xBF";

using commontest::ReadFileBytes;

class CTraceFileWriterTest : public commontest::CTempFolderTest
{
protected:
    CTraceFileWriter* Acquire(const std::string& strPath)
    {
        CTraceFileWriter* p = nullptr;
        EXPECT_EQ(CTraceFileWriter::Acquire(strPath, &p), S_OK);
        return p;
    }

    const std::string m_strPath = P("trace.txt");
};

TEST_F(CTraceFileWriterTest, NewFileGetsOneByteOrderMarkAndCrLf)
{
    CTraceFileWriter* p = Acquire(m_strPath);
    ASSERT_NE(p, nullptr);
    p->Append("\r\nA\nB", 5);
    EXPECT_EQ(p->Flush(), S_OK);
    EXPECT_EQ(ReadFileBytes(m_strPath), kBom + "\r\nA\r\nB");

    // Later flushes only append; a CR at the end of one batch and the LF at
    // the start of the next stay one pair.
    p->Append("\nC\r", 3);
    EXPECT_EQ(p->Flush(), S_OK);
    p->Append("\nD\r\n", 4);
    EXPECT_EQ(p->Flush(), S_OK);
    EXPECT_EQ(p->Flush(), S_FALSE);  // nothing pending
    EXPECT_EQ(ReadFileBytes(m_strPath), kBom + "\r\nA\r\nB\r\nC\r\nD\r\n");
    p->Release();
}

TEST_F(CTraceFileWriterTest, ExistingFileIsAppendedWithoutMark)
{
    std::ofstream(m_strPath, std::ios::binary) << "old\r\n";
    CTraceFileWriter* p = Acquire(m_strPath);
    ASSERT_NE(p, nullptr);
    p->Append("new\n", 4);
    EXPECT_EQ(p->Flush(), S_OK);
    EXPECT_EQ(ReadFileBytes(m_strPath), "old\r\nnew\r\n");
    p->Release();
}

TEST_F(CTraceFileWriterTest, FolderPathGetsAFileInside)
{
    CTraceFileWriter* p = Acquire(m_strDir);
    ASSERT_NE(p, nullptr);
    p->Append("x", 1);
    EXPECT_EQ(p->Flush(), S_OK);
    EXPECT_EQ(ReadFileBytes(m_strDir + "/" + CTraceFileWriter::kDefaultFileName), kBom + "x");
    p->Release();
}

TEST_F(CTraceFileWriterTest, OneWriterPerPathAndLastReleaseWrites)
{
    CTraceFileWriter* p1 = Acquire(m_strPath);
    CTraceFileWriter* p2 = Acquire(m_strPath);
    CTraceFileWriter* pOther = Acquire(m_strDir + "/other.txt");
    ASSERT_NE(p1, nullptr);
    EXPECT_EQ(p1, p2);
    EXPECT_NE(p1, pOther);

    p1->Append("one ", 4);
    p2->Append("two", 3);
    p1->Release();
    EXPECT_FALSE(ReadFileBytes(m_strPath).find("two") != std::string::npos);  // p2 still holds it
    p2->Release();
    EXPECT_EQ(ReadFileBytes(m_strPath), kBom + "one two");
    pOther->Release();

    // After the last release the path gets a fresh writer.
    CTraceFileWriter* p3 = Acquire(m_strPath);
    ASSERT_NE(p3, nullptr);
    p3->Append("!", 1);
    p3->Release();
    EXPECT_EQ(ReadFileBytes(m_strPath), kBom + "one two!");
}

TEST_F(CTraceFileWriterTest, FlushThreadWritesWithoutBeingAsked)
{
    struct CWait
    {
        std::mutex mtx;
        std::condition_variable cv;
        int cFlushes = 0;
    } wait;
    CTraceFileWriter::SetFlushHookForTest(
        [](void* pv) {
            CWait* p = static_cast<CWait*>(pv);
            std::lock_guard<std::mutex> lock(p->mtx);
            ++p->cFlushes;
            p->cv.notify_all();
        },
        &wait);

    CTraceFileWriter* p = Acquire(m_strPath);
    ASSERT_NE(p, nullptr);
    p->Append("timed", 5);
    {
        // Every flush thread in the process calls the hook; wait until ours
        // has written, at most 5 s (the period is 500 ms).
        std::unique_lock<std::mutex> lock(wait.mtx);
        const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (ReadFileBytes(m_strPath) != kBom + "timed" && std::chrono::steady_clock::now() < tEnd)
            wait.cv.wait_until(lock, tEnd);
    }
    EXPECT_EQ(ReadFileBytes(m_strPath), kBom + "timed");
    CTraceFileWriter::SetFlushHookForTest(nullptr, nullptr);
    p->Release();
}

TEST_F(CTraceFileWriterTest, FileHeldByAnotherWriterCostsOneFlush)
{
    // Another process's writer holds the file for longer than a flush waits.
    const int fd = open(m_strPath.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);

    CTraceFileWriter* p = Acquire(m_strPath);
    ASSERT_NE(p, nullptr);
    p->Append("lost", 4);
    const auto tStart = std::chrono::steady_clock::now();
    EXPECT_EQ(p->Flush(), HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
    EXPECT_GE(std::chrono::steady_clock::now() - tStart, std::chrono::milliseconds(CTraceFileWriter::kOpenRetryMs));
    EXPECT_EQ(ReadFileBytes(m_strPath), "");

    ASSERT_EQ(flock(fd, LOCK_UN), 0);
    close(fd);
    p->Append("kept", 4);
    EXPECT_EQ(p->Flush(), S_OK);
    EXPECT_EQ(ReadFileBytes(m_strPath), kBom + "kept");
    p->Release();
}

TEST_F(CTraceFileWriterTest, UnwritablePathFailsQuietly)
{
    CTraceFileWriter* p = Acquire(m_strDir + "/missing/trace.txt");
    ASSERT_NE(p, nullptr);
    p->Append("x", 1);
    EXPECT_EQ(p->Flush(), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(p->Flush(), S_FALSE);  // the text of the failed flush is gone
    p->Release();
}

}  // namespace
