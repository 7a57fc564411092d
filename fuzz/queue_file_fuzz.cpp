/*
 * queue_file_fuzz.cpp - the fax server's queue file PUBLIC/SVCQ, listed by
 * AddPending into the activity database. The first input byte chooses
 * whether the right signature leads the file (so that the records are
 * reached); the rest is the file, or the records after the signature.
 *
 * Checked: the listing never changes the queue file, logs nothing but a
 * bad signature or a record cut short, keeps the stop flag clear and
 * leaves no handle open. The database is made anew now and then.
 */
#include <cstdint>
#include <fstream>
#include <string>

#include "activity.h"
#include "fuzz_support.h"

using vqfuzz::Require;

namespace {

const int kRunsPerDatabase = 300;
const char kActivityDb[] = "TMB_ACT.NSF";
std::string g_dir;
std::string g_svcq;
int g_runs = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    vqfuzz::g_target = "queue_file_fuzz";
    g_dir = vqfuzz::MakeScratch("queue");
    vqfuzz::UseDataDirectory(g_dir);
    const std::string Root = vqfuzz::UseSpool(g_dir, {"/PUBLIC"});
    VqCopy(ActLogNsf, sizeof ActLogNsf, kActivityDb);
    g_svcq = Root + SPOOL_SVCQ;
    vqfuzz::FreshActivityDb(kActivityDb);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    if (Size == 0)
        return 0;
    if (++g_runs % kRunsPerDatabase == 0)
        vqfuzz::FreshActivityDb(kActivityDb);
    std::string File;
    if (Data[0] & 1)
        File.assign(QSIG_TEXT, QSIG_LEN);
    File.append(reinterpret_cast<const char *>(Data + 1), Size - 1);
    {
        std::ofstream Out(g_svcq, std::ios::binary | std::ios::trunc);
        Out << File;
    }

    const vqfuzz::HandleCheck Handles;
    E_quit = 0;
    vqtest::ClearLog();

    AddPending();

    Require(E_quit == 0, "the listing set the stop flag");
    for (const auto &e : vqtest::LogEntries()) {
        bool Allowed = e.id == VQM_BAD_SIGNATURE ||
                       (e.id == VQM_DS0 && e.text.find("left over bytes in SVCQ") != std::string::npos);
        Require(Allowed, "the listing logged a failure");
    }
    Require(vqfuzz::ReadFile(g_svcq) == File, "the queue file was changed");
    Handles.Check();
    return 0;
}
