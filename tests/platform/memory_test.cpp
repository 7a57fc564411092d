/*
 * memory_test.cpp - memory handles: zero fill, lock counts, realloc that
 * keeps content, and misuse (double free, free while locked, stale
 * handle) caught and reported rather than undefined.
 */
#include <cstring>

#include "test_support.h"
#include "vq_runtime.h"

namespace {

class MemoryTest : public vqtest::PlatformTest {};

TEST_F(MemoryTest, AllocIsZeroFilledAndCounted)
{
    DHANDLE h = NULLHANDLE;
    ASSERT_EQ(OSMemAlloc(BLK_MEM_ALLOC, 4096, &h), NOERROR);
    EXPECT_NE(h, NULLHANDLE);
    EXPECT_EQ(vqtest::HandleCount(vqtest::HandleKind::Memory), 1u);
    auto *p = static_cast<unsigned char *>(OSLockObject(h));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 4096; ++i)
        ASSERT_EQ(p[i], 0) << "byte " << i;
    DWORD size = 0;
    EXPECT_EQ(OSMemGetSize(h, &size), NOERROR);
    EXPECT_EQ(size, 4096u);
    OSUnlockObject(h);
    EXPECT_EQ(OSMemFree(h), NOERROR);
    EXPECT_EQ(vqtest::HandleCount(vqtest::HandleKind::Memory), 0u);
}

TEST_F(MemoryTest, LocksAreCountedAndUnlockIsClamped)
{
    DHANDLE h = NULLHANDLE;
    ASSERT_EQ(OSMemAlloc(BLK_MEM_ALLOC, 16, &h), NOERROR);
    void *a = OSLockObject(h);
    void *b = OSLockObject(h);
    EXPECT_EQ(a, b);
    OSUnlockObject(h);
    /* Still locked once: the free is refused and reported. */
    EXPECT_EQ(OSMemFree(h), ERR_LOCKED);
    ExpectMisuses(1);
    EXPECT_EQ(vqtest::HandleCount(vqtest::HandleKind::Memory), 1u);
    OSUnlockObject(h);
    /* Unlocking an unlocked object does nothing and is no misuse. */
    EXPECT_TRUE(OSUnlockObject(h));
    ExpectMisuses(0);
    EXPECT_EQ(OSMemFree(h), NOERROR);
}

TEST_F(MemoryTest, MisuseOfDeadHandlesIsReported)
{
    DHANDLE h = NULLHANDLE;
    ASSERT_EQ(OSMemAlloc(BLK_MEM_ALLOC, 8, &h), NOERROR);
    ASSERT_EQ(OSMemFree(h), NOERROR);

    EXPECT_EQ(OSMemFree(h), ERR_INVALID_HANDLE); /* double free */
    EXPECT_EQ(OSLockObject(h), nullptr);         /* use after free */
    EXPECT_EQ(OSMemRealloc(h, 100), ERR_INVALID_HANDLE);
    EXPECT_EQ(OSMemFree(NULLHANDLE), ERR_INVALID_HANDLE);
    ExpectMisuses(4);
}

TEST_F(MemoryTest, ReallocKeepsContentLockedOrNot)
{
    struct Case {
        bool locked;
        DWORD from, to;
    };
    const Case cases[] = {{false, 10, 100000}, {true, 10, 100000}, {false, 1000, 5}, {true, 0, 64}, {false, 0, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "locked " << c.locked << " " << c.from << "->" << c.to);
        DHANDLE h = NULLHANDLE;
        ASSERT_EQ(OSMemAlloc(BLK_MEM_ALLOC, c.from, &h), NOERROR);
        auto *p = static_cast<unsigned char *>(OSLockObject(h));
        ASSERT_NE(p, nullptr); /* a zero-size object too */
        for (DWORD i = 0; i < c.from; ++i)
            p[i] = (unsigned char)(i * 7 + 1);
        if (!c.locked)
            OSUnlockObject(h);
        ASSERT_EQ(OSMemRealloc(h, c.to), NOERROR);
        p = static_cast<unsigned char *>(OSLockObject(h)); /* pointers are fetched again */
        const DWORD kept = c.from < c.to ? c.from : c.to;
        for (DWORD i = 0; i < kept; ++i)
            ASSERT_EQ(p[i], (unsigned char)(i * 7 + 1)) << "byte " << i;
        for (DWORD i = kept; i < c.to; ++i)
            ASSERT_EQ(p[i], 0) << "grown byte " << i;
        DWORD size = 0;
        OSMemGetSize(h, &size);
        EXPECT_EQ(size, c.to);
        OSUnlockObject(h);
        if (c.locked)
            OSUnlockObject(h);
        EXPECT_EQ(OSMemFree(h), NOERROR);
    }
}

TEST_F(MemoryTest, LargeObjectsUpTo64MB)
{
    DHANDLE h = NULLHANDLE;
    ASSERT_EQ(OSMemAlloc(BLK_MEM_ALLOC, 64u * 1024 * 1024, &h), NOERROR);
    auto *p = static_cast<unsigned char *>(OSLockObject(h));
    p[64u * 1024 * 1024 - 1] = 0xAB;
    OSUnlockObject(h);
    EXPECT_EQ(OSMemFree(h), NOERROR);

    DHANDLE big = NULLHANDLE;
    EXPECT_EQ(OSMemAlloc(BLK_MEM_ALLOC, 64u * 1024 * 1024 + 1, &big), ERR_MEMORY);
    EXPECT_EQ(big, NULLHANDLE);
}

TEST_F(MemoryTest, BlockMacrosReachIntoTheObject)
{
    DHANDLE h = NULLHANDLE;
    ASSERT_EQ(OSMemAlloc(BLK_MEM_ALLOC, 32, &h), NOERROR);
    BLOCKID b = {h, 8};
    *OSLockBlock(char, b) = 'x';
    OSUnlockBlock(b);
    EXPECT_EQ(static_cast<char *>(OSLockObject(h))[8], 'x');
    OSUnlockObject(h);
    EXPECT_EQ(OSMemFree(h), NOERROR);
}

}  // namespace
