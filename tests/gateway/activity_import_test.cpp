/*
 * activity_import_test.cpp - ImportActivity: the column split of the
 * activity log's lines, final lines overwriting the entry "Pending by Job
 * ID" holds, and a leftover ACTIVITY.RD read before the new log.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "activity.h"
#include "gateway_fixture.h"

namespace {

using vqtest::EntriesByJob;
using vqtest::JobEntry;
using vqtest::JobEntryOf;
using vqtest::kActDb;

class ImportActivityTest : public vqtest::GatewayTest {
protected:
    std::string LogPath() const { return Spool(SPOOL_ACTIVITY_LOG); }
    std::string ReadPath() const { return Spool(SPOOL_ACTIVITY_RD); }
};

/* One line each; an empty want: no entry. Both files are gone after. */
TEST_F(ImportActivityTest, LinesSplitIntoColumns)
{
    struct Case {
        const char *line; /* nullptr: no log file */
        std::vector<std::string> want;
    } cases[] = {
        {nullptr, {}},
        /* inner and trailing blanks kept */
        {"0001 03/05 09:07 TX 02 555-1234 ext 9       Sales Dept  003 0000 OK    0120 9\n",
         {"0001", "03/05", "09:07", "TX", "02", "555-1234 ext 9      ", "Sales Dept ", "003", "0000", " OK   ",
          "0120", "9"}},
        {"0002 03/05 09:08 TX 01 12345678901234567890 ACME Corp.x 001 0003 BUSY  0000 4\n",
         {"0002", "03/05", "09:08", "TX", "01", "12345678901234567890", "ACME Corp.x", "001", "0003", " BUSY ",
          "0000", "4"}},
        {"0003 03/05 09:09 TX\n", {"0003", "03/05", "09:09", "TX", "", "", "", "", "", "", "", ""}},
        {"0004 03/05 09:10 TX 01 555\r\n", {"0004", "03/05", "09:10", "TX", "01", "555", "", "", "", "", "", ""}},
        {"0005 03/05 09:11 RX 01 555-1234             Sales Dept  003 0000 OK    0120 9\n", {}},
        {"0006 03/05 09:12 tx 01 555\n", {}},
        {"0007 03/05\n", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line ? c.line : "no log file");
        vqtest::TempDir data;
        vqtest::EnterDataDirectory(data);
        vqtest::CreateActivityDb(kActDb);
        if (c.line != nullptr)
            vqtest::WriteFile(LogPath(), c.line);
        EXPECT_EQ(ImportActivity(), NOERROR);
        std::vector<NOTEID> ids = vqtest::DocumentIds(kActDb);
        ASSERT_EQ(ids.size(), c.want.empty() ? 0u : 1u);
        if (!c.want.empty())
            EXPECT_EQ(JobEntryOf(ids[0]), JobEntry(c.want));
        EXPECT_TRUE(vqtest::LogEntries().empty());
        EXPECT_FALSE(vqtest::FileExists(LogPath()));
        EXPECT_FALSE(vqtest::FileExists(ReadPath()));
    }
}

/* A final line ("TX*") overwrites the waiting entry in place, its job
 * found without case; a line that is not final, or whose job has no
 * entry, creates one. The last line, cut after its type, must not take
 * over the "*" of the line before it. */
TEST_F(ImportActivityTest, FinalLinesOverwriteTheEntryOthersCreate)
{
    vqtest::CreateActivityDb(kActDb);
    NOTEID pending = vqtest::AddDocument(kActDb, {{"FORM", "Job Entry"}, {"JobID", "a123"}, {"Type", "TX"}});
    NOTEID waiting = vqtest::AddDocument(kActDb, {{"FORM", "Job Entry"}, {"JobID", "0042"}, {"Explanation", "Pending"}});
    vqtest::WriteFile(LogPath(),
                      "A123 03/05 09:07 TX*02 555-1234             Sales Dept  003 0000 OK    0120 9\n"
                      "0042 03/05 09:07 TX 01 555                  Sales       001 0003 BUSY  0000 4\n"
                      "0099 03/05 09:08 TX*01 555                  Sales       001 0000 OK    0010 9\n"
                      "0042 03/05 09:09 TX*01 555                  Sales       001 0000 OK    0010 9\n"
                      "0042 03/05 09:10 TX");
    ImportActivity();

    auto jobs = EntriesByJob();
    EXPECT_EQ(jobs.size(), 3u);
    EXPECT_EQ(jobs["A123"], std::vector<NOTEID>{pending});
    EXPECT_EQ(JobEntryOf(pending), JobEntry({"A123", "03/05", "09:07", "TX", "02", "555-1234            ",
                                             "Sales Dept ", "003", "0000", " OK   ", "0120", "9"}));
    ASSERT_EQ(jobs["0042"].size(), 3u);
    EXPECT_EQ(jobs["0042"][0], waiting);
    EXPECT_EQ(vqtest::ItemText(kActDb, waiting, "Time"), "09:09");
    EXPECT_EQ(vqtest::ItemText(kActDb, jobs["0042"][1], "Explanation"), " BUSY ");
    EXPECT_EQ(vqtest::ItemText(kActDb, jobs["0042"][2], "Time"), "09:10");
    EXPECT_EQ(jobs["0099"].size(), 1u);
    EXPECT_TRUE(vqtest::LogEntries().empty());
}

/* A leftover ACTIVITY.RD is read first, then the new log: no line lost. */
TEST_F(ImportActivityTest, LeftoverReadFileIsImportedBeforeTheLog)
{
    vqtest::CreateActivityDb(kActDb);
    vqtest::WriteFile(ReadPath(), "0001 03/05 09:07 TX 01 555\n");
    vqtest::WriteFile(LogPath(), "0002 03/05 09:07 TX 01 555\n");
    ImportActivity();
    ImportActivity();
    auto jobs = EntriesByJob();
    EXPECT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs["0001"].size(), 1u);
    EXPECT_EQ(jobs["0002"].size(), 1u);
    EXPECT_FALSE(vqtest::FileExists(ReadPath()));
    EXPECT_TRUE(vqtest::LogEntries().empty());
}

}  // namespace
