#include "dshowflt/common/dvr/filecache.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "platform/memfile.h"

namespace {

// A 230-byte file whose byte i is i, the size of a stub header.
std::vector<BYTE> Pattern(size_t cb)
{
    std::vector<BYTE> v(cb);
    for (size_t i = 0; i < cb; ++i)
        v[i] = static_cast<BYTE>(i * 7 + 1);
    return v;
}

class CFileCacheTest : public ::testing::Test
{
protected:
    void Open(std::vector<BYTE> data)
    {
        m_pMem = new CMemoryFile(std::move(data));
        m_pFault = new CFaultFile(m_pMem, true);
        ASSERT_EQ(m_cache.Attach(m_pFault, true), S_OK);
    }
    CFileCache m_cache;
    CMemoryFile* m_pMem = nullptr;
    CFaultFile* m_pFault = nullptr;
};

TEST_F(CFileCacheTest, FieldReadsAndSeeksReturnTheFilesBytes)
{
    const std::vector<BYTE> file = Pattern(230);
    Open(file);
    // 8 + 2 + 200 + 16 + 4 bytes, the fields of a stub header.
    BYTE ab[230];
    DWORD cbAt = 0;
    for (DWORD cb : {8u, 2u, 200u, 16u, 4u}) {
        ASSERT_EQ(m_cache.Read(ab + cbAt, cb), S_OK);
        cbAt += cb;
    }
    EXPECT_EQ(memcmp(ab, file.data(), 230), 0);
    EXPECT_EQ(m_cache.GetPosition(), 230);
    ASSERT_EQ(m_cache.Seek(10, FILE_BEGIN, nullptr), S_OK);
    ASSERT_EQ(m_cache.Read(ab, 2), S_OK);
    EXPECT_EQ(ab[0], file[10]);
    ASSERT_EQ(m_cache.SeekToCurrentPosition(), S_OK);
    ASSERT_EQ(m_cache.Read(ab, 2), S_OK);
    EXPECT_EQ(ab[0], file[12]);

    LONGLONG llPos = 0;
    ASSERT_EQ(m_cache.Seek(-30, FILE_END, &llPos), S_OK);
    EXPECT_EQ(llPos, 200);
    EXPECT_EQ(m_cache.Seek(-1, FILE_BEGIN, nullptr), HRESULT_FROM_WIN32(ERROR_SEEK));
    EXPECT_EQ(m_cache.GetPosition(), 200);
}

TEST_F(CFileCacheTest, SmallWriteChangesOnlyItsBytes)
{
    std::vector<BYTE> file = Pattern(230);
    Open(file);
    ASSERT_EQ(m_cache.Seek(10, FILE_BEGIN, nullptr), S_OK);
    const BYTE ab[2] = {0xAA, 0xBB};
    ASSERT_EQ(m_cache.Write(ab, 2), S_OK);  // filled the buffer first
    ASSERT_EQ(m_cache.Write(ab, 2), S_FALSE);  // then the buffer alone
    ASSERT_EQ(m_cache.Flush(), S_OK);
    file[10] = file[12] = 0xAA;
    file[11] = file[13] = 0xBB;
    EXPECT_EQ(m_pMem->Data(), file);

    // A write beyond the valid bytes never writes the gap from the buffer:
    // the file keeps its own bytes there.
    ASSERT_EQ(m_cache.Seek(0, FILE_BEGIN, nullptr), S_OK);
    BYTE abRead[4];
    ASSERT_EQ(m_cache.Read(abRead, 4), S_OK);
    ASSERT_EQ(m_cache.Seek(300, FILE_BEGIN, nullptr), S_OK);
    ASSERT_EQ(m_cache.Write(ab, 2), S_OK);
    ASSERT_EQ(m_cache.Flush(), S_OK);
    ASSERT_EQ(m_pMem->Data().size(), 302u);
    EXPECT_EQ(std::vector<BYTE>(m_pMem->Data().begin(), m_pMem->Data().begin() + 230), file);
    EXPECT_EQ(m_pMem->Data()[300], 0xAA);
}

TEST_F(CFileCacheTest, WriteThroughIsOneCallAndNeitherTheBufferNorAFlushUndoesIt)
{
    std::vector<BYTE> file = Pattern(230);
    Open(file);
    // The buffer holds the whole file, with a dirty byte at 5.
    ASSERT_EQ(m_cache.Seek(5, FILE_BEGIN, nullptr), S_OK);
    const BYTE bDirty = 0x11;
    ASSERT_EQ(m_cache.Write(&bDirty, 1), S_OK);
    const int nWrites = m_pFault->m_nWrites, nReads = m_pFault->m_nReads;
    const BYTE ab[3] = {0xA1, 0xA2, 0xA3};
    ASSERT_EQ(m_cache.WriteThrough(100, ab, 3), S_OK);
    EXPECT_EQ(m_pFault->m_nWriteAts, 1);
    EXPECT_EQ(m_pFault->m_nWrites, nWrites);
    EXPECT_EQ(m_pFault->m_nReads, nReads);
    EXPECT_EQ(m_cache.GetPosition(), 6);  // the logical position stays
    // Read back through the buffer, then flushed over the same range.
    BYTE abRead[3];
    ASSERT_EQ(m_cache.Seek(100, FILE_BEGIN, nullptr), S_OK);
    ASSERT_EQ(m_cache.Read(abRead, 3), S_OK);
    EXPECT_EQ(0, memcmp(abRead, ab, 3));
    ASSERT_EQ(m_cache.Flush(), S_OK);
    file[5] = bDirty;
    file[100] = 0xA1, file[101] = 0xA2, file[102] = 0xA3;
    EXPECT_EQ(m_pMem->Data(), file);
    // Past the buffer and the file's end it extends the file like a write.
    ASSERT_EQ(m_cache.WriteThrough(240, ab, 3), S_OK);
    ASSERT_EQ(m_pMem->Data().size(), 243u);
    EXPECT_EQ(m_pMem->Data()[242], 0xA3);
    EXPECT_EQ(m_cache.WriteThrough(-1, ab, 3), HRESULT_FROM_WIN32(ERROR_SEEK));
}

TEST_F(CFileCacheTest, ReadPastTheEndFailsAndAdvancesByWhatWasThere)
{
    Open(Pattern(230));
    ASSERT_EQ(m_cache.Seek(220, FILE_BEGIN, nullptr), S_OK);
    BYTE ab[20];
    EXPECT_EQ(m_cache.Read(ab, sizeof(ab)), HRESULT_FROM_WIN32(ERROR_READ_FAULT));
    EXPECT_EQ(m_cache.GetPosition(), 230);
    // The same through the bypass for large reads.
    std::vector<BYTE> big(10000);
    ASSERT_EQ(m_cache.Seek(100, FILE_BEGIN, nullptr), S_OK);
    EXPECT_EQ(m_cache.Read(big.data(), 10000), HRESULT_FROM_WIN32(ERROR_READ_FAULT));
    EXPECT_EQ(m_cache.GetPosition(), 230);
}

TEST_F(CFileCacheTest, LargeAccessesBypassTheBuffer)
{
    Open({});
    std::vector<BYTE> block = Pattern(8192);
    ASSERT_EQ(m_cache.Write(block.data(), 8192), S_OK);
    EXPECT_EQ(m_pMem->Data(), block);  // straight to the file, before any flush

    ASSERT_EQ(m_cache.Seek(0, FILE_BEGIN, nullptr), S_OK);
    std::vector<BYTE> back(8192);
    ASSERT_EQ(m_cache.Read(back.data(), 8192), S_OK);
    EXPECT_EQ(back, block);

    // A small write just after the large one lands in the right place.
    const BYTE b = 0x55;
    ASSERT_EQ(m_cache.Write(&b, 1), S_OK);
    ASSERT_EQ(m_cache.Flush(), S_OK);
    ASSERT_EQ(m_pMem->Data().size(), 8193u);
    EXPECT_EQ(m_pMem->Data()[8192], 0x55);
}

TEST_F(CFileCacheTest, FlushFailureEmptiesTheBufferAndReports)
{
    const std::vector<BYTE> file = Pattern(230);
    Open(file);
    ASSERT_EQ(m_cache.Seek(20, FILE_BEGIN, nullptr), S_OK);
    const BYTE ab[4] = {1, 2, 3, 4};
    ASSERT_EQ(m_cache.Write(ab, 4), S_OK);
    m_pFault->m_hrWriteError = HRESULT_FROM_WIN32(ERROR_DISK_FULL);
    EXPECT_EQ(m_cache.Flush(), HRESULT_FROM_WIN32(ERROR_DISK_FULL));
    // The lost bytes are not written again by a later flush.
    m_pFault->m_hrWriteError = S_OK;
    EXPECT_EQ(m_cache.Flush(), S_OK);
    EXPECT_EQ(m_pMem->Data(), file);

    // A write that stops short without an error is a write fault, through
    // the flush and through the bypass alike.
    ASSERT_EQ(m_cache.Seek(20, FILE_BEGIN, nullptr), S_OK);
    ASSERT_EQ(m_cache.Write(ab, 4), S_OK);
    m_pFault->m_cbWriteLimit = 3;
    m_pFault->m_bSilentShortWrite = true;
    EXPECT_EQ(m_cache.Flush(), HRESULT_FROM_WIN32(ERROR_WRITE_FAULT));
    m_pFault->m_cbWriteLimit = 100;
    std::vector<BYTE> big(9000);
    EXPECT_EQ(m_cache.Write(big.data(), 9000), HRESULT_FROM_WIN32(ERROR_WRITE_FAULT));

    // A failing read is reported as it is.
    m_pFault->m_hrReadError = HRESULT_FROM_WIN32(ERROR_READ_FAULT);
    ASSERT_EQ(m_cache.Seek(0, FILE_BEGIN, nullptr), S_OK);
    EXPECT_EQ(m_cache.Read(big.data(), 4), HRESULT_FROM_WIN32(ERROR_READ_FAULT));
}

TEST(CFileCacheAttachTest, WriteZerosReachTheFileWhenItIsDetached)
{
    CMemoryFile mem(Pattern(16));
    CFileCache cache;
    ASSERT_EQ(cache.Attach(&mem, false), S_OK);
    ASSERT_EQ(cache.Seek(4, FILE_BEGIN, nullptr), S_OK);
    ASSERT_EQ(cache.WriteZeros(0), S_OK);
    ASSERT_EQ(cache.WriteZeros(8), S_OK);
    EXPECT_EQ(cache.GetPosition(), 12);
    EXPECT_EQ(mem.Data(), Pattern(16));  // still in the buffer
    ASSERT_EQ(cache.Attach(nullptr, false), S_OK);
    std::vector<BYTE> expected = Pattern(16);
    std::fill(expected.begin() + 4, expected.begin() + 12, 0);
    EXPECT_EQ(mem.Data(), expected);
    BYTE b;
    EXPECT_EQ(cache.Read(&b, 1), E_UNEXPECTED);
}

}  // namespace
