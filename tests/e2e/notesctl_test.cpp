/*
 * notesctl_test.cpp - the operator console as scripts drive it: the real
 * binary in a fresh data directory, every command on good input and on
 * bad input (one line on stderr, exit 1, nothing written).
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "notesapi.h"
#include "test_support.h"

namespace {

using vqe2e::Result;
using json = vqe2e::Json;
using vqtest::ReadFile;
using vqtest::WriteFile;

class NotesctlTest : public vqtest::PlatformTest {
protected:
    /* notesctl with -d on the test's data directory. */
    Result Ctl(const std::vector<std::string> &args) { return vqe2e::Notesctl(data_.path(), args); }
    /* notesctl as it stands, no data directory given. */
    Result Bare(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {vqe2e::BinDir() + "/notesctl"};
        argv.insert(argv.end(), args.begin(), args.end());
        return vqe2e::Run(argv);
    }
    Result Ok(const std::vector<std::string> &args)
    {
        Result r = Ctl(args);
        EXPECT_EQ(r.code, 0) << args[0] << ": " << r.err;
        return r;
    }
    json Docs(const std::string &db)
    {
        Result r = Ok({"mail", "list", db, "--json"});
        return json::parse(r.out.empty() ? "[]" : r.out);
    }
    void SetUpServer()
    {
        Ok({"init"});
        Ok({"person", "add", "Jane Roe", "--short", "jroe", "--fax", "555-0100"});
        Ok({"person", "add", "John Doe"});
        Ok({"domain", "add", "FAXGATE", "--mailfile", "gate/faxgate.nsf"});
        Ok({"group", "add", "Sales", "--members", "jroe, John Doe", "--description", "sales"});
    }
    vqtest::TempDir io_;
};

TEST_F(NotesctlTest, InitCreatesWhatIsMissingAndIsSafeTwice)
{
    Ok({"init", "--org", "Widgets"});
    for (const char *f : {"notes.ini", "names.nsf", "mail.box", "TMB_ACT.NSF"})
        EXPECT_TRUE(vqtest::FileExists(data_ / f)) << f;
    Ok({"init"});
    EXPECT_EQ(Ok({"show-config", "Domain"}).out, "Acme\n");
    EXPECT_EQ(Ok({"show-config", "Organization"}).out, "Widgets\n");
    Ok({"init", "--domain", "Other"});
    EXPECT_EQ(Ok({"show-config", "Domain"}).out, "Other\n");

    DBHANDLE h = NULLHANDLE;
    ASSERT_EQ(NSFDbOpen("TMB_ACT.NSF", &h), NOERROR);
    NOTEID view = 0, form = 0;
    EXPECT_EQ(NIFFindDesignNote(h, "Pending by Job ID", NOTE_CLASS_VIEW, &view), NOERROR);
    EXPECT_EQ(NIFFindDesignNote(h, "Job Entry", NOTE_CLASS_FORM, &form), NOERROR);
    NSFDbClose(h);

    /* a new folder is made for init, and only for init */
    Result r = Bare({"-d", data_ / "fresh/dir", "init"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(vqtest::FileExists(data_ / "fresh/dir/mail.box"));
    r = Bare({"-d", data_ / "absent", "mail", "list", "mail.box"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
    EXPECT_FALSE(vqtest::FileExists(data_ / "absent"));
    /* every other command refuses it the same way, writing nothing */
    const std::vector<std::vector<std::string>> others = {
        {"set-config", "A=1"}, {"show-config"}, {"person", "add", "X"},
        {"group", "add", "G", "--members", "X"}, {"domain", "add", "D", "--mailfile", "d.nsf"},
        {"send", "--from", "X", "--to", "Y"}, {"db", "list", "names.nsf"}, {"tasks"},
        {"quit", "vortiq"}, {"log"}};
    for (auto args : others) {
        args.insert(args.begin(), {"-d", data_ / "absent"});
        r = Bare(args);
        EXPECT_EQ(r.code, 1) << args[2];
        EXPECT_NE(r.err.find("does not exist"), std::string::npos) << args[2] << ": " << r.err;
        EXPECT_FALSE(vqtest::FileExists(data_ / "absent")) << args[2];
    }
}

TEST_F(NotesctlTest, SendRoutesToPersonGroupAndForeignDomain)
{
    SetUpServer();
    WriteFile(io_ / "scan.tif", std::string("II*\0\x01\x02", 6));
    Result r = Ok({"send", "--from", "John Doe", "--to", "jroe", "--to", "Ann Lee@555.0100@FAXGATE",
                   "--cc", "Sales", "--cc", "Nobody There", "--subject", "Quote", "--body",
                   "Dear Ann\nprice list attached", "--attach", io_ / "scan.tif", "--text",
                   "FaxRes=Fine", "--time", "FaxTime=+3600"});
    EXPECT_GT(std::stoul(r.out), 0u);

    json gate = Docs("gate/faxgate.nsf");
    ASSERT_EQ(gate.size(), 1u);
    const json &items = gate[0]["items"];
    EXPECT_EQ(items["$GatewayRecipients"], json({"Ann Lee@555.0100@FAXGATE"}));
    EXPECT_EQ(items["From"], "CN=John Doe/O=Acme");
    EXPECT_EQ(items["SendTo"], json({"jroe", "Ann Lee@555.0100@FAXGATE"}));
    EXPECT_EQ(items["CopyTo"], json({"Sales", "Nobody There"}));
    EXPECT_EQ(items["FaxRes"], "Fine");
    EXPECT_TRUE(items["FaxTime"].is_string());
    EXPECT_EQ(gate[0]["attachments"], json::parse(R"([{"name":"scan.tif","size":6}])"));

    /* Jane directly and through the group: one copy; John through the
     * group, plus his report about the unknown name */
    json jane = Docs("mail/jroe.nsf");
    ASSERT_EQ(jane.size(), 1u);
    EXPECT_EQ(jane[0]["items"]["Subject"], "Quote");
    json john = Docs("mail/jdoe.nsf");
    ASSERT_EQ(john.size(), 2u);
    EXPECT_EQ(john[1]["items"]["Form"], "NonDelivery Report");
    EXPECT_EQ(john[1]["items"]["IntendedRecipient"], "Nobody There");
    EXPECT_TRUE(Docs("mail.box").empty());

    /* show and extract */
    std::string id = std::to_string(gate[0]["noteid"].get<unsigned>());
    json shown = json::parse(Ok({"mail", "show", "gate/faxgate.nsf", id, "--json"}).out);
    EXPECT_EQ(shown["body"], "Dear Ann\nprice list attached");
    EXPECT_EQ(shown["items"]["Subject"], "Quote");
    Ok({"mail", "extract", "gate/faxgate.nsf", id, "scan.tif", io_ / "copy.tif"});
    EXPECT_EQ(ReadFile(io_ / "copy.tif"), std::string("II*\0\x01\x02", 6));
    Result text = Ok({"mail", "show", "gate/faxgate.nsf", id});
    EXPECT_NE(text.out.find("Subject: Quote"), std::string::npos) << text.out;
}

TEST_F(NotesctlTest, MissingMailFileDoesNotLoseTheMessage)
{
    SetUpServer();
    std::remove((data_ / "gate/faxgate.nsf").c_str());
    Ok({"send", "--from", "jroe", "--to", "Ann@555@FAXGATE", "--body-file", "/dev/null"});
    json jane = Docs("mail/jroe.nsf");
    ASSERT_EQ(jane.size(), 1u);
    EXPECT_EQ(jane[0]["items"]["IntendedRecipient"], "Ann@555@FAXGATE");
    EXPECT_EQ(jane[0]["items"]["FailureReason"], "Recipient's mail file could not be opened");
}

/* Note IDs are decimal as the console prints them, also with leading
 * zeros (never octal), or hex with "0x". */
TEST_F(NotesctlTest, NoteIdsWithLeadingZerosAreDecimal)
{
    SetUpServer();
    for (int i = 1; i <= 10; i++)
        Ok({"send", "--from", "John Doe", "--to", "jroe", "--subject", "m" + std::to_string(i)});
    json jane = Docs("mail/jroe.nsf");
    ASSERT_EQ(jane.size(), 10u);
    const json *last = &jane[0];
    for (const json &d : jane)
        if (d["noteid"].get<unsigned>() > (*last)["noteid"].get<unsigned>())
            last = &d;
    const unsigned id = (*last)["noteid"].get<unsigned>();
    ASSERT_GE(id, 8u) << "needs a note ID that octal would read otherwise";
    char hex[32];
    std::snprintf(hex, sizeof hex, "0x%x", id);
    for (const std::string &text : {std::to_string(id), "0" + std::to_string(id), std::string(hex)}) {
        json shown = json::parse(Ok({"mail", "show", "mail/jroe.nsf", text, "--json"}).out);
        EXPECT_EQ(shown["noteid"], id) << text;
        EXPECT_EQ(shown["items"]["Subject"], (*last)["items"]["Subject"]) << text;
    }
}

/* Text that is not UTF-8 (a Latin-1 subject, say) must not make the JSON
 * listings fail: the byte shows as U+FFFD, the rest stays readable. */
TEST_F(NotesctlTest, JsonOfTextThatIsNotUtf8)
{
    SetUpServer();
    std::string id = Ok({"send", "--from", "John Doe", "--to", "jroe", "--subject", "Caf\xe9",
                         "--body", "na\xefve"})
                         .out;
    id.erase(id.find_last_not_of('\n') + 1);
    const std::string replaced = "Caf\xef\xbf\xbd"; /* U+FFFD */
    json jane = Docs("mail/jroe.nsf");
    ASSERT_EQ(jane.size(), 1u);
    EXPECT_EQ(jane[0]["items"]["Subject"], replaced);
    json shown = json::parse(Ok({"mail", "show", "mail/jroe.nsf", id, "--json"}).out);
    EXPECT_EQ(shown["items"]["Subject"], replaced);
    EXPECT_EQ(shown["body"], "na\xef\xbf\xbdve");
    json all = json::parse(Ok({"db", "list", "mail/jroe.nsf", "--json"}).out);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0]["items"]["Subject"], replaced);
}

TEST_F(NotesctlTest, UserErrorsAreOneLineAndWriteNothing)
{
    SetUpServer();
    struct Case {
        std::vector<std::string> args;
        const char *says;
    } cases[] = {
        {{"send", "--from", "Nobody", "--to", "jroe"}, "unknown user"},
        {{"send", "--from", "jroe", "--to", "jdoe", "--attach", "/no/such/file"}, "no such file"},
        {{"send", "--from", "jroe", "--to", "jdoe", "--time", "FaxTime=soon"}, "ITEM=+SECONDS"},
        {{"send", "--from", "jroe"}, "--to"},
        {{"send", "--from", "jroe", "--to", "jdoe", "--bogus"}, "bogus"},
        {{"set-config", "novalue"}, "KEY=VALUE"},
        {{"show-config", "NotThere"}, "not set"},
        {{"person", "add", "Jane Roe"}, "already"},
        {{"person", "add", "Ann Lee", "--short", "jdoe"}, "already"},
        {{"group", "add", "Sales", "--members", "jroe"}, "already"},
        {{"group", "add", "Empty"}, "--members"},
        {{"domain", "add", "FAXGATE", "--mailfile", "x.nsf"}, "already"},
        {{"mail", "list", "no/such.nsf"}, "no such mail file"},
        {{"mail", "show", "mail/jroe.nsf", "abc"}, "not a note ID"},
        {{"mail", "show", "mail/jroe.nsf", "999"}, "no document"},
        {{"mail", "extract", "mail/jroe.nsf", "999", "a", "b"}, "no document"},
        {{"db", "list", "nothing.nsf"}, "no such database"},
        {{"quit", "../etc"}, "not a task name"},
        {{"frobnicate"}, "unknown command: frobnicate"},
    };
    std::string names = Ok({"db", "list", "names.nsf", "--json"}).out;
    for (const auto &c : cases) {
        Result r = Ctl(c.args);
        EXPECT_EQ(r.code, 1) << c.args[0];
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args[0] << ": " << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    }
    EXPECT_EQ(Ok({"db", "list", "names.nsf", "--json"}).out, names);
    EXPECT_TRUE(Docs("mail.box").empty());
    EXPECT_TRUE(Docs("mail/jdoe.nsf").empty());
    EXPECT_FALSE(vqtest::FileExists(data_ / "x.nsf"));
}

TEST_F(NotesctlTest, ConfigTasksQuitAndLog)
{
    Ok({"init"});
    Ok({"set-config", "VortiqDomain=FAXGATE"});
    Ok({"set-config", "VortiqInterval=5"});
    EXPECT_EQ(Ok({"show-config", "vortiqdomain"}).out, "FAXGATE\n");
    EXPECT_EQ(Ok({"show-config"}).out, "Domain=Acme\nOrganization=Acme\nVortiqDomain=FAXGATE\nVortiqInterval=5\n");

    vqtest::MakeDirs(data_ / "tasks");
    WriteFile(data_ / "tasks/vortiq.status", "Idle 2.0.1\n");
    WriteFile(data_ / "tasks/faxsim.status", "Waiting\n");
    EXPECT_EQ(Ok({"tasks"}).out, "faxsim: Waiting\nvortiq: Idle 2.0.1\n");
    Ok({"quit", "vortiq"});
    EXPECT_TRUE(vqtest::FileExists(data_ / "tasks/vortiq.quit"));

    WriteFile(data_ / "server.log", "one\ntwo\nthree\n");
    EXPECT_EQ(Ok({"log", "-n", "2"}).out, "two\nthree\n");
    EXPECT_EQ(Ok({"log"}).out, "one\ntwo\nthree\n");

    /* NOTES_DATA stands in for -d */
    vqtest::EnvGuard env("NOTES_DATA", data_.path().c_str());
    Result r = Bare({"show-config", "VortiqInterval"});
    EXPECT_EQ(r.out, "5\n") << r.err;
}

TEST_F(NotesctlTest, DbListFiltersByFormAndHelpIsEverywhere)
{
    SetUpServer();
    json people = json::parse(Ok({"db", "list", "names.nsf", "--form", "person", "--json"}).out);
    ASSERT_EQ(people.size(), 2u);
    EXPECT_EQ(people[0]["items"]["FullName"],
              json({"CN=Jane Roe/O=Acme", "Jane Roe/Acme", "Jane Roe"}));
    EXPECT_EQ(people[0]["items"]["OfficeFaxPhoneNumber"], "555-0100");
    EXPECT_EQ(people[1]["items"]["MailFile"], "mail/jdoe.nsf");
    EXPECT_TRUE(people[0]["modified"].is_string());

    const std::vector<std::vector<std::string>> commands = {
        {}, {"init"}, {"set-config"}, {"show-config"}, {"person", "add"}, {"group", "add"},
        {"domain", "add"}, {"send"}, {"mail", "list"}, {"mail", "show"}, {"mail", "extract"},
        {"db", "list"}, {"tasks"}, {"quit"}, {"log"}};
    for (auto args : commands) {
        args.push_back("--help");
        Result r = Ctl(args);
        EXPECT_EQ(r.code, 0) << args[0];
        EXPECT_NE(r.out.find("Usage"), std::string::npos) << args[0];
    }
}

}  // namespace
