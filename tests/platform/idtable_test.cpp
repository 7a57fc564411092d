/*
 * idtable_test.cpp - ID tables: inserts report whether the ID was new,
 * enumeration is ascending and stops at the routine's status, a routine
 * may change the table it walks, and stale handles are refused.
 */
#include <vector>

#include "test_support.h"
#include "vq_nsf.h"

namespace {

class IdTableTest : public vqtest::PlatformTest {};

STATUS Collect(void *p, DWORD id)
{
    static_cast<std::vector<DWORD> *>(p)->push_back(id);
    return NOERROR;
}

TEST_F(IdTableTest, InsertsAreSortedAndDuplicatesReported)
{
    DHANDLE t = NULLHANDLE;
    ASSERT_EQ(IDCreateTable(sizeof(NOTEID), &t), NOERROR);
    EXPECT_EQ(vqtest::HandleCount(vqtest::HandleKind::IdTable), 1u);
    struct Case {
        DWORD id;
        BOOL wantInserted;
    };
    const Case cases[] = {{42, TRUE}, {7, TRUE}, {0xFFFFFFFFu, TRUE}, {42, FALSE}, {1, TRUE}, {7, FALSE}};
    for (const auto &c : cases) {
        BOOL inserted = 99;
        EXPECT_EQ(IDInsert(t, c.id, &inserted), NOERROR);
        EXPECT_EQ(inserted, c.wantInserted) << c.id;
    }
    EXPECT_EQ(IDInsert(t, 3, nullptr), NOERROR);
    EXPECT_EQ(IDEntries(t), 5u);
    std::vector<DWORD> got;
    EXPECT_EQ(IDEnumerate(t, Collect, &got), NOERROR);
    EXPECT_EQ(got, (std::vector<DWORD>{1, 3, 7, 42, 0xFFFFFFFFu}));
    EXPECT_EQ(IDDestroyTable(t), NOERROR);
}

TEST_F(IdTableTest, EnumerationStopsAtTheRoutinesStatus)
{
    DHANDLE t = NULLHANDLE;
    ASSERT_EQ(IDCreateTable(0, &t), NOERROR);
    for (DWORD id : {5u, 1u, 3u})
        IDInsert(t, id, nullptr);
    std::vector<DWORD> got;
    auto stopAt3 = [](void *p, DWORD id) -> STATUS {
        static_cast<std::vector<DWORD> *>(p)->push_back(id);
        return id == 3 ? ERR_NOT_FOUND : NOERROR;
    };
    EXPECT_EQ(IDEnumerate(t, stopAt3, &got), ERR_NOT_FOUND);
    EXPECT_EQ(got, (std::vector<DWORD>{1, 3}));
    IDDestroyTable(t);
}

TEST_F(IdTableTest, RoutineMayGrowTheTableItWalks)
{
    DHANDLE t = NULLHANDLE;
    ASSERT_EQ(IDCreateTable(0, &t), NOERROR);
    IDInsert(t, 10, nullptr);
    IDInsert(t, 20, nullptr);
    struct Ctx {
        DHANDLE t;
        std::vector<DWORD> seen;
    } ctx{t, {}};
    auto grow = [](void *p, DWORD id) -> STATUS {
        Ctx *c = static_cast<Ctx *>(p);
        c->seen.push_back(id);
        return IDInsert(c->t, id + 1, nullptr);
    };
    EXPECT_EQ(IDEnumerate(t, grow, &ctx), NOERROR);
    EXPECT_EQ(ctx.seen, (std::vector<DWORD>{10, 20}));
    EXPECT_EQ(IDEntries(t), 4u);
    IDDestroyTable(t);
}

TEST_F(IdTableTest, EmptyAndStaleTables)
{
    DHANDLE t = NULLHANDLE;
    ASSERT_EQ(IDCreateTable(0, &t), NOERROR);
    std::vector<DWORD> got;
    EXPECT_EQ(IDEnumerate(t, Collect, &got), NOERROR);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(IDEntries(t), 0u);
    ASSERT_EQ(IDDestroyTable(t), NOERROR);
    const std::size_t before = vqtest::MisuseCount();
    EXPECT_EQ(IDDestroyTable(t), ERR_INVALID_HANDLE);
    EXPECT_EQ(IDInsert(t, 1, nullptr), ERR_INVALID_HANDLE);
    EXPECT_EQ(vqtest::MisuseCount(), before + 2);
    misuses_at_start_ = vqtest::MisuseCount();
}

}  // namespace
