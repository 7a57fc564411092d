/*
 * activity_import_test.cpp - ImportActivity: the rename hand-over of the
 * activity log, the column split of its lines, final lines updating the
 * entry "Pending by Job ID" holds, the leftover ACTIVITY.RD, and failures.
 */
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "activity.h"
#include "notes_fixture.h"
#include "test_support.h"

namespace {

const char kActDb[] = "TMB_ACT.NSF";

typedef std::map<std::string, std::string> Items;

class ImportActivityTest : public vqtest::PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        root_ = spool_ / "TMBFAX";
        vqtest::MakeDirs(root_ + "/UTIL/DATA");
        vqtest::MakeDirs(root_ + "/PUBLIC");
        VqCopy(GatewayPath, sizeof GatewayPath, root_.c_str());
        GatewayDrive[0] = '\0';
        VqCopy(ActLogNsf, sizeof ActLogNsf, kActDb);
        E_quit = 0;
    }
    void TearDown() override
    {
        PortFaultArm(0, 0, 0);
        PlatformTest::TearDown();
    }
    std::string LogPath() const { return root_ + "/UTIL/DATA/ACTIVITY.LOG"; }
    std::string ReadPath() const { return root_ + "/UTIL/DATA/ACTIVITY.RD"; }

    /* Every item of an entry, as the gateway writes them. */
    static Items EntryItems(NOTEID id)
    {
        Items got;
        got["FORM"] = vqtest::ItemText(kActDb, id, "FORM");
        for (int i = 0; i < ACT_FIELD_COUNT; i++)
            got[Fields[i]] = vqtest::ItemText(kActDb, id, Fields[i]);
        return got;
    }
    /* The entries of one job number, in note-ID order. */
    static std::vector<NOTEID> EntriesOf(const std::string &job)
    {
        std::vector<NOTEID> out;
        for (NOTEID id : vqtest::DocumentIds(kActDb))
            if (vqtest::ItemText(kActDb, id, "JobID") == job)
                out.push_back(id);
        return out;
    }

    vqtest::TempDir spool_;
    std::string root_;
};

/* The items of a line in column order, "FORM" first. */
Items Entry(const std::vector<std::string> &v)
{
    Items want;
    want["FORM"] = "Job Entry";
    for (int i = 0; i < ACT_FIELD_COUNT; i++)
        want[Fields[i]] = v[i];
    return want;
}

TEST_F(ImportActivityTest, NoLogFileDoesNothing)
{
    vqtest::CreateActivityDb(kActDb);
    EXPECT_EQ(ImportActivity(), NOERROR);
    EXPECT_TRUE(vqtest::LogEntries().empty());
    EXPECT_TRUE(vqtest::DocumentIds(kActDb).empty());
    EXPECT_FALSE(vqtest::FileExists(ReadPath()));
    EXPECT_FALSE(vqtest::FileExists(LogPath()));
    EXPECT_EQ(E_quit, 0);
}

/* Column split of one line each; a line that yields no entry has an
 * empty want. */
TEST_F(ImportActivityTest, LinesSplitIntoColumns)
{
    struct Case {
        std::string name;
        std::string line;
        std::vector<std::string> want; /* the twelve values; empty: skipped */
    };
    const std::vector<Case> cases = {
        {"full line, inner and trailing blanks kept",
         "0001 03/05 09:07 TX 02 555-1234 ext 9       Sales Dept  003 0000 OK    0120 9\n",
         {"0001", "03/05", "09:07", "TX", "02", "555-1234 ext 9      ", "Sales Dept ", "003", "0000",
          " OK   ", "0120", "9"}},
        {"destination of exactly 20 characters",
         "0002 03/05 09:08 TX 01 12345678901234567890 ACME Corp.x 001 0003 BUSY  0000 4\n",
         {"0002", "03/05", "09:08", "TX", "01", "12345678901234567890", "ACME Corp.x", "001", "0003",
          " BUSY ", "0000", "4"}},
        {"line ends right after its type",
         "0003 03/05 09:09 TX\n",
         {"0003", "03/05", "09:09", "TX", "", "", "", "", "", "", "", ""}},
        {"CR LF is one line end",
         "0004 03/05 09:10 TX 01 555\r\n",
         {"0004", "03/05", "09:10", "TX", "01", "555", "", "", "", "", "", ""}},
        {"received fax is not imported",
         "0005 03/05 09:11 RX 01 555-1234             Sales Dept  003 0000 OK    0120 9\n",
         {}},
        {"type in lower case is not imported", "0006 03/05 09:12 tx 01 555\n", {}},
        {"blank line", "\n", {}},
        {"line shorter than the type column", "0007 03/05\n", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        vqtest::TempDir data;
        vqtest::WriteFile(data / "notes.ini", "");
        vqtest::SetDataDirectory(data.path());
        vqtest::CreateActivityDb(kActDb);
        vqtest::WriteFile(LogPath(), c.line);

        ImportActivity();

        std::vector<NOTEID> ids = vqtest::DocumentIds(kActDb);
        if (c.want.empty()) {
            EXPECT_TRUE(ids.empty());
        } else {
            ASSERT_EQ(ids.size(), 1u);
            EXPECT_EQ(EntryItems(ids[0]), Entry(c.want));
        }
        EXPECT_TRUE(vqtest::LogEntries().empty());
        EXPECT_FALSE(vqtest::FileExists(LogPath()));
        EXPECT_FALSE(vqtest::FileExists(ReadPath()));
    }
}

TEST_F(ImportActivityTest, FinalLineOverwritesTheEntryInPlace)
{
    vqtest::CreateActivityDb(kActDb);
    /* As the queue listing leaves a waiting job: lower-case job number to
     * show that the lookup ignores case. */
    NOTEID pending = vqtest::AddDocument(
        kActDb, {{"FORM", "Job Entry"}, {"JobID", "a123"}, {"Date", "03/04"}, {"Time", "08:00"},
                 {"Type", "TX"}, {"Attempts", "00"}, {"To", "555"}, {"From", "Me"},
                 {"Pages", " "}, {"Code", " "}, {"Explanation", "Pending"},
                 {"Connection", " "}, {"Speed", " "}});
    vqtest::WriteFile(LogPath(),
                      "A123 03/05 09:07 TX*02 555-1234             Sales Dept  003 0000 OK    0120 9\n");

    ImportActivity();

    std::vector<NOTEID> ids = vqtest::DocumentIds(kActDb);
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(ids[0], pending);
    EXPECT_EQ(EntryItems(pending),
              Entry({"A123", "03/05", "09:07", "TX", "02", "555-1234            ", "Sales Dept ",
                     "003", "0000", " OK   ", "0120", "9"}));
    EXPECT_TRUE(vqtest::LogEntries().empty());
}

TEST_F(ImportActivityTest, WhichLinesCreateAndWhichOverwrite)
{
    vqtest::CreateActivityDb(kActDb);
    NOTEID existing = vqtest::AddDocument(kActDb, {{"FORM", "Job Entry"}, {"JobID", "0042"},
                                                   {"Explanation", "Pending"}});
    vqtest::WriteFile(LogPath(),
                      /* not final: a new entry beside the existing one */
                      "0042 03/05 09:07 TX 01 555                  Sales       001 0003 BUSY  0000 4\n"
                      /* final, job not in the view: a new entry */
                      "0099 03/05 09:08 TX*01 555                  Sales       001 0000 OK    0010 9\n");
    ImportActivity();

    std::vector<NOTEID> job42 = EntriesOf("0042");
    ASSERT_EQ(job42.size(), 2u);
    EXPECT_EQ(job42[0], existing);
    EXPECT_EQ(vqtest::ItemText(kActDb, existing, "Explanation"), "Pending");
    EXPECT_EQ(vqtest::ItemText(kActDb, job42[1], "Explanation"), " BUSY ");
    EXPECT_EQ(EntriesOf("0099").size(), 1u);
    EXPECT_EQ(vqtest::DocumentIds(kActDb).size(), 3u);
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

    std::vector<NOTEID> job42 = EntriesOf("0042");
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
    vqtest::WriteFile(ReadPath(),
                      "0001 03/05 09:07 TX 01 555-0001             Sales       001 0000 OK    0010 9\n");
    vqtest::WriteFile(LogPath(),
                      "0002 03/05 09:08 TX 01 555-0002             Sales       001 0000 OK    0010 9\n");

    ImportActivity();

    EXPECT_EQ(EntriesOf("0001").size(), 1u);
    EXPECT_EQ(EntriesOf("0002").size(), 1u);
    EXPECT_FALSE(vqtest::FileExists(ReadPath()));
    EXPECT_FALSE(vqtest::FileExists(LogPath()));
    EXPECT_TRUE(vqtest::LogEntries().empty());

    /* The next cycle finds nothing more to import. */
    ImportActivity();
    EXPECT_EQ(vqtest::DocumentIds(kActDb).size(), 2u);
}

/* The third line's save fails: the first two entries stay saved, the rest
 * of the file is not read, and ACTIVITY.RD is deleted all the same. The
 * failing operation is found by counting what a run of two lines does. */
TEST_F(ImportActivityTest, FailedSaveOfTheThirdEntryKeepsTheFirstTwo)
{
    const std::string line1 =
        "0001 03/05 09:07 TX 01 555-0001             Sales       001 0000 OK    0010 9\n";
    const std::string line2 =
        "0002 03/05 09:08 TX 01 555-0002             Sales       001 0000 OK    0010 9\n";
    const std::string line3 =
        "0003 03/05 09:09 TX 01 555-0003             Sales       001 0000 OK    0010 9\n";
    const std::string line4 =
        "0004 03/05 09:10 TX 01 555-0004             Sales       001 0000 OK    0010 9\n";

    /* Dry run of one and of two lines on a fresh database each: the
     * difference is what one entry costs; the third entry's operations
     * begin where two entries end, less the final delete of the file. */
    long perRun[3] = {0, 0, 0};
    for (int lines = 1; lines <= 2; lines++) {
        vqtest::TempDir data;
        vqtest::WriteFile(data / "notes.ini", "");
        vqtest::SetDataDirectory(data.path());
        vqtest::CreateActivityDb(kActDb);
        vqtest::WriteFile(LogPath(), lines == 1 ? line1 : line1 + line2);
        PortFaultArm(0, 0, 0); /* counts afresh from here */
        ImportActivity();
        perRun[lines] = PortFaultCount();
    }
    long perEntry = perRun[2] - perRun[1];
    ASSERT_GT(perEntry, 0);

    vqtest::TempDir data;
    vqtest::WriteFile(data / "notes.ini", "");
    vqtest::SetDataDirectory(data.path());
    vqtest::CreateActivityDb(kActDb);
    vqtest::WriteFile(LogPath(), line1 + line2 + line3 + line4);
    vqtest::ClearLog();
    /* perRun[2] ends with the delete of ACTIVITY.RD (one operation); the
     * last operation of the third entry is its commit. */
    PortFaultArm(2, perRun[2] - 1 + perEntry, EIO);
    ImportActivity();
    PortFaultArm(0, 0, 0);

    EXPECT_EQ(EntriesOf("0001").size(), 1u);
    EXPECT_EQ(EntriesOf("0002").size(), 1u);
    EXPECT_EQ(vqtest::DocumentIds(kActDb).size(), 2u);
    EXPECT_FALSE(vqtest::FileExists(ReadPath()));
    EXPECT_FALSE(vqtest::FileExists(LogPath()));
    std::vector<vqtest::LogEntry> log = vqtest::LogEntries();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].id, VQM_DS0);
    EXPECT_EQ(log[0].arg, "Error With Note Update");
    EXPECT_NE(log[0].status, NOERROR);
    EXPECT_EQ(E_quit, 0);
}

TEST_F(ImportActivityTest, MissingDatabaseOrViewStopsTheTask)
{
    const std::string line =
        "0001 03/05 09:07 TX 01 555-0001             Sales       001 0000 OK    0010 9\n";
    struct Case {
        std::string name;
        bool createDb;
        WORD wantId;
        std::string wantArg;
    };
    const std::vector<Case> cases = {
        {"database missing", false, VQM_DS0, "Error Opening Acticity DB"},
        {"view missing", true, VQM_VIEW_NOT_FOUND, "Pending by Job ID"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        vqtest::TempDir data;
        vqtest::WriteFile(data / "notes.ini", "");
        vqtest::SetDataDirectory(data.path());
        if (c.createDb) {
            ASSERT_EQ(NSFDbCreate(kActDb, DBCLASS_NOTEFILE, FALSE), NOERROR);
        }
        vqtest::WriteFile(LogPath(), line);
        vqtest::ClearLog();
        E_quit = 0;

        EXPECT_NE(ImportActivity(), NOERROR);

        EXPECT_EQ(E_quit, 1);
        std::vector<vqtest::LogEntry> log = vqtest::LogEntries();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0].id, c.wantId);
        EXPECT_EQ(log[0].arg, c.wantArg);
        EXPECT_NE(log[0].status, NOERROR);
        /* The log waits for a sound environment. */
        EXPECT_EQ(vqtest::ReadFile(LogPath()), line);
        EXPECT_FALSE(vqtest::FileExists(ReadPath()));
    }
    E_quit = 0;
}

}  // namespace
