/*
 * activity_import_test.cpp - ImportActivity: the rename hand-over of the
 * activity log, the column split of its lines, final lines updating the
 * entry "Pending by Job ID" holds, the leftover ACTIVITY.RD, and a failed
 * save in the middle of the file.
 */
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "activity.h"
#include "gateway_fixture.h"

namespace {

using vqtest::EntriesByJob;
using vqtest::JobEntry;
using vqtest::JobEntryOf;
using vqtest::kActDb;

/* A complete "TX" line of the given job, not final. */
std::string Line(const std::string &job)
{
    return job + " 03/05 09:07 TX 01 555-" + job + "             Sales       001 0000 OK    0010 9\n";
}

class ImportActivityTest : public vqtest::GatewayTest {
protected:
    std::string LogPath() const { return Spool("/UTIL/DATA/ACTIVITY.LOG"); }
    std::string ReadPath() const { return Spool("/UTIL/DATA/ACTIVITY.RD"); }
    /* Both hand-over files are gone. */
    void ExpectFilesGone() const
    {
        EXPECT_FALSE(vqtest::FileExists(LogPath()));
        EXPECT_FALSE(vqtest::FileExists(ReadPath()));
    }
};

/* Column split of one line each; a line that yields no entry has an empty
 * want. The first row is the missing log file: nothing happens at all. */
TEST_F(ImportActivityTest, LinesSplitIntoColumns)
{
    struct Case {
        std::string name;
        const char *line; /* nullptr: no log file */
        std::vector<std::string> want; /* the twelve values; empty: none */
    };
    const std::vector<Case> cases = {
        {"no log file", nullptr, {}},
        {"full line, inner and trailing blanks kept",
         "0001 03/05 09:07 TX 02 555-1234 ext 9       Sales Dept  003 0000 OK    0120 9\n",
         {"0001", "03/05", "09:07", "TX", "02", "555-1234 ext 9      ", "Sales Dept ", "003", "0000",
          " OK   ", "0120", "9"}},
        {"destination of exactly 20 characters",
         "0002 03/05 09:08 TX 01 12345678901234567890 ACME Corp.x 001 0003 BUSY  0000 4\n",
         {"0002", "03/05", "09:08", "TX", "01", "12345678901234567890", "ACME Corp.x", "001", "0003",
          " BUSY ", "0000", "4"}},
        {"line ends right after its type", "0003 03/05 09:09 TX\n",
         {"0003", "03/05", "09:09", "TX", "", "", "", "", "", "", "", ""}},
        {"CR LF is one line end", "0004 03/05 09:10 TX 01 555\r\n",
         {"0004", "03/05", "09:10", "TX", "01", "555", "", "", "", "", "", ""}},
        {"received fax is not imported",
         "0005 03/05 09:11 RX 01 555-1234             Sales Dept  003 0000 OK    0120 9\n", {}},
        {"type in lower case is not imported", "0006 03/05 09:12 tx 01 555\n", {}},
        {"blank line", "\n", {}},
        {"line shorter than the type column", "0007 03/05\n", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        vqtest::TempDir data;
        vqtest::EnterDataDirectory(data);
        vqtest::CreateActivityDb(kActDb);
        if (c.line != nullptr)
            vqtest::WriteFile(LogPath(), c.line);

        EXPECT_EQ(ImportActivity(), NOERROR);

        std::vector<NOTEID> ids = vqtest::DocumentIds(kActDb);
        ASSERT_EQ(ids.size(), c.want.empty() ? 0u : 1u);
        if (!c.want.empty()) {
            EXPECT_EQ(JobEntryOf(ids[0]), JobEntry(c.want));
        }
        EXPECT_TRUE(vqtest::LogEntries().empty());
        ExpectFilesGone();
        EXPECT_EQ(E_quit, 0);
    }
}

/* A final line overwrites the waiting entry in place (same note ID), its
 * job number found without case; a line that is not final, or whose job
 * has no entry, creates one. */
TEST_F(ImportActivityTest, FinalLinesOverwriteTheEntryOthersCreate)
{
    vqtest::CreateActivityDb(kActDb);
    NOTEID pending = vqtest::AddDocument(
        kActDb, {{"FORM", "Job Entry"}, {"JobID", "a123"}, {"Date", "03/04"}, {"Time", "08:00"},
                 {"Type", "TX"}, {"Attempts", "00"}, {"To", "555"}, {"From", "Me"},
                 {"Pages", " "}, {"Code", " "}, {"Explanation", "Pending"},
                 {"Connection", " "}, {"Speed", " "}});
    NOTEID waiting = vqtest::AddDocument(kActDb, {{"FORM", "Job Entry"}, {"JobID", "0042"},
                                                  {"Explanation", "Pending"}});
    vqtest::WriteFile(LogPath(),
                      "A123 03/05 09:07 TX*02 555-1234             Sales Dept  003 0000 OK    0120 9\n"
                      /* not final: a new entry beside the waiting one */
                      "0042 03/05 09:07 TX 01 555                  Sales       001 0003 BUSY  0000 4\n"
                      /* final, job not in the view: a new entry */
                      "0099 03/05 09:08 TX*01 555                  Sales       001 0000 OK    0010 9\n");
    ImportActivity();

    auto jobs = EntriesByJob();
    EXPECT_EQ(jobs["A123"], std::vector<NOTEID>{pending});
    EXPECT_EQ(JobEntryOf(pending),
              JobEntry({"A123", "03/05", "09:07", "TX", "02", "555-1234            ", "Sales Dept ",
                        "003", "0000", " OK   ", "0120", "9"}));
    ASSERT_EQ(jobs["0042"].size(), 2u);
    EXPECT_EQ(jobs["0042"][0], waiting);
    EXPECT_EQ(vqtest::ItemText(kActDb, waiting, "Explanation"), "Pending");
    EXPECT_EQ(vqtest::ItemText(kActDb, jobs["0042"][1], "Explanation"), " BUSY ");
    EXPECT_EQ(jobs["0099"].size(), 1u);
    EXPECT_EQ(jobs.size(), 3u);
    EXPECT_TRUE(vqtest::LogEntries().empty());
}

/* Regression: the last line of a file, ended after its type and without a
 * line feed, supplies no marker character; it must not take over the "*"
 * of the line before and overwrite that job's entry a second time. */
TEST_F(ImportActivityTest, FinalMarkerDoesNotCarryOverToTheNextLine)
{
    vqtest::CreateActivityDb(kActDb);
    NOTEID existing = vqtest::AddDocument(kActDb, {{"FORM", "Job Entry"}, {"JobID", "0042"}});
    vqtest::WriteFile(LogPath(),
                      "0042 03/05 09:07 TX*01 555                  Sales       001 0000 OK    0010 9\n"
                      "0042 03/05 09:09 TX");
    ImportActivity();

    std::vector<NOTEID> job42 = EntriesByJob()["0042"];
    ASSERT_EQ(job42.size(), 2u);
    EXPECT_EQ(job42[0], existing);
    EXPECT_EQ(vqtest::ItemText(kActDb, existing, "Time"), "09:07");
    EXPECT_EQ(vqtest::ItemText(kActDb, job42[1], "Time"), "09:09");
}

/* A leftover ACTIVITY.RD is read first, then the new log: no line of
 * either is lost, and both files are gone. */
TEST_F(ImportActivityTest, LeftoverReadFileIsImportedBeforeTheLog)
{
    vqtest::CreateActivityDb(kActDb);
    vqtest::WriteFile(ReadPath(), Line("0001"));
    vqtest::WriteFile(LogPath(), Line("0002"));

    ImportActivity();

    auto jobs = EntriesByJob();
    EXPECT_EQ(jobs["0001"].size(), 1u);
    EXPECT_EQ(jobs["0002"].size(), 1u);
    ExpectFilesGone();
    EXPECT_TRUE(vqtest::LogEntries().empty());

    /* The next cycle finds nothing more to import. */
    ImportActivity();
    EXPECT_EQ(vqtest::DocumentIds(kActDb).size(), 2u);
}

/* The third line's save fails: the first two entries stay saved, and
 * ACTIVITY.RD stays for the next cycle, which imports every line of it
 * (the first two a second time) rather than lose the last two. The
 * failing operation is found by counting what a run of two lines does. */
TEST_F(ImportActivityTest, FailedSaveOfTheThirdEntryKeepsTheRestForTheNextCycle)
{
    /* Dry run of one and of two lines on a fresh database each: the
     * difference is what one entry costs. */
    long perRun[3] = {0, 0, 0};
    for (int lines = 1; lines <= 2; lines++) {
        vqtest::TempDir data;
        vqtest::EnterDataDirectory(data);
        vqtest::CreateActivityDb(kActDb);
        vqtest::WriteFile(LogPath(), lines == 1 ? Line("0001") : Line("0001") + Line("0002"));
        PortFaultArm(0, 0, 0); /* counts afresh from here */
        ImportActivity();
        perRun[lines] = PortFaultCount();
    }
    long perEntry = perRun[2] - perRun[1];
    ASSERT_GT(perEntry, 0);

    vqtest::TempDir data;
    vqtest::EnterDataDirectory(data);
    vqtest::CreateActivityDb(kActDb);
    vqtest::WriteFile(LogPath(), Line("0001") + Line("0002") + Line("0003") + Line("0004"));
    vqtest::ClearLog();
    /* perRun[2] ends with the delete of ACTIVITY.RD (one operation); the
     * last operation of the third entry is its commit. */
    PortFaultArm(2, perRun[2] - 1 + perEntry, EIO);
    ImportActivity();
    PortFaultArm(0, 0, 0);

    auto jobs = EntriesByJob();
    EXPECT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs["0001"].size(), 1u);
    EXPECT_EQ(jobs["0002"].size(), 1u);
    EXPECT_TRUE(vqtest::FileExists(ReadPath()));
    EXPECT_EQ(vqtest::LogSummary(),
              (std::vector<vqtest::Logged>{{VQM_DS0, "Error With Note Update", true},
                                           {VQM_DS0, "Activity.rd kept for the next cycle", false}}));
    EXPECT_EQ(E_quit, 0);

    ImportActivity();
    jobs = EntriesByJob();
    EXPECT_EQ(jobs.size(), 4u);
    EXPECT_EQ(jobs["0001"].size(), 2u);
    EXPECT_EQ(jobs["0003"].size(), 1u);
    EXPECT_EQ(jobs["0004"].size(), 1u);
    ExpectFilesGone();
}

}  // namespace
