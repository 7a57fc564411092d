/*
 * fault.cpp - the fault seam every durable operation passes through.
 *
 * Each operation counts one; the N-th can be made to fail with a chosen
 * errno, or the process can end right after it succeeded (as a power
 * failure would), so that tests and crash sweeps reach every step of a
 * hand-over. Armed from VORTIQ_FAULT / VORTIQ_FAULT_LOG at the first
 * operation, or by PortFaultArm.
 */
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "vq_port.h"

namespace {

enum { kOff = 0, kCrash = 1, kFail = 2 };

std::atomic<int> g_mode{kOff};
std::atomic<long> g_target{0};
std::atomic<int> g_errno{EIO};
std::atomic<long> g_count{0};
std::once_flag g_envOnce;
std::string *g_logPath = nullptr; /* set once, before any counting */

/* The count of the operation this thread passed last. */
thread_local long t_lastOperation = 0;

int ParseErrno(const char *name)
{
    if (std::strcmp(name, "EIO") == 0)
        return EIO;
    if (std::strcmp(name, "ENOSPC") == 0)
        return ENOSPC;
    if (std::strcmp(name, "EACCES") == 0)
        return EACCES;
    int n = std::atoi(name);
    return n > 0 ? n : EIO;
}

void ReadEnvironment()
{
    const char *log = std::getenv("VORTIQ_FAULT_LOG");
    if (log != nullptr && *log != '\0')
        g_logPath = new std::string(log);
    const char *armed = std::getenv("VORTIQ_FAULT");
    if (armed == nullptr || *armed == '\0')
        return;
    char kind[16] = "";
    long n = 0;
    char err[32] = "EIO";
    if (std::sscanf(armed, "%15[a-z]:%ld:%31s", kind, &n, err) < 2 || n <= 0)
        return;
    if (std::strcmp(kind, "crash") == 0) {
        g_target = n;
        g_mode = kCrash;
    } else if (std::strcmp(kind, "fail") == 0) {
        g_errno = ParseErrno(err);
        g_target = n;
        g_mode = kFail;
    }
}

void LogOperation(long n, const char *kind)
{
    if (g_logPath == nullptr)
        return;
    int fd = open(g_logPath->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    char line[64];
    int len = std::snprintf(line, sizeof line, "%ld %s\n", n, kind != nullptr ? kind : "?");
    if (len > 0)
        (void)!write(fd, line, (size_t)len);
    close(fd);
}

}  // namespace

int PortFaultBefore(const char *Kind)
{
    std::call_once(g_envOnce, ReadEnvironment);
    const long n = ++g_count;
    t_lastOperation = n;
    LogOperation(n, Kind);
    if (g_mode.load() == kFail && n == g_target.load()) {
        const int e = g_errno.load();
        errno = e;
        return e;
    }
    return 0;
}

void PortFaultAfter(void)
{
    if (g_mode.load() == kCrash && t_lastOperation == g_target.load())
        _exit(PORT_CRASH_EXIT);
}

/* Arming starts the count afresh, so Operation counts from here. */
void PortFaultArm(int Mode, long Operation, int Errno)
{
    std::call_once(g_envOnce, ReadEnvironment);
    g_mode = kOff;
    g_count = 0;
    g_target = Operation;
    g_errno = Errno != 0 ? Errno : EIO;
    g_mode = (Mode == kCrash || Mode == kFail) ? Mode : kOff;
}

long PortFaultCount(void)
{
    return g_count.load();
}
