#include <gtest/gtest.h>

#include "platform/sync.h"

// A duplicate is the same object under another number: an auto-reset event
// set through one is consumed through the other, and either survives the
// other being closed.
TEST(SyncDuplicate, DuplicateSharesTheObjectAndItsKind)
{
    const HANDLE h = CreateEvent(FALSE, FALSE);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    HANDLE hDup = INVALID_HANDLE_VALUE;
    ASSERT_EQ(DuplicateHandle(h, &hDup), S_OK);
    ASSERT_NE(hDup, h);

    ASSERT_TRUE(SetEvent(h));
    EXPECT_EQ(WaitForSingleObject(hDup, 1000), WAIT_OBJECT_0);
    // Consumed by the winner, like the original: not a readable descriptor.
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);

    ASSERT_TRUE(CloseHandle(h));
    ASSERT_TRUE(SetEvent(hDup));
    EXPECT_EQ(WaitForSingleObject(hDup, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(hDup, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(hDup));

    HANDLE hBad = 0;
    EXPECT_TRUE(FAILED(DuplicateHandle(INVALID_HANDLE_VALUE, &hBad)));
    EXPECT_EQ(hBad, INVALID_HANDLE_VALUE);
}
