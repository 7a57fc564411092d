/*
 * notesctl_test.cpp - the operator console's contract with the scripts
 * and the README: exit 0 and the output they parse; exit 1 with one line
 * and nothing written on a user error; a data directory made by init
 * only; note IDs in decimal; JSON that stays JSON whatever the bytes.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "e2e_support.h"

namespace {

using vqe2e::Json;
using vqe2e::Result;

class NotesctlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Ok({"init"});
        Ok({"person", "add", "Jane Roe", "--short", "jroe"});
        Ok({"person", "add", "John Doe"});
    }
    std::string Ok(const std::vector<std::string> &args)
    {
        Result r = vqe2e::Notesctl(data_, args);
        EXPECT_EQ(r.code, 0) << args[0] << ": " << r.out;
        return r.out;
    }
    vqtest::TempDir tmp_;
    const std::string data_ = tmp_ / "data";
};

TEST_F(NotesctlTest, OutputTheScriptsRead)
{
    Ok({"set-config", "VortiqInterval=5"});
    EXPECT_EQ(Ok({"show-config", "vortiqinterval"}), "5\n");
    EXPECT_EQ(Ok({"show-config"}), "Domain=Acme\nOrganization=Acme\nVortiqInterval=5\n");

    vqtest::MakeDirs(data_ + "/tasks");
    vqtest::WriteFile(data_ + "/tasks/vortiq.status", "Idle 2.0.1\n");
    /* no task holds its lock: its status line is stale, reported and removed */
    EXPECT_NE(Ok({"tasks"}).find("vortiq is not running"), std::string::npos);
    EXPECT_FALSE(vqtest::FileExists(data_ + "/tasks/vortiq.status"));
    vqtest::WriteFile(data_ + "/server.log", "one\ntwo\nthree\n");
    EXPECT_EQ(Ok({"log", "-n", "2"}), "two\nthree\n");

    /* the printed ID is the first column of "mail list" and is read back
     * in decimal, also with a leading zero (never octal) */
    for (int i = 0; i < 9; i++)
        Ok({"send", "--from", "John Doe", "--to", "jroe", "--subject", "m" + std::to_string(i)});
    const std::string id = Ok({"send", "--from", "John Doe", "--to", "jroe", "--subject", "Caf\xe9"});
    const unsigned n = std::stoul(id);
    ASSERT_GE(n, 8u) << "needs an ID that octal would read otherwise";
    EXPECT_NE(("\n" + Ok({"mail", "list", "mail/jroe.nsf"})).find("\n" + id.substr(0, id.size() - 1) + "  "),
              std::string::npos);
    for (const std::string &text : {std::to_string(n), "0" + std::to_string(n)}) {
        const Json shown = Json::parse(Ok({"mail", "show", "mail/jroe.nsf", text, "--json"}), nullptr, false);
        EXPECT_EQ(shown.value("noteid", 0u), n) << text;
        /* a byte that is not UTF-8 shows as U+FFFD */
        EXPECT_EQ(vqe2e::Item(shown, "Subject"), "Caf\xef\xbf\xbd") << text;
    }
}

TEST_F(NotesctlTest, UserErrorsAreOneLineExitOneAndWriteNothing)
{
    const std::string absent = tmp_ / "absent";
    const std::vector<std::vector<std::string>> cases = {
        {"send", "--from", "Nobody", "--to", "jroe"},
        {"send", "--from", "jroe", "--to", "jdoe", "--attach", "/no/such/file"},
        {"send", "--from", "jroe"},
        {"set-config", "novalue"},
        {"show-config", "NotThere"},
        {"person", "add", "Jane Roe"},
        {"mail", "show", "mail/jroe.nsf", "999"},
        {"quit", "../etc"},
        {"held", "list"}, /* no VortiqMsgfile */
        {"frobnicate"},
    };
    const std::string names = Ok({"db", "list", "names.nsf", "--json"});
    for (const auto &args : cases) {
        Result r = vqe2e::Notesctl(data_, args);
        EXPECT_EQ(r.code, 1) << args[0];
        EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line: " << r.out;
    }
    EXPECT_EQ(Ok({"db", "list", "names.nsf", "--json"}), names);
    EXPECT_TRUE(vqe2e::Documents(data_, "mail/jdoe.nsf").empty());
    EXPECT_EQ(vqe2e::Notesctl(absent, {"person", "add", "X"}).code, 1);
    EXPECT_FALSE(vqtest::FileExists(absent)) << "only init makes a data directory";
    EXPECT_EQ(vqe2e::Notesctl(absent, {"init"}).code, 0);
    EXPECT_TRUE(vqtest::FileExists(absent + "/names.nsf"));
}

// held list shows only marked messages of VortiqMsgfile; release unmarks one, delete removes one.
TEST_F(NotesctlTest, HeldMessagesListedReleasedDeleted)
{
    Ok({"domain", "add", "FAXGATE", "--mailfile", "vortiq.box"});
    Ok({"set-config", "VortiqMsgfile=vortiq.box"});
    for (const std::string s : {"A", "B"})
        Ok({"send", "--from", "jroe", "--to", "x@FAXGATE", "--subject", s, "--text", "VortiqHeld=bad date"});
    Ok({"send", "--from", "jroe", "--to", "x@FAXGATE", "--subject", "C"});
    auto held = [&] {
        std::map<std::string, std::string> ids; // subject -> note id
        for (const Json &d : Json::parse(Ok({"held", "list", "--json"})))
            ids[vqe2e::Item(d, "Subject")] = std::to_string(d.value("noteid", 0u));
        return ids;
    };
    auto ids = held();
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_EQ(vqe2e::Notesctl(data_, {"held", "release", "0x7fff"}).code, 1) << "no such held message";
    Ok({"held", "release", ids["A"]});
    Ok({"held", "delete", ids["B"]});
    EXPECT_TRUE(held().empty());
    std::vector<std::string> left;
    for (const Json &d : vqe2e::Documents(data_, "vortiq.box"))
        left.push_back(vqe2e::Item(d, "Subject"));
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"A", "C"}));
}

}  // namespace
