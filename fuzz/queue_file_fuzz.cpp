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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "activity.h"
#include "notes_fixture.h"
#include "vq_testhooks.h"

namespace {

const int kRunsPerDatabase = 300;
std::string g_dir;
std::string g_svcq;
int g_runs = 0;

void Require(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "queue_file_fuzz: %s\n", what);
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

std::string ReadAll(const std::string &Path)
{
    std::ifstream In(Path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    std::string Base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string Tmpl = Base + "/vqfuzz.queue.XXXXXX";
    Require(mkdtemp(&Tmpl[0]) != nullptr, "mkdtemp");
    g_dir = Tmpl;
    const std::string Root = g_dir + "/spool/TMBFAX";
    std::filesystem::create_directories(Root + "/PUBLIC");
    FILE *Ini = std::fopen((g_dir + "/notes.ini").c_str(), "w");
    Require(Ini != nullptr, "notes.ini");
    std::fclose(Ini);
    vqtest::SetDataDirectory(g_dir);
    vqtest::SetLogEcho(false);
    VqCopy(GatewayPath, sizeof GatewayPath, Root.c_str());
    VqCopy(ActLogNsf, sizeof ActLogNsf, "TMB_ACT.NSF");
    g_svcq = Root + SPOOL_SVCQ;
    FreshDatabase();
    std::atexit(RemoveDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    if (Size == 0)
        return 0;
    if (++g_runs % kRunsPerDatabase == 0)
        FreshDatabase();
    std::string File;
    if (Data[0] & 1)
        File.assign(QSIG_TEXT, QSIG_LEN);
    File.append(reinterpret_cast<const char *>(Data + 1), Size - 1);
    {
        std::ofstream Out(g_svcq, std::ios::binary | std::ios::trunc);
        Out << File;
    }

    const size_t HandlesBefore = vqtest::HandleCountAll();
    const size_t MisusesBefore = vqtest::MisuseCount();
    E_quit = 0;
    vqtest::ClearLog();

    AddPending();

    Require(E_quit == 0, "the listing set the stop flag");
    for (const auto &e : vqtest::LogEntries()) {
        bool Allowed = e.id == VQM_BAD_SIGNATURE ||
                       (e.id == VQM_DS0 && e.text.find("left over bytes in SVCQ") != std::string::npos);
        Require(Allowed, "the listing logged a failure");
    }
    Require(ReadAll(g_svcq) == File, "the queue file was changed");
    Require(vqtest::HandleCountAll() == HandlesBefore, "a handle was left open");
    Require(vqtest::MisuseCount() == MisusesBefore, "a handle was misused");
    return 0;
}
