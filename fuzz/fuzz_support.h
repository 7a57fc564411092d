/*
 * fuzz_support.h - what the fuzz targets share: the failure report, the
 * scratch data directory a target keeps for the whole process, the spool
 * below it (laid out by the operator library, vq_operator.h), and the
 * handle counts every run must leave as it found them.
 *
 * A failed check prints "<target>: <what>" (scripts/fuzz.sh picks these
 * lines out of the log) with the messages the run logged, then aborts so
 * that libFuzzer keeps the input.
 */
#ifndef VQ_FUZZ_SUPPORT_H
#define VQ_FUZZ_SUPPORT_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "vortiq.h"
#include "vq_operator.h"
#include "vq_testhooks.h"

namespace vqfuzz {

/* Name that starts every failure line; each target sets it first thing. */
inline const char *g_target = "fuzz";

inline void Require(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "%s: %s\n", g_target, what);
        for (const auto &e : vqtest::LogEntries())
            std::fprintf(stderr, "  log: %u %s\n", (unsigned)e.id, e.text.c_str());
        std::abort();
    }
}

/* A value must end inside its buffer. */
inline void RequireTerminated(const char *Buf, size_t Size, const char *what)
{
    Require(std::memchr(Buf, '\0', Size) != nullptr, what);
}

/* Handle counts before a run; Check() after it wants them unchanged. */
class HandleCheck {
public:
    HandleCheck() : handles_(vqtest::HandleCountAll()), misuses_(vqtest::MisuseCount()) {}
    void Check() const
    {
        Require(vqtest::HandleCountAll() == handles_, "a handle was left open");
        Require(vqtest::MisuseCount() == misuses_, "a handle was misused");
    }

private:
    size_t handles_;
    size_t misuses_;
};

inline std::string &ScratchDir()
{
    static std::string Dir;
    return Dir;
}

inline void RemoveScratch()
{
    std::error_code ec;
    std::filesystem::remove_all(ScratchDir(), ec);
}

/* A new folder in memory where there is /dev/shm (the runs write files
 * thousands of times), removed when the process ends. Tag names it. */
inline std::string MakeScratch(const char *Tag)
{
    std::string Base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
    std::string Tmpl = Base + "/vqfuzz." + Tag + ".XXXXXX";
    Require(mkdtemp(&Tmpl[0]) != nullptr, "mkdtemp");
    ScratchDir() = Tmpl;
    std::atexit(RemoveScratch);
    return Tmpl;
}

/* Makes Dir the Notes data directory, with an empty notes.ini; the log
 * is captured without echo. */
inline void UseDataDirectory(const std::string &Dir)
{
    vqop::CreateDataDirectory(Dir);
    vqtest::SetDataDirectory(Dir);
    vqtest::SetLogEcho(false);
}

/* The gateway spool below Dir with these subfolders, made the gateway's
 * path; returns the spool root. */
inline std::string UseSpool(const std::string &Dir, const std::vector<std::string> &Subdirs)
{
    const std::string Root = vqop::CreateSpool(Dir, Subdirs);
    VqCopy(GatewayPath, sizeof GatewayPath, Root.c_str());
    return Root;
}

/* The activity database of that name, made anew. */
inline void FreshActivityDb(const char *Name)
{
    vqop::RemoveDb(Name);
    vqop::CreateActivityDb(Name);
}

using vqop::ListDir;
using vqop::ReadFile;

}  // namespace vqfuzz

#endif
