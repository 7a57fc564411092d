/*
 * unique_name_test.cpp - GetUniqueFileName: the lowest number whose file
 * the writer cannot take, and 13078 with an empty name when none is left.
 * (The 260-byte limit of the joined name: tests/gateway/spool_layout_test.)
 */
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "unique_name.h"
#include "vortiq.h"

namespace {

TEST(UniqueName, LowestFreeNumber)
{
    struct Case {
        std::vector<std::string> present;
        std::string ext, want;
        long limit = VQ_UNIQUE_NAME_COUNT;
    } cases[] = {
        {{}, "INC", "00000000.INC"},
        {{"00000000.INC", "00000002.INC"}, "INC", "00000001.INC"},
        {{"00000000", "00000000.TMP"}, "INC", "00000000.INC"},
        {{"00000000.INC"}, "", "00000000"},
        {{"00000000", "00000001"}, "", "00000002"},
        /* a directory of that name cannot be taken: it is free */
        {{"00000000.INC/"}, "INC", "00000000.INC"},
        {{"00000000.INC", "00000001.INC"}, "INC", "00000002.INC", 3},
        {{"00000000.INC", "00000001.INC", "00000002.INC"}, "INC", "", 3},
    };
    for (const auto &c : cases) {
        vqtest::TempDir dir;
        SCOPED_TRACE(c.present.size());
        for (const auto &n : c.present) {
            if (n.back() == '/')
                mkdir((dir / n).c_str(), 0755);
            else
                vqtest::WriteFile(dir / n, "");
        }
        VqUniqueNameLimit = c.limit;
        char name[VQ_FILE_PATH];
        const STATUS s = GetUniqueFileName("", (dir.path() + "/").c_str(), c.ext.c_str(), name);
        VqUniqueNameLimit = VQ_UNIQUE_NAME_COUNT;
        EXPECT_EQ(s, c.want.empty() ? VQM_NO_UNIQUE_NAME : NOERROR);
        EXPECT_EQ(std::string(name), c.want.empty() ? "" : dir / c.want);
        if (c.present.empty()) {
            EXPECT_FALSE(vqtest::FileExists(name)) << "the name is not created";
        }
    }
}

}  // namespace
