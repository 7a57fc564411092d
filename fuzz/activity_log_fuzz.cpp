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
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "activity.h"
#include "notes_fixture.h"
#include "vq_testhooks.h"

namespace {

const int kRunsPerDatabase = 300;
std::string g_dir;
std::string g_log;
std::string g_read;
int g_runs = 0;

void Require(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "activity_log_fuzz: %s\n", what);
        for (const auto &e : vqtest::LogEntries())
            std::fprintf(stderr, "  log: %u %s\n", (unsigned)e.id, e.text.c_str());
        std::abort();
    }
}

void RemoveDir()
{
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
}

void FreshDatabase()
{
    std::error_code ec;
    std::filesystem::remove(g_dir + "/TMB_ACT.NSF", ec);
    vqtest::CreateActivityDb("TMB_ACT.NSF");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::string Base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string Tmpl = Base + "/vqfuzz.activity.XXXXXX";
    Require(mkdtemp(&Tmpl[0]) != nullptr, "mkdtemp");
    g_dir = Tmpl;
    const std::string Root = g_dir + "/spool/TMBFAX";
    std::filesystem::create_directories(Root + "/UTIL/DATA");
    FILE *Ini = std::fopen((g_dir + "/notes.ini").c_str(), "w");
    Require(Ini != nullptr, "notes.ini");
    std::fclose(Ini);
    vqtest::SetDataDirectory(g_dir);
    vqtest::SetLogEcho(false);
    VqCopy(GatewayPath, sizeof GatewayPath, Root.c_str());
    VqCopy(ActLogNsf, sizeof ActLogNsf, "TMB_ACT.NSF");
    g_log = Root + SPOOL_ACTIVITY_LOG;
    g_read = Root + SPOOL_ACTIVITY_RD;
    FreshDatabase();
    std::atexit(RemoveDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    if (++g_runs % kRunsPerDatabase == 0)
        FreshDatabase();
    FILE *Log = std::fopen(g_log.c_str(), "wb");
    Require(Log != nullptr, "ACTIVITY.LOG");
    std::fwrite(Data, 1, Size, Log);
    std::fclose(Log);

    const size_t HandlesBefore = vqtest::HandleCountAll();
    const size_t MisusesBefore = vqtest::MisuseCount();
    E_quit = 0;
    vqtest::ClearLog();

    ImportActivity();

    Require(E_quit == 0, "the import set the stop flag");
    Require(vqtest::LogEntries().empty(), "the import logged a failure");
    Require(!std::filesystem::exists(g_log), "ACTIVITY.LOG left behind");
    Require(!std::filesystem::exists(g_read), "ACTIVITY.RD left behind");
    Require(vqtest::HandleCountAll() == HandlesBefore, "a handle was left open");
    Require(vqtest::MisuseCount() == MisusesBefore, "a handle was misused");
    return 0;
}
