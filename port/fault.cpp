/*
 * fault.cpp - the fault seam every durable operation passes through.
 *
 * Each operation counts one; the N-th (or every one from the N-th on)
 * can be made to fail with a chosen errno, or the process can end right
 * after it succeeded (as a power failure would), so that tests and crash
 * sweeps reach every step of a hand-over. The log names each step's
 * files, so that sweeps can check the order of fsyncs and hand-overs.
 * Armed from VORTIQ_FAULT / VORTIQ_FAULT_LOG at the first operation, or
 * by PortFaultArm.
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

enum { kOff = 0, kCrash = 1, kFail = 2, kFailOn = 3 };

std::atomic<int> g_mode{kOff};
std::atomic<long> g_target{0};
std::atomic<int> g_errno{EIO};
std::atomic<long> g_count{0};
std::once_flag g_envOnce;
std::string *g_logPath = nullptr; /* set once, before any counting */
/* Where failures land: a path prefix ("!" before it: everywhere else);
 * unset, everywhere. Guarded by g_scopeMutex. */
std::mutex g_scopeMutex;
std::string g_scope;

/* Steps passed so far by kind, counted or not (PortFaultKindCount). */
const char *const kKinds[] = {"create", "write", "fsync", "rename", "unlink", "commit", "dirsync"};
constexpr int kKindCount = (int)(sizeof kKinds / sizeof kKinds[0]);
std::atomic<long> g_kindCount[kKindCount];

void CountKind(const char *kind)
{
    for (int i = 0; kind != nullptr && i < kKindCount; i++)
        if (std::strcmp(kind, kKinds[i]) == 0)
            g_kindCount[i]++;
}

/* The count of the operation this thread passed last. */
thread_local long t_lastOperation = 0;
/* A full disk met since PortDiskFullTake last looked. */
thread_local bool t_diskFull = false;

int ParseErrno(const char *name)
{
    if (std::strcmp(name, "EIO") == 0)
        return EIO;
    if (std::strcmp(name, "ENOSPC") == 0)
        return ENOSPC;
    if (std::strcmp(name, "EACCES") == 0)
        return EACCES;
    if (std::strcmp(name, "EDQUOT") == 0)
        return EDQUOT;
    if (std::strcmp(name, "EBUSY") == 0)
        return EBUSY;
    int n = std::atoi(name);
    return n > 0 ? n : EIO;
}

void ReadEnvironment()
{
    const char *log = std::getenv("VORTIQ_FAULT_LOG");
    if (log != nullptr && *log != '\0')
        g_logPath = new std::string(log);
    const char *scope = std::getenv("VORTIQ_FAULT_PATH");
    if (scope != nullptr)
        g_scope = scope;
    const char *armed = std::getenv("VORTIQ_FAULT");
    if (armed == nullptr || *armed == '\0')
        return;
    char kind[16] = "";
    long n = 0;
    char on[2] = "";
    char err[32] = "EIO";
    if (std::sscanf(armed, "%15[a-z]:%ld%1[+]", kind, &n, on) < 2 || n <= 0)
        return;
    const char *colon = std::strchr(std::strchr(armed, ':') + 1, ':');
    if (colon != nullptr)
        std::sscanf(colon + 1, "%31s", err);
    if (std::strcmp(kind, "crash") == 0) {
        g_target = n;
        g_mode = kCrash;
    } else if (std::strcmp(kind, "fail") == 0) {
        g_errno = ParseErrno(err);
        g_target = n;
        g_mode = on[0] == '+' ? kFailOn : kFail;
    }
}

/* A path as the log gives it: absolute. */
std::string LoggedPath(const char *path)
{
    if (path[0] == '/')
        return path;
    char cwd[4096];
    return std::string(getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".") + "/" + path;
}

/* "N kind [path [path2]]"; N is "-" for a step that is not counted. */
void LogOperation(long n, const char *kind, const char *path, const char *path2)
{
    if (g_logPath == nullptr)
        return;
    std::string line = n > 0 ? std::to_string(n) : "-";
    line += std::string(" ") + (kind != nullptr ? kind : "?");
    for (const char *p : {path, path2})
        if (p != nullptr && *p != '\0')
            line += " " + LoggedPath(p);
    line += "\n";
    int fd = open(g_logPath->c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    (void)!write(fd, line.data(), line.size());
    close(fd);
}

/* Whether an operation on Path lies where failures were asked for. */
bool InScope(const char *path)
{
    std::lock_guard<std::mutex> lock(g_scopeMutex);
    if (g_scope.empty() || g_scope == "!")
        return true;
    const bool outside = g_scope[0] == '!';
    const std::string prefix = g_scope.substr(outside ? 1 : 0);
    const bool under = path != nullptr && *path != '\0' && LoggedPath(path).rfind(prefix, 0) == 0;
    return under != outside;
}

/* From the target on, a full disk: everything fails but unlinks and
 * commits (the databases live on another disk). A disk confined to a
 * scope fails its commits too. */
bool FailsHere(long n, const char *kind, const char *path)
{
    const int mode = g_mode.load();
    if (mode != kFail && mode != kFailOn)
        return false;
    if (!InScope(path))
        return false;
    if (mode == kFail)
        return n == g_target.load();
    bool scoped = false;
    {
        std::lock_guard<std::mutex> lock(g_scopeMutex);
        scoped = !g_scope.empty();
    }
    return n >= g_target.load() && std::strcmp(kind, "unlink") != 0 &&
           (scoped || std::strcmp(kind, "commit") != 0);
}

}  // namespace

int PortFaultBefore(const char *Kind)
{
    return PortFaultStep(Kind, nullptr, nullptr);
}

int PortFaultStep(const char *Kind, const char *Path, const char *Path2)
{
    std::call_once(g_envOnce, ReadEnvironment);
    const long n = ++g_count;
    t_lastOperation = n;
    CountKind(Kind);
    LogOperation(n, Kind, Path, Path2);
    if (FailsHere(n, Kind != nullptr ? Kind : "", Path)) {
        const int e = g_errno.load();
        PortNoteFailure(e);
        errno = e;
        return e;
    }
    return 0;
}

int PortFaultStepFd(const char *Kind, int Fd)
{
    if (Fd < 0)
        return 0; /* a stream over memory (PortOpenMemory): nothing durable */
    std::call_once(g_envOnce, ReadEnvironment);
    char path[4096] = "";
    bool scoped = false;
    {
        std::lock_guard<std::mutex> lock(g_scopeMutex);
        scoped = !g_scope.empty();
    }
    if ((g_logPath != nullptr || scoped) && Fd >= 0) {
        const std::string link = "/proc/self/fd/" + std::to_string(Fd);
        const ssize_t len = readlink(link.c_str(), path, sizeof path - 1);
        path[len > 0 ? len : 0] = '\0';
    }
    return PortFaultStep(Kind, path, nullptr);
}

void PortFaultNote(const char *Kind, const char *Path)
{
    std::call_once(g_envOnce, ReadEnvironment);
    CountKind(Kind);
    LogOperation(0, Kind, Path, nullptr);
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
    g_mode = (Mode == kCrash || Mode == kFail || Mode == kFailOn) ? Mode : kOff;
}

void PortFaultScope(const char *Prefix)
{
    std::call_once(g_envOnce, ReadEnvironment);
    std::lock_guard<std::mutex> lock(g_scopeMutex);
    g_scope = Prefix != nullptr ? Prefix : "";
}

long PortFaultCount(void)
{
    return g_count.load();
}

long PortFaultKindCount(const char *Kind)
{
    for (int i = 0; Kind != nullptr && i < kKindCount; i++)
        if (std::strcmp(Kind, kKinds[i]) == 0)
            return g_kindCount[i].load();
    return 0;
}

void PortNoteFailure(int Errno)
{
    if (Errno == ENOSPC || Errno == EDQUOT)
        t_diskFull = true;
}

int PortDiskFullTake(void)
{
    const bool full = t_diskFull;
    t_diskFull = false;
    return full ? 1 : 0;
}
