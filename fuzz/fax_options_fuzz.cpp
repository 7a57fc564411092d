/*
 * fax_options_fuzz.cpp - options files ("faxsvr.fof") as a sender might
 * attach them, applied by do_addconf to a job file in memory. Most inputs
 * are given the "[Fax Options]" head, so that the settings are reached;
 * the rest test the head itself.
 *
 * Checked: the answer is 0 or "not an options file", a file that is not
 * one leaves every output as it was, the cover page message and the
 * sender's name end inside their buffers (exact-size heap buffers), the
 * option text is only appended to, and every line written into the job
 * file is one of the sender lines (no value carries a line end into it).
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "outbound.h"

using vqfuzz::Require;

namespace {

std::string g_file;
const char kHead[] = "[Fax Options]\n";
const char kMoreAdd[] = ", S, cover:";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    vqfuzz::g_target = "fax_options_fuzz";
    g_file = vqfuzz::MakeScratch("options") + "/00000000";
    vqtest::SetLogEcho(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    if (Size == 0)
        return 0;
    /* The first byte chooses whether the head is given. */
    const bool GiveHead = (Data[0] & 7) != 0;
    FILE *Options = std::fopen(g_file.c_str(), "wb");
    Require(Options != nullptr, "options file");
    if (GiveHead)
        std::fwrite(kHead, 1, sizeof kHead - 1, Options);
    std::fwrite(Data + 1, 1, Size - 1, Options);
    std::fclose(Options);

    char *JobText = nullptr;
    size_t JobSize = 0;
    FILE *Job = open_memstream(&JobText, &JobSize);
    Require(Job != nullptr, "job stream");

    std::string More_Add = kMoreAdd;
    std::vector<char> More_Body(JOB_MOREBODY_SIZE, 'b');
    std::vector<char> FromName(JOB_FROMNAME_SIZE, 'f');
    More_Body.back() = FromName.back() = '\0';
    const std::vector<char> BodyBefore = More_Body, FromBefore = FromName;
    char IncludeNames = 'Y';

    WORD Result = do_addconf(Job, g_file.c_str(), &More_Add, More_Body.data(), More_Body.size(),
                             FromName.data(), FromName.size(), &IncludeNames);
    std::fflush(Job);
    const size_t Written = JobSize;
    const std::string JobLines(JobText, JobSize);
    std::fclose(Job);
    std::free(JobText);

    /* Each job file line is one of the sender lines: a value never
     * carries a line end, so no setting can forge a header of its own. */
    static const char *const kHeads[] = {"Return_Good: ", "Snd_company: ", "Snd_address1: ",
                                         "Snd_address2: ", "Snd_voice: ", "Snd_fax: "};
    Require(JobLines.empty() || JobLines[0] == '\n', "job lines do not begin a line");
    for (size_t Pos = 0; Pos < JobLines.size(); Pos = JobLines.find('\n', Pos + 1)) {
        if (Pos == std::string::npos)
            break;
        bool Known = false;
        for (const char *Head : kHeads)
            Known = Known || JobLines.compare(Pos + 1, std::strlen(Head), Head) == 0;
        Require(Known, "a job file line that no setting makes");
    }

    Require(Result == NOERROR || Result == OPT_NOT_OPTIONS, "unexpected answer");
    Require(More_Add.compare(0, sizeof kMoreAdd - 1, kMoreAdd) == 0, "option text not kept");
    Require(std::memchr(More_Body.data(), '\0', More_Body.size()) != nullptr,
            "cover page message not terminated");
    Require(std::memchr(FromName.data(), '\0', FromName.size()) != nullptr,
            "sender's name not terminated");
    if (Result == OPT_NOT_OPTIONS) {
        Require(More_Add == kMoreAdd && More_Body == BodyBefore && FromName == FromBefore &&
                    IncludeNames == 'Y' && Written == 0,
                "a file that is not an options file changed something");
    }
    if (GiveHead)
        Require(Result == NOERROR, "a file with the head was refused");
    vqtest::ClearLog();
    return 0;
}
