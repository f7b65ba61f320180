#include "dshowflt/common/buffer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

int g_nReallocBudget = 0;
void* CountedRealloc(void* p, size_t cb)
{
    if (g_nReallocBudget-- <= 0)
        return nullptr;
    return realloc(p, cb);
}
void PlainFree(void* p) { free(p); }

}  // namespace

TEST(CBufferTest, ReserveGrowsToExactSizeAndNeverShrinks)
{
    CBuffer buf;
    ASSERT_EQ(buf.Reserve(100), S_OK);
    EXPECT_EQ(buf.Capacity(), 100);
    ASSERT_EQ(buf.Reserve(10), S_OK);
    EXPECT_EQ(buf.Capacity(), 100);
    ASSERT_EQ(buf.Append("abc", 3), S_OK);
    buf.Empty();
    EXPECT_EQ(buf.Length(), 0);
    EXPECT_EQ(buf.Capacity(), 100);
    buf.Free();
    EXPECT_EQ(buf.Capacity(), 0);
    EXPECT_EQ(buf.Data(), nullptr);
}

TEST(CBufferTest, AppendsKeepContentAndTextStaysTerminated)
{
    CBuffer buf;
    ASSERT_EQ(buf.Append("ab", 2), S_OK);
    ASSERT_EQ(buf.AppendByte('c'), S_OK);
    ASSERT_EQ(buf.AppendFormat("-%d-%s", 42, "x"), S_OK);
    EXPECT_EQ(buf.Length(), 8);
    EXPECT_STREQ(reinterpret_cast<char*>(buf.Data()), "abc-42-x");
    ASSERT_EQ(buf.AppendWide(u"\u00e9t\u00e9"), S_OK);
    EXPECT_EQ(buf.Length(), 8 + 5);
    EXPECT_EQ(buf.ToWideString(), CWString(u"abc-42-x\u00e9t\u00e9"));
    EXPECT_EQ(buf.Data()[buf.Length()], 0);
}

TEST(CBufferTest, AllocationFailureLeavesContentIntact)
{
    CBuffer buf(PlainFree, CountedRealloc);
    g_nReallocBudget = 1;
    ASSERT_EQ(buf.Append("hello", 5), S_OK);
    EXPECT_EQ(buf.Append(" world", 6), E_OUTOFMEMORY);
    EXPECT_EQ(buf.AppendFormat("%s", "more"), E_OUTOFMEMORY);
    EXPECT_EQ(buf.Length(), 5);
    EXPECT_EQ(memcmp(buf.Data(), "hello", 5), 0);
    EXPECT_EQ(buf.Reserve(-1), E_INVALIDARG);
    EXPECT_EQ(buf.Append(nullptr, 3), E_INVALIDARG);
    EXPECT_EQ(buf.SetLength(6), E_INVALIDARG);
}
