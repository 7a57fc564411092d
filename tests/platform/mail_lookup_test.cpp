/*
 * mail_lookup_test.cpp - MailLookupAddress over names.nsf: every name a
 * person goes by, groups, the own domain, ambiguity and absence.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "notes_fixture.h"
#include "notesapi.h"
#include "test_support.h"

namespace {

class MailLookupTest : public vqtest::PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        ASSERT_EQ(OSSetEnvironmentVariable("Domain", "Acme"), NOERROR);
        vqtest::AddPerson("Jane Roe", "jroe", "", "555-0100");
        vqtest::AddDocument("names.nsf", {{"Type", "Person"},
                                          {"FullName", "CN=Ann Lee/OU=Sales/O=Acme"},
                                          {"ShortName", "alee"}});
        vqtest::AddPerson("Sam Twin", "stwin1", "");
        vqtest::AddPerson("Sam Twin", "stwin2", "", "-", "Other");
        vqtest::AddGroup("Fax Users", {"jroe", "alee"});
    }
    STATUS Lookup(const std::string &name, std::string *out)
    {
        char buf[MAXRECIPIENTNAME + 1];
        std::memset(buf, 'x', sizeof buf);
        STATUS s = MailLookupAddress(name.c_str(), buf);
        out->assign(s == NOERROR ? buf : "");
        return s;
    }
};

TEST_F(MailLookupTest, MatchesEveryNameWithoutCase)
{
    struct Case {
        const char *name;
        STATUS status;
        const char *want;
    } cases[] = {
        {"CN=Jane Roe/O=Acme", NOERROR, "CN=Jane Roe/O=Acme"},
        {"Jane Roe/Acme", NOERROR, "CN=Jane Roe/O=Acme"},
        {"jane roe", NOERROR, "CN=Jane Roe/O=Acme"},
        {"  JROE  ", NOERROR, "CN=Jane Roe/O=Acme"},
        {"jroe@Acme", NOERROR, "CN=Jane Roe/O=Acme"},
        {"jroe @ acme", NOERROR, "CN=Jane Roe/O=Acme"},
        {"Ann Lee/Sales/Acme", NOERROR, "CN=Ann Lee/OU=Sales/O=Acme"},
        {"Ann Lee", NOERROR, "CN=Ann Lee/OU=Sales/O=Acme"},
        {"alee", NOERROR, "CN=Ann Lee/OU=Sales/O=Acme"},
        {"fax users", NOERROR, "Fax Users"},
        {"stwin2", NOERROR, "CN=Sam Twin/O=Other"},
        {"Sam Twin", ERR_ROUTER_NOTUNIQUE, ""},
        {"jroe@FAXGATE", ERR_ROUTER_NOSUCHUSER, ""},
        {"Jane", ERR_ROUTER_NOSUCHUSER, ""},
        {"", ERR_ROUTER_NOSUCHUSER, ""},
        {"Acme", ERR_ROUTER_NOSUCHUSER, ""},
    };
    for (const auto &c : cases) {
        std::string got;
        EXPECT_EQ(Lookup(c.name, &got), c.status) << c.name;
        EXPECT_EQ(got, c.want) << c.name;
    }
}

TEST_F(MailLookupTest, SeesChangesAndLongNamesAreCut)
{
    std::string got;
    ASSERT_EQ(Lookup("newbie", &got), ERR_ROUTER_NOSUCHUSER);
    vqtest::AddPerson("New Bie", "newbie", "");
    ASSERT_EQ(Lookup("newbie", &got), NOERROR);
    EXPECT_EQ(got, "CN=New Bie/O=Acme");

    std::string longName(400, 'L');
    vqtest::AddGroup(longName, {"jroe"});
    ASSERT_EQ(Lookup(longName, &got), NOERROR);
    EXPECT_EQ(got, longName.substr(0, MAXRECIPIENTNAME));
}

TEST_F(MailLookupTest, MissingDirectoryIsAnError)
{
    std::remove((data_ / "names.nsf").c_str());
    std::string got;
    EXPECT_EQ(Lookup("jroe", &got), ERR_NOEXIST);
}

}  // namespace
