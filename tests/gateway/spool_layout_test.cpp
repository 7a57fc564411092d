// spool_layout_test.cpp - spool paths whole and split, their 260-byte limit, and GetUniqueFileName.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <functional>

#include "test_support.h"
#include "unique_name.h"
#include "vortiq.h"

namespace {

class SpoolLayoutTest : public ::testing::Test {
protected:
    void TearDown() override { GatewayPath[0] = '\0'; }
    static void SetRoot(const std::string &root) { VqCopy(GatewayPath, sizeof GatewayPath, root.c_str()); }
};

TEST_F(SpoolLayoutTest, WholeAndSplitForms)
{
    struct Case { std::string root, suffix, wantWhole, wantDrive, wantSplit; } cases[] = {
        {"/srv/TMBFAX", SPOOL_FAX_OUT, "/srv/TMBFAX/FAX/OUT", "", "/srv/TMBFAX/FAX/OUT"},
        // only a letter and a colon make a drive part
        {"D:/FAX/TMBFAX", SPOOL_FAX_IN, "D:/FAX/TMBFAX/FAX/IN", "D:", "/FAX/TMBFAX/FAX/IN"},
        {"1:/x/TMBFAX", SPOOL_FAX_IN, "1:/x/TMBFAX/FAX/IN", "", "1:/x/TMBFAX/FAX/IN"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.root);
        SetRoot(c.root);
        char whole[VQ_FILE_PATH], dir[VQ_FILE_PATH], drive[VQ_DRIVE_SIZE], joined[VQ_FILE_PATH];
        ASSERT_EQ(SpoolWholePath(whole, sizeof whole, c.suffix.c_str()), 0);
        ASSERT_EQ(SpoolSplitDir(dir, sizeof dir, c.suffix.c_str()), 0);
        PortDrivePart(GatewayPath, drive, sizeof drive);
        EXPECT_EQ(std::string(whole), c.wantWhole);
        EXPECT_EQ(std::string(drive), c.wantDrive);
        EXPECT_EQ(std::string(dir), c.wantSplit);
        // drive and split directory joined give the whole path again
        ASSERT_EQ(PortMakePath(joined, sizeof joined, drive, dir, "00000001", "INC"), 0);
        EXPECT_EQ(std::string(joined), c.wantWhole + "/00000001.INC");
    }
}

// Each form at exactly 259 characters (260 bytes) and one more; the split form does not count its drive.
TEST_F(SpoolLayoutTest, ExactFitWorksOneByteMoreIsRefused)
{
    struct Case { const char *name; bool split; std::string root; bool fits; };
    const size_t in = sizeof SPOOL_FAX_IN - 1;
    const std::vector<Case> cases = {
        {"whole, exact", false, "/" + std::string(258 - in, 'r'), true},
        {"whole, one more", false, "/" + std::string(259 - in, 'r'), false},
        {"split, exact", true, "D:/" + std::string(258 - in, 'r'), true},
        {"split, one more", true, "D:/" + std::string(259 - in, 'r'), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SetRoot(c.root);
        char out[VQ_FILE_PATH] = "x";
        const int got = c.split ? SpoolSplitDir(out, sizeof out, SPOOL_FAX_IN)
                                : SpoolWholePath(out, sizeof out, SPOOL_FAX_IN);
        EXPECT_EQ(got, c.fits ? 0 : -1);
        EXPECT_EQ(std::string(out), c.fits ? c.root.substr(c.split ? 2 : 0) + SPOOL_FAX_IN : "");
    }
}

// Drive, split directory and numbered name: exactly 259 characters are handed out, one more gives 13078 and "".
TEST_F(SpoolLayoutTest, JoinedNameExactFitWorksOneByteMoreIsRefused)
{
    const size_t name = sizeof "/00000000.INC" - 1;
    for (size_t extra : {0, 1}) {
        SCOPED_TRACE(extra);
        const std::string dir = "/nonexistent" + std::string(259 - 2 - 12 - name + extra, 'd');
        char out[VQ_FILE_PATH];
        const STATUS s = GetUniqueFileName("D:", dir.c_str(), "INC", out);
        EXPECT_EQ(s, extra ? VQM_NO_UNIQUE_NAME : NOERROR);
        EXPECT_EQ(std::string(out), extra ? "" : "D:" + dir + "/00000000.INC");
    }
}

// The lowest free number; 13078 and "" when none is left.
TEST(UniqueName, LowestFreeNumber)
{
    struct Case { std::vector<std::string> present; std::string ext, want; long limit = VQ_UNIQUE_NAME_COUNT; } cases[] = {
        {{}, "INC", "00000000.INC"}, {{"00000000.INC", "00000002.INC"}, "INC", "00000001.INC"},
        {{"00000000", "00000000.TMP"}, "INC", "00000000.INC"}, {{"00000000.INC"}, "", "00000000"},
        {{"00000000", "00000001"}, "", "00000002"},
        // a directory of that name is taken as much as a file
        {{"00000000.INC/"}, "INC", "00000001.INC"}, {{"00000000.INC", "00000001.INC"}, "INC", "00000002.INC", 3},
        {{"00000000.INC", "00000001.INC", "00000002.INC"}, "INC", "", 3},
    };
    for (const auto &c : cases) {
        vqtest::TempDir dir;
        SCOPED_TRACE(c.present.size());
        for (const auto &n : c.present)
            n.back() == '/' ? (void)mkdir((dir / n).c_str(), 0755) : vqtest::WriteFile(dir / n, "");
        VqUniqueNameLimit = c.limit;
        char name[VQ_FILE_PATH];
        const STATUS s = GetUniqueFileName("", (dir.path() + "/").c_str(), c.ext.c_str(), name);
        VqUniqueNameLimit = VQ_UNIQUE_NAME_COUNT;
        EXPECT_EQ(s, c.want.empty() ? VQM_NO_UNIQUE_NAME : NOERROR);
        EXPECT_EQ(std::string(name), c.want.empty() ? "" : dir / c.want);
        if (c.present.empty()) { EXPECT_FALSE(vqtest::FileExists(name)) << "the name is not created"; }
    }
}

// Within a pass the answers stay those of probing: names made by anyone are passed over, names the gateway removes or
// renames away are free at once; a name others remove waits for the next pass.
TEST(UniqueName, PassAnswersAsProbing)
{
    vqtest::TempDir dir;
    const std::string d = dir.path() + "/";
    vqtest::WriteFile(d + "00000000", "");
    vqtest::WriteFile(d + "00000002", "");
    struct Step { std::function<void()> before; const char *want; } steps[] = {
        {[] {}, "00000001"},
        {[&] { vqtest::WriteFile(d + "00000001", ""); }, "00000003"},
        {[&] { PortUnlink((d + "00000001").c_str()); }, "00000001"},
        {[&] { PortRename((d + "00000002").c_str(), (d + "00000001").c_str()); }, "00000002"},
        {[&] { std::remove((d + "00000000").c_str()); }, "00000002"},
        {[] { VqUniqueNamesEndPass(), VqUniqueNamesBeginPass(); }, "00000000"},
    };
    VqUniqueNamesBeginPass();
    for (const auto &s : steps) {
        s.before();
        char name[VQ_FILE_PATH];
        EXPECT_EQ(GetUniqueFileName("", d.c_str(), "", name), NOERROR);
        EXPECT_EQ(std::string(name), d + s.want);
    }
    VqUniqueNamesEndPass();
}

}  // namespace
