/*
 * fax_options_test.cpp - the options file reader: header-line rules, each
 * setting's pattern, repeated keys, and what reaches the option text, the
 * job file lines, the cover message, the sender's name and the
 * include-names flag.
 */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "outbound.h"
#include "test_support.h"

namespace {

struct OptionsResult {
    WORD result;
    std::string moreAdd;
    std::string jobLines;
    std::string moreBody;
    std::string fromName;
    char includeNames;
};

class FaxOptionsTest : public vqtest::PlatformTest {
protected:
    /* Runs do_addconf on a file holding content, with the outputs preset
     * as the job writer presets them. */
    OptionsResult Apply(const std::string &content, const std::string &moreAdd = ", S, cover:")
    {
        const std::string conf = dir_ / "00000000";
        const std::string job = dir_ / "00000000.INC";
        vqtest::WriteFile(conf, content);
        OptionsResult r{0, moreAdd, "", "", "", 'Y'};
        char moreBody[JOB_MOREBODY_SIZE] = "";
        char fromName[JOB_FROMNAME_SIZE] = "John Smith";
        FILE *f = PortFopen(job.c_str(), "wb");
        EXPECT_NE(f, nullptr);
        r.result = do_addconf(f, conf.c_str(), &r.moreAdd, moreBody, sizeof moreBody, fromName,
                              sizeof fromName, &r.includeNames);
        PortFclose(f);
        r.jobLines = vqtest::ReadFile(job);
        r.moreBody = moreBody;
        r.fromName = fromName;
        return r;
    }
    vqtest::TempDir dir_;
};

TEST_F(FaxOptionsTest, SettingsTable)
{
    const std::string H = "[Fax Options]\n";
    struct Case {
        const char *name;
        std::string content;
        std::string wantAdd;  /* appended to ", S, cover:" */
        std::string wantJob;
        char wantNames;
    } cases[] = {
        {"resolution low", H + "Resolution = Low\n", ", s", "", 'Y'},
        {"resolution LOW", H + "Resolution = LOW\n", ", s", "", 'Y'},
        {"resolution fine", H + "Resolution = Fine\n", ", d", "", 'Y'},
        {"resolution high", H + "Resolution = High\n", ", d", "", 'Y'},
        {"resolution without value", H + "Resolution =\n", "", "", 'Y'},
        {"resolution key case", H + "resolution = Low\n", "", "", 'Y'},
        {"blanks are free", H + "   Resolution=Low\n", ", s", "", 'Y'},
        {"two resolution lines", H + "Resolution = Low\nResolution = High\n", ", s, d", "", 'Y'},
        {"notification no", H + "Delivery notification = no\n", "", "\nReturn_Good: no", 'Y'},
        {"notification yes", H + "Delivery notification = Yes\n", "", "", 'Y'},
        {"cover off with blank before =", H + "Send cover page = No\n", "", "", 'Y'},
        {"cover off", H + "Send cover page=No\n", ", Cover:(none)", "", 'Y'},
        {"cover off blank after =", H + "Send cover page= No\n", ", Cover:(none)", "", 'Y'},
        {"cover yes", H + "Send cover page=YES\n", "", "", 'Y'},
        {"cover form one word", H + "Cover page form = Standard Memo\n", ", Cover: Standard", "", 'Y'},
        {"cover form after cover off", H + "Send cover page=No\nCover page form = Standard\n",
         ", Cover:(none)", "", 'Y'},
        {"cover form before cover off", H + "Cover page form = Standard\nSend cover page=No\n",
         ", Cover: Standard, Cover:(none)", "", 'Y'},
        {"cost code keeps blanks", H + "Cost code = 12 34  \n", ", #12 34  ", "", 'Y'},
        {"include names No", H + "Include all names on cover page = No\n", "", "", 'N'},
        {"include names yes", H + "Include all names on cover page = yes\n", "", "", 'y'},
        {"include names Yes", H + "Include all names on cover page = Yes\n", "", "", 'Y'},
        {"include names empty", H + "Include all names on cover page =\n", "", "", 'Y'},
        {"sender lines in file order",
         H + "Fax number = 555 0199\nCompany name = Acme Inc.\nSender's address line 1 = 1 Main St\n"
             "Sender's address line 2 = Springfield\nPhone number = 555 0100\n",
         "",
         "\nSnd_fax: 555 0199\nSnd_company: Acme Inc.\nSnd_address1: 1 Main St"
         "\nSnd_address2: Springfield\nSnd_voice: 555 0100",
         'Y'},
        {"CR LF line ends", "[Fax Options]\r\nResolution = Low\r\nCompany name = Acme\r\n", ", s",
         "\nSnd_company: Acme", 'Y'},
        {"a lone CR in a value is a blank", H + "Company name = Ac\rme\n", "", "\nSnd_company: Ac me",
         'Y'},
        {"unknown and misspelled keys", H + "Colour = red\nCompany nam = x\n\n", "", "", 'Y'},
        {"last line without line end", H + "Resolution = Low", ", s", "", 'Y'},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        OptionsResult got = Apply(c.content);
        EXPECT_EQ(got.result, 0);
        EXPECT_EQ(got.moreAdd, ", S, cover:" + c.wantAdd);
        EXPECT_EQ(got.jobLines, c.wantJob);
        EXPECT_EQ(got.includeNames, c.wantNames);
    }
}

TEST_F(FaxOptionsTest, HeaderLineDecidesWhetherItIsAnOptionsFile)
{
    struct Case {
        const char *name;
        std::string content;
        WORD want;
    } cases[] = {
        {"header with a version word", "[Fax Options] 2.0\nResolution = Low\n", 0},
        {"header only", "[Fax Options]\n", 0},
        {"header without line end", "[Fax Options]", 0},
        {"blank before header", " [Fax Options]\nResolution = Low\n", OPT_NOT_OPTIONS},
        {"empty first line", "\n[Fax Options]\nResolution = Low\n", OPT_NOT_OPTIONS},
        {"header letter case", "[fax options]\nResolution = Low\n", OPT_NOT_OPTIONS},
        {"empty file", "", OPT_NOT_OPTIONS},
        {"a document", "Dear Jane,\nResolution = Low\n", OPT_NOT_OPTIONS},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        OptionsResult got = Apply(c.content);
        EXPECT_EQ(got.result, c.want);
        /* nothing applied unless it is an options file, and a header alone
         * changes nothing either */
        if (c.want != 0 || c.content.find("Resolution") == std::string::npos) {
            EXPECT_EQ(got.moreAdd, ", S, cover:");
            EXPECT_EQ(got.jobLines, "");
            EXPECT_EQ(got.fromName, "John Smith");
            EXPECT_EQ(got.includeNames, 'Y');
        }
    }
}

TEST_F(FaxOptionsTest, MissingFileIsNotAnOptionsFile)
{
    OptionsResult r{0, ", S, cover:", "", "", "", 'Y'};
    char moreBody[JOB_MOREBODY_SIZE] = "keep";
    char fromName[JOB_FROMNAME_SIZE] = "keep";
    const std::string job = dir_ / "job";
    FILE *f = PortFopen(job.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(do_addconf(f, (dir_ / "missing").c_str(), &r.moreAdd, moreBody, sizeof moreBody,
                         fromName, sizeof fromName, &r.includeNames),
              OPT_NOT_OPTIONS);
    PortFclose(f);
    EXPECT_EQ(r.moreAdd, ", S, cover:");
    EXPECT_STREQ(moreBody, "keep");
    EXPECT_STREQ(fromName, "keep");
}

TEST_F(FaxOptionsTest, LastCoverMessageAndSenderNameWin)
{
    OptionsResult got = Apply(
        "[Fax Options]\n"
        "Cover page message = first\n"
        "Sender's name = Jane Roe\n"
        "Cover page message =   Please call back.  \n"
        "Sender's name = Ann Lee, Sales\n"
        "Sender's name =\n");
    EXPECT_EQ(got.result, 0);
    EXPECT_EQ(got.moreBody, "Please call back.  ");
    EXPECT_EQ(got.fromName, "Ann Lee, Sales");
}

TEST_F(FaxOptionsTest, LongValuesKeepTheirWidths)
{
    const std::string msg(400, 'm');
    const std::string name(300, 'n');
    const std::string company(1500, 'c');
    OptionsResult got = Apply("[Fax Options]\nCover page message = " + msg +
                              "\nSender's name = " + name + "\nCompany name = " + company +
                              "\n");
    EXPECT_EQ(got.moreBody, std::string(255, 'm'));
    EXPECT_EQ(got.fromName, std::string(255, 'n'));
    EXPECT_EQ(got.jobLines, "\nSnd_company: " + std::string(1023, 'c'));
}

/* A long cost code reaches the option text whole, and the tail of a long
 * line is never read as a setting of its own. */
TEST_F(FaxOptionsTest, LongCostCodeIsNeverCut)
{
    const std::string code(2000, '7');
    OptionsResult got = Apply("[Fax Options]\nCost code = " + code + "\nResolution = Low\n");
    EXPECT_EQ(got.moreAdd, ", S, cover:, #" + code + ", s");

    const std::string tail = std::string(1100, 'x') + "Resolution = Low";
    got = Apply("[Fax Options]\nCompany name = " + tail + "\n");
    EXPECT_EQ(got.moreAdd, ", S, cover:");
    EXPECT_EQ(got.jobLines, "\nSnd_company: " + tail.substr(0, 1023));
}

}  // namespace
