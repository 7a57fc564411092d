/*
 * activity_log_fuzz.cpp - the fax server's activity log: the input is the
 * whole ACTIVITY.LOG, imported by ImportActivity into an activity database
 * with its view "Pending by Job ID", as the inbound cycle does it.
 *
 * With nothing failing underneath, an import must log nothing, leave
 * neither ACTIVITY.LOG nor ACTIVITY.RD behind, keep the stop flag clear
 * and every handle closed. The database is made anew now and then, so
 * that the runs stay fast as entries pile up.
 */
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "activity.h"
#include "fuzz_support.h"

using vqfuzz::Require;

namespace {

const int kRunsPerDatabase = 300;
const char kActivityDb[] = "TMB_ACT.NSF";
std::string g_dir;
std::string g_log;
std::string g_read;
int g_runs = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    vqfuzz::g_target = "activity_log_fuzz";
    g_dir = vqfuzz::MakeScratch("activity");
    vqfuzz::UseDataDirectory(g_dir);
    const std::string Root = vqfuzz::UseSpool(g_dir, {"/UTIL/DATA"});
    VqCopy(ActLogNsf, sizeof ActLogNsf, kActivityDb);
    g_log = Root + SPOOL_ACTIVITY_LOG;
    g_read = Root + SPOOL_ACTIVITY_RD;
    vqfuzz::FreshActivityDb(kActivityDb);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    if (++g_runs % kRunsPerDatabase == 0)
        vqfuzz::FreshActivityDb(kActivityDb);
    FILE *Log = std::fopen(g_log.c_str(), "wb");
    Require(Log != nullptr, "ACTIVITY.LOG");
    std::fwrite(Data, 1, Size, Log);
    std::fclose(Log);

    const vqfuzz::HandleCheck Handles;
    E_quit = 0;
    vqtest::ClearLog();

    ImportActivity();

    Require(E_quit == 0, "the import set the stop flag");
    Require(vqtest::LogEntries().empty(), "the import logged a failure");
    Require(!std::filesystem::exists(g_log), "ACTIVITY.LOG left behind");
    Require(!std::filesystem::exists(g_read), "ACTIVITY.RD left behind");
    Handles.Check();
    return 0;
}
