/*
 * bench_support.h - what the benchmark programs share: the scratch data
 * folder of a run, the clock, the marks around a timed pass, deterministic
 * filler bytes, databases held open as a server's cache would, and the
 * pass-against-floor counters.
 *
 * Header-only, so that each vq_bench_* program stays a single source.
 * Notes data is made with the operator library (vq_operator.h). The nsf
 * bench links the stand-in alone: the part that needs the gateway is
 * compiled only where its header can be found.
 */
#ifndef VQ_BENCH_SUPPORT_H
#define VQ_BENCH_SUPPORT_H

#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <system_error>
#include <vector>

#include "vq_nsf.h"
#include "vq_operator.h"
#include "vq_port.h"
#include "vq_testhooks.h"

#if __has_include("vortiq.h")
#include "vortiq.h"
#endif

namespace vqbench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

/* A new empty folder under $TMPDIR (or /tmp), kept until
 * RemoveScratchDir. A bench without its folder has nothing to measure,
 * so failing to make one ends the program. */
inline std::string MakeScratchDir()
{
    try {
        return vqop::ScratchDir("vqbench").Release();
    } catch (const vqop::Error &) {
        std::exit(1);
    }
}

/* A scratch folder made the data directory, with an empty notes.ini. */
inline std::string MakeDataDirectory()
{
    const std::string dir = MakeScratchDir();
    vqop::CreateDataDirectory(dir);
    vqtest::SetDataDirectory(dir);
    return dir;
}

/* Removal at the end of a run is best effort: a leftover in /tmp must not
 * turn measured figures into a failed run. */
inline void RemoveScratchDir(const std::string &dir)
{
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

/* With VQ_BENCH_MARKS set, a line on standard error where the timed part
 * begins and ends, so that a strace or perf record of the run can be cut
 * to the pass alone. */
inline void Mark(const char *what)
{
    static const bool on = std::getenv("VQ_BENCH_MARKS") != nullptr;
    if (on)
        std::fprintf(stderr, "VQ_BENCH_MARK %s (durable operation %ld)\n", what, PortFaultCount());
}

/* The CPU time of the calling thread, in user space and in the kernel:
 * Take() before and after a stretch, and the difference. The part of a
 * stretch's time that is neither was spent waiting (for a sync, say). */
struct CpuTimes {
    double user = 0, sys = 0, faults = 0;
    static CpuTimes Take()
    {
        struct rusage r;
        CpuTimes t;
        if (getrusage(RUSAGE_THREAD, &r) == 0) {
            t.user = (double)r.ru_utime.tv_sec + (double)r.ru_utime.tv_usec * 1e-6;
            t.sys = (double)r.ru_stime.tv_sec + (double)r.ru_stime.tv_usec * 1e-6;
            t.faults = (double)r.ru_minflt;
        }
        return t;
    }
    CpuTimes operator-(const CpuTimes &o) const
    {
        return {user - o.user, sys - o.sys, faults - o.faults};
    }
    CpuTimes &operator+=(const CpuTimes &o)
    {
        user += o.user;
        sys += o.sys;
        faults += o.faults;
        return *this;
    }
    /* <prefix>_user_s, <prefix>_sys_s and <prefix>_page_faults (minor
     * faults: memory touched for the first time), per iteration */
    void Report(benchmark::State &state, const char *prefix, double iterations) const
    {
        state.counters[std::string(prefix) + "_user_s"] = user / iterations;
        state.counters[std::string(prefix) + "_sys_s"] = sys / iterations;
        state.counters[std::string(prefix) + "_page_faults"] = faults / iterations;
    }
};

/* Deterministic bytes that are not text, so no layer can shorten them. */
inline std::string Bytes(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = (char)(x >> 16);
    }
    return s;
}

/* The databases a pass touches, held open by the bench for the whole pass
 * (when asked to), as a Notes server keeps them in its cache. The pass's
 * own opens and closes then are not the last connection: no checkpoint at
 * close, and the write-ahead log files stay. */
class HeldOpen {
public:
    HeldOpen(bool hold, std::initializer_list<const char *> names)
    {
        if (!hold)
            return;
        for (const char *name : names) {
            DBHANDLE h = NULLHANDLE;
            if (NSFDbOpen(name, &h) == NOERROR)
                handles_.push_back(h);
        }
    }
    ~HeldOpen()
    {
        for (DBHANDLE h : handles_)
            NSFDbClose(h);
    }
    HeldOpen(const HeldOpen &) = delete;
    HeldOpen &operator=(const HeldOpen &) = delete;

private:
    std::vector<DBHANDLE> handles_;
};

/* The counters every pass-against-floor bench reports, from the totals of
 * its iterations; the caller decides whether there is anything to report. */
inline void PassFloorCounters(benchmark::State &state, double passTotal, double floorTotal)
{
    const double n = (double)state.iterations();
    state.counters["pass_s"] = passTotal / n;
    state.counters["floor_s"] = floorTotal / n;
    state.counters["ratio"] = passTotal / floorTotal;
}

#if __has_include("vq_port.h")
/* The durable operations of a stretch of a run, by kind, from the fault
 * seam's counts: Take() before and after, and the difference per item. */
struct OpCounts {
    long fsync = 0, dirsync = 0, commit = 0, rename = 0, create = 0, unlink = 0;
    static OpCounts Take()
    {
        OpCounts c;
        c.fsync = PortFaultKindCount("fsync");
        c.dirsync = PortFaultKindCount("dirsync");
        c.commit = PortFaultKindCount("commit");
        c.rename = PortFaultKindCount("rename");
        c.create = PortFaultKindCount("create");
        c.unlink = PortFaultKindCount("unlink");
        return c;
    }
    OpCounts &operator+=(const OpCounts &o)
    {
        fsync += o.fsync, dirsync += o.dirsync, commit += o.commit;
        rename += o.rename, create += o.create, unlink += o.unlink;
        return *this;
    }
    OpCounts operator-(const OpCounts &o) const
    {
        OpCounts c = *this;
        c.fsync -= o.fsync, c.dirsync -= o.dirsync, c.commit -= o.commit;
        c.rename -= o.rename, c.create -= o.create, c.unlink -= o.unlink;
        return c;
    }
    /* "<prefix>_fsyncs" (files and folders), "_commits", "_renames",
     * "_creates", "_unlinks", each per item. */
    void Report(benchmark::State &state, const char *prefix, double items) const
    {
        const std::string p = prefix;
        state.counters[p + "_fsyncs"] = (double)(fsync + dirsync) / items;
        state.counters[p + "_commits"] = (double)commit / items;
        state.counters[p + "_renames"] = (double)rename / items;
        state.counters[p + "_creates"] = (double)create / items;
        state.counters[p + "_unlinks"] = (double)unlink / items;
    }
};
#endif

#if __has_include("vortiq.h")
/* Points the gateway at a spool tree on the local file system. */
inline void UseSpool(const std::string &root)
{
    VqCopy(GatewayPath, sizeof GatewayPath, root.c_str());
    GatewayDrive[0] = '\0';
}
#endif

}  // namespace vqbench

#endif
