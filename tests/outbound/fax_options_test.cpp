// fax_options_test.cpp - do_addconf: the header line and each setting's outputs.
#include <gtest/gtest.h>


#include "outbound.h"
#include "test_support.h"

namespace {

const char kPreset[] = ", S, cover:"; /* the option text as the job writer presets it */

struct Options { WORD result; std::string moreAdd, jobLines, moreBody, fromName; char includeNames; };

class FaxOptionsTest : public vqtest::PlatformTest {
protected:
    // do_addconf on a file holding content (none: no file), outputs preset as the job writer does.
    Options Apply(const std::string *content)
    {
        const std::string conf = dir_ / "00000000", job = dir_ / "00000000.INC";
        if (content != nullptr)
            vqtest::WriteFile(conf, *content);
        Options r{0, kPreset, "", "", "", 'Y'};
        char moreBody[JOB_MOREBODY_SIZE] = "keep";
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
    Options Apply(const std::string &content) { return Apply(&content); }
    vqtest::TempDir dir_;
};

TEST_F(FaxOptionsTest, SettingsTable)
{
    const std::string H = "[Fax Options]\n";
    const std::string code(2000, '7'), tail = std::string(1100, 'x') + "Resolution = Low";
    struct Case {
        const char *name;
        std::string content;
        std::string wantAdd; /* appended to the preset option text */
        std::string wantJob;
        char wantNames = 'Y';
        std::string wantBody = "keep", wantFrom = "John Smith";
    } cases[] = {
        {"header with a version word", "[Fax Options] 2.0\nResolution = Low\n", ", s", ""},
        {"header alone, no line end", "[Fax Options]", "", ""},
        {"resolution fine", H + "Resolution = Fine\n", ", d", ""},
        {"resolution without value", H + "Resolution =\n", "", ""},
        {"resolution key case", H + "resolution = Low\n", "", ""},
        {"blanks are free", H + "   Resolution=Low\n", ", s", ""},
        {"two resolution lines", H + "Resolution = Low\nResolution = High\n", ", s, d", ""},
        {"notification no", H + "Delivery notification = no\n", "", "\nReturn_Good: no"},
        {"cover off with blank before =", H + "Send cover page = No\n", "", ""},
        {"cover off", H + "Send cover page=No\n", ", Cover:(none)", ""},
        {"cover form one word", H + "Cover page form = Standard Memo\n", ", Cover: Standard", ""},
        {"cover form after cover off", H + "Send cover page=No\nCover page form = Standard\n", ", Cover:(none)", ""},
        {"cover form before cover off", H + "Cover page form = Standard\nSend cover page=No\n",
         ", Cover: Standard, Cover:(none)", ""},
        {"cost code keeps blanks", H + "Cost code = 12 34  \n", ", #12 34  ", ""},
        {"include names No", H + "Include all names on cover page = No\n", "", "", 'N'},
        {"include names yes", H + "Include all names on cover page = yes\n", "", "", 'y'},
        {"include names empty", H + "Include all names on cover page =\n", "", "", 'Y'},
        {"sender lines in file order", H + "Fax number = 555 0199\nCompany name = Acme Inc.\nSender's address line 1 = 1 Main St"
             "\nSender's address line 2 = Springfield\nPhone number = 555 0100\n", "",
         "\nSnd_fax: 555 0199\nSnd_company: Acme Inc.\nSnd_address1: 1 Main St"
         "\nSnd_address2: Springfield\nSnd_voice: 555 0100"},
        {"CR LF line ends", "[Fax Options]\r\nResolution = Low\r\nCompany name = Acme\r\n", ", s",
         "\nSnd_company: Acme"},
        {"a lone CR in a value is a blank", H + "Company name = Ac\rme\n", "", "\nSnd_company: Ac me"},
        {"unknown and misspelled keys", H + "Colour = red\nCompany nam = x\n\n", "", ""},
        {"last line without line end", H + "Resolution = Low", ", s", ""},
        {"last cover message and sender name win", H + "Cover page message = first\nSender's name = Jane Roe\n"
             "Cover page message =   Please call back.  \nSender's name = Ann Lee, Sales\nSender's name =\n",
         "", "", 'Y', "Please call back.  ", "Ann Lee, Sales"},
        {"long values keep their widths",
         H + "Cover page message = " + std::string(400, 'm') + "\nSender's name = " + std::string(300, 'n') +
             "\nCompany name = " + std::string(1500, 'c') + "\n",
         "", "\nSnd_company: " + std::string(1023, 'c'), 'Y', std::string(255, 'm'), std::string(255, 'n')},
        {"a long cost code is never cut", H + "Cost code = " + code + "\nResolution = Low\n", ", #" + code + ", s", ""},
        {"the tail of a long line is no setting", H + "Company name = " + tail + "\n", "",
         "\nSnd_company: " + tail.substr(0, 1023)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Options got = Apply(c.content);
        EXPECT_EQ(got.result, 0);
        EXPECT_EQ(got.moreAdd, kPreset + c.wantAdd);
        EXPECT_EQ(got.jobLines, c.wantJob);
        EXPECT_EQ(got.includeNames, c.wantNames);
        EXPECT_EQ(got.moreBody, c.wantBody);
        EXPECT_EQ(got.fromName, c.wantFrom);
    }
}

// Without "[Fax Options]" at the very start nothing is applied or written.
TEST_F(FaxOptionsTest, NoHeaderNoOptions)
{
    for (const char *content : {" [Fax Options]\nResolution = Low\n", "\n[Fax Options]\nResolution = Low\n",
                                "[fax options]\nCompany name = x\n", "", (const char *)nullptr}) {
        const std::string text = content ? content : "";
        Options got = Apply(content ? &text : nullptr);
        EXPECT_EQ(got.result, OPT_NOT_OPTIONS);
        EXPECT_EQ(got.moreAdd + got.jobLines + got.moreBody + got.fromName + got.includeNames,
                  kPreset + std::string("keepJohn SmithY"));
    }
}

}  // namespace
