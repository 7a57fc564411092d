/*
 * addin.cpp - add-in task services: the server log (AddInLogError), the
 * task's status line (AddInSetStatus), message formatting
 * (AddInFormatError), the stop question (AddInIdle) and the daily tick
 * (AddInDayHasElapsed), with their test controls.
 *
 * On disk, under the data directory:
 *   server.log            one line per log entry, appended; rotated to
 *                         server.log.1 .. .N past ServerLogMaxKB
 *   tasks/<task>.lock     the instance lock (flock), held for the task's
 *                         life, with the holder's process id as text
 *   tasks/<task>.status   the task's latest status line, replaced whole
 *                         when it changes (a display: never synced)
 *   tasks/<task>.quit     a stop request; removed when AddInIdle finds it,
 *                         and dropped at start-up as older than the task
 *
 * Log entries and status lines are also kept in memory for tests, from
 * the first use of a test control on; a server process keeps none.
 *
 * Messages are formatted by a small formatter of our own over the
 * caller's VQARG array, so a pattern can never read an argument that was
 * not passed, and every result is cut at MAXSPRINTF.
 */
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "runtime_internal.h"
#include "vq_port.h"
#include "vq_runtime.h"
#include "vq_testhooks.h"

namespace {

/* Longest formatted text, terminator excluded. */
constexpr size_t kMaxText = MAXSPRINTF - 1;
/* Captured entries and status lines kept for tests (the newest). */
constexpr size_t kMaxCaptured = 100000;
/* Widths and precisions beyond this are cut: no text is longer anyway. */
constexpr int kMaxFieldWidth = MAXSPRINTF;
/* Pace of AddInIdle when notes.ini does not say. */
constexpr int kDefaultPaceMs = 200;
constexpr int kMaxPaceMs = 60000;
/* Server log rotation when notes.ini does not say: 10 MB, three old files. */
constexpr long kDefaultLogMaxKB = 10240;
constexpr long kDefaultLogKeep = 3;
constexpr long kMaxLogKeep = 9;

volatile sig_atomic_t g_stopSignal = 0;

struct AddInState {
    std::mutex mutex;
    std::string task = "vortiq";
    bool echo = true;
    /* Log entries and status lines are kept in memory only for a process
     * that asked for them through a test control: a server task logs for
     * months and would otherwise hold every line until the bound. */
    bool capture = false;
    std::deque<vqtest::LogEntry> log;
    std::deque<std::string> status;
    /* VqLogHold: lines kept back, in order, with their test entries */
    bool hold = false;
    std::deque<std::pair<std::string, vqtest::LogEntry>> held;
    /* AddInIdle */
    int turns = 0;
    bool stopped = false;
    int stopAfter = -1;
    std::function<void(int)> idleHook;
    int testPaceMs = -1;
    /* AddInDayHasElapsed */
    std::function<bool()> dayHook;
    bool dayKnown = false;
    long lastDay = 0;
};

AddInState &State()
{
    static AddInState *s = new AddInState; /* outlives static destructors */
    return *s;
}

std::string TaskName()
{
    AddInState &s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.task;
}

/* ---- formatter ---- */

struct Directive {
    std::string flags;
    int width = -1;
    int precision = -1;
    char conv = 0;
};

/* Parses the conversion after a '%'; returns the index after it, or 0
 * when the text there is no conversion we know. */
size_t ParseDirective(const char *p, size_t i, Directive *dir)
{
    while (p[i] != '\0' && std::strchr("-+ #0", p[i]) != nullptr)
        dir->flags += p[i++];
    auto digits = [&](int *out) {
        int v = 0;
        bool any = false;
        while (p[i] >= '0' && p[i] <= '9') {
            v = v * 10 + (p[i++] - '0');
            if (v > kMaxFieldWidth)
                v = kMaxFieldWidth;
            any = true;
        }
        if (any)
            *out = v;
        return any;
    };
    digits(&dir->width);
    if (p[i] == '.') {
        ++i;
        if (!digits(&dir->precision))
            dir->precision = 0;
    }
    while (p[i] == 'l' || p[i] == 'h')
        ++i;
    if (p[i] == '\0' || std::strchr("sdiuxXc%", p[i]) == nullptr)
        return 0;
    dir->conv = p[i];
    return i + 1;
}

std::string Pad(std::string s, const Directive &dir)
{
    if (dir.width > 0 && s.size() < (size_t)dir.width) {
        const size_t fill = (size_t)dir.width - s.size();
        if (dir.flags.find('-') != std::string::npos)
            s.append(fill, ' ');
        else
            s.insert(0, fill, ' ');
    }
    return s;
}

std::string FormatNumber(const Directive &dir, long n)
{
    std::string f = "%" + dir.flags;
    if (dir.width >= 0)
        f += std::to_string(dir.width);
    if (dir.precision >= 0)
        f += "." + std::to_string(dir.precision);
    char buf[3 * MAXSPRINTF];
    switch (dir.conv) {
    case 'u':
    case 'x':
    case 'X':
        f += "l";
        f += dir.conv;
        std::snprintf(buf, sizeof buf, f.c_str(), (unsigned long)n);
        break;
    default:
        f += "ld";
        std::snprintf(buf, sizeof buf, f.c_str(), n);
        break;
    }
    return buf;
}

std::string FormatOne(const Directive &dir, const VQARG *arg)
{
    const bool isText = arg != nullptr && arg->IsText;
    /* A text in a number's place reads as the number it spells (log
     * entries pass their one argument as text). */
    long number = 0;
    if (isText)
        number = arg->Text != nullptr ? std::strtol(arg->Text, nullptr, 10) : 0;
    else if (arg != nullptr)
        number = arg->Number;
    switch (dir.conv) {
    case 's': {
        std::string s;
        if (isText)
            s = arg->Text != nullptr ? arg->Text : "";
        else if (arg != nullptr)
            s = std::to_string(number);
        if (dir.precision >= 0 && s.size() > (size_t)dir.precision)
            s.resize((size_t)dir.precision);
        return Pad(s, dir);
    }
    case 'c': {
        char c = isText ? (arg->Text != nullptr ? arg->Text[0] : '\0') : (char)number;
        return Pad(c == '\0' ? std::string() : std::string(1, c), dir);
    }
    default:
        return FormatNumber(dir, number);
    }
}

/* Text of a module identifier (active module, with or without the display
 * bits); nullptr when it has none. */
const char *ModuleText(STATUS id)
{
    const HMODULE m = vq::ActiveModule();
    const char *text = nullptr;
    if (vq::ModuleLookup(m, id, &text) && text != nullptr)
        return text;
    text = nullptr;
    if (ERR(id) != id && vq::ModuleLookup(m, ERR(id), &text) && text != nullptr)
        return text;
    return nullptr;
}

/* A log line is exactly one line, whatever the argument held. */
void OneLine(std::string *s)
{
    for (char &c : *s)
        if (c == '\n' || c == '\r')
            c = ' ';
}

std::string TasksFolder()
{
    std::string dir = vq::DataPath("tasks");
    if (mkdir(dir.c_str(), 0755) == 0) /* EEXIST is the usual answer */
        VqAdoptDataOwner(dir.c_str());
    return dir;
}

/* The line this process last put into a status file, and which file. The
 * task sets its idle line at every turn of its loop, several times a
 * second: rewriting and syncing an unchanged line each time kept the disk
 * and the file system's inode allocator busy for nothing. */
struct StatusFileState {
    std::mutex mutex; /* held across the write, so the memo matches the file */
    std::string path;
    std::string text;
    /* When the file was last written: a busy pass changes its line for
     * every message, and the console needs no more than one a second. A
     * line held back is written by the next call after the second is up
     * (the task's loop sets its idle line several times a second). */
    std::chrono::steady_clock::time_point written{};
    /* The tasks folder this process made sure of: made once, and again
     * only when a write finds it gone. */
    std::string folder;
};

StatusFileState &StatusFile()
{
    static StatusFileState *s = new StatusFileState; /* outlives static destructors */
    return *s;
}

void WriteStatusFile(const std::string &text)
{
    const std::string dir = vq::DataPath("tasks");
    const std::string path = dir + "/" + TaskName() + ".status";
    StatusFileState &memo = StatusFile();
    std::lock_guard<std::mutex> lock(memo.mutex);
    /* Unchanged and still there: nothing to write. A file removed from
     * outside (or a new data directory) is written again. */
    struct stat st;
    const bool there = memo.path == path && stat(path.c_str(), &st) == 0;
    if (there && memo.text == text)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (there && now - memo.written < std::chrono::seconds(1))
        return;
    memo.path.clear();
    memo.text.clear();
    /* One temporary name per write: two threads sharing one would write
     * into each other's file. */
    static std::atomic<unsigned> counter{0};
    const std::string tmp =
        path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    int fd = memo.folder == dir ? open(tmp.c_str(), flags, 0644) : -1;
    if (fd < 0 && (memo.folder != dir || errno == ENOENT)) {
        TasksFolder();
        fd = open(tmp.c_str(), flags, 0644);
    }
    memo.folder = fd >= 0 ? dir : std::string();
    if (fd < 0)
        return;
    VqAdoptDataOwner(tmp.c_str());
    /* The status line is a display, not a hand-over: written whole and
     * renamed in, never synced, and outside the fault seam's count. */
    bool ok = vq::WriteAllFd(fd, text + "\n");
    if (close(fd) != 0)
        ok = false;
    /* The console reads the old line or the new one, never half of one. */
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return;
    }
    memo.path = path;
    memo.text = text;
    memo.written = now;
}

/* A notes.ini number, clamped; Default when unset or not a number > 0. */
long IniNumber(const char *name, long Default, long max)
{
    std::string value;
    if (!vq::EnvironmentValue(name, &value))
        return Default;
    const long n = std::atol(value.c_str());
    return n <= 0 ? Default : (n > max ? max : n);
}

/* Moves server.log to server.log.1 (and each older file one up, the
 * oldest dropped) once it has reached the limit. Runs under an exclusive
 * flock of the log, and only when the path still names the file that
 * lock is on, so two processes never rotate the same file twice. */
void RotateServerLog(int fd, const std::string &path)
{
    static const long maxBytes = IniNumber("ServerLogMaxKB", kDefaultLogMaxKB, 1L << 21) * 1024;
    static const long keep = IniNumber("ServerLogKeep", kDefaultLogKeep, kMaxLogKeep);
    struct stat st, now;
    if (fstat(fd, &st) != 0 || st.st_size < maxBytes || flock(fd, LOCK_EX) != 0)
        return;
    if (stat(path.c_str(), &now) == 0 && now.st_ino == st.st_ino && now.st_dev == st.st_dev) {
        for (long i = keep - 1; i >= 1; --i)
            rename((path + "." + std::to_string(i)).c_str(), (path + "." + std::to_string(i + 1)).c_str());
        rename(path.c_str(), (path + ".1").c_str());
    }
    flock(fd, LOCK_UN);
}

/* server.log, kept open from line to line: opening and closing it for
 * every line cost more than the line. */
struct ServerLogFile {
    std::mutex mutex; /* held across the write: the descriptor stays open */
    std::string path;
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
};

ServerLogFile &ServerLog()
{
    static ServerLogFile *s = new ServerLogFile; /* outlives static destructors */
    return *s;
}

void CloseServerLogLocked(ServerLogFile &log)
{
    if (log.fd >= 0)
        close(log.fd);
    log.fd = -1;
    log.path.clear();
}

/* Appends a line to the file the path names now: the open file is used
 * while the path still names it, and the path is opened again when the
 * file was rotated, moved or removed (or the data directory changed). */
void AppendServerLog(const std::string &line)
{
    const std::string path = vq::DataPath("server.log");
    ServerLogFile &log = ServerLog();
    std::lock_guard<std::mutex> lock(log.mutex);
    struct stat st;
    const bool same = log.fd >= 0 && log.path == path && stat(path.c_str(), &st) == 0 &&
                      st.st_dev == log.dev && st.st_ino == log.ino;
    if (!same) {
        CloseServerLogLocked(log);
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0)
            return;
        if (fstat(fd, &st) != 0) {
            close(fd);
            return;
        }
        log.fd = fd;
        log.path = path;
        log.dev = st.st_dev;
        log.ino = st.st_ino;
    }
    if (st.st_size == 0)
        VqAdoptDataOwner(path.c_str());
    vq::WriteAllFd(log.fd, line);
    RotateServerLog(log.fd, path);
}

std::string LockPath(const std::string &task)
{
    return vq::DataPath("tasks/" + task + ".lock");
}

/* The process id written in a lock file, 0 when unreadable. */
DWORD LockHolder(int fd)
{
    char buf[32] = "";
    const ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    return n > 0 ? (DWORD)std::strtoul(buf, nullptr, 10) : 0;
}

/* A stop request left for this task; removed when found. */
bool TakeQuitRequest()
{
    const std::string path = vq::DataPath("tasks/" + TaskName() + ".quit");
    if (unlink(path.c_str()) == 0)
        return true;
    return errno != ENOENT && access(path.c_str(), F_OK) == 0;
}

int PaceMs(int testPace)
{
    if (testPace >= 0)
        return testPace;
    std::string value;
    if (!vq::EnvironmentValue("AddInIdlePaceMs", &value))
        return kDefaultPaceMs;
    long ms = std::atol(value.c_str());
    if (ms < 0)
        return 0;
    return ms > kMaxPaceMs ? kMaxPaceMs : (int)ms;
}

long LocalDayKey(int64_t unixSeconds)
{
    time_t t = (time_t)unixSeconds;
    struct tm lt;
    if (localtime_r(&t, &lt) == nullptr)
        return 0;
    return (long)(lt.tm_year + 1900) * 10000 + (lt.tm_mon + 1) * 100 + lt.tm_mday;
}

extern "C" void OnStopSignal(int)
{
    g_stopSignal = 1;
}

}  // namespace

namespace vq {

std::string FormatArgs(const char *pattern, int nargs, const VQARG *args)
{
    std::string out;
    if (pattern == nullptr)
        return out;
    int next = 0;
    for (size_t i = 0; pattern[i] != '\0' && out.size() < kMaxText;) {
        if (pattern[i] != '%') {
            out += pattern[i++];
            continue;
        }
        Directive dir;
        size_t after = ParseDirective(pattern, i + 1, &dir);
        if (after == 0) {
            out += pattern[i++]; /* not a conversion: the '%' stands as it is */
            continue;
        }
        if (dir.conv == '%') {
            out += '%';
        } else {
            const VQARG *arg = (args != nullptr && next < nargs) ? &args[next] : nullptr;
            ++next;
            out += FormatOne(dir, arg);
        }
        i = after;
    }
    if (out.size() > kMaxText)
        out.resize(kMaxText);
    return out;
}

std::string FormatCode(STATUS code, int nargs, const VQARG *args)
{
    const char *text = ModuleText(code);
    if (text == nullptr)
        text = vq::StatusText(code);
    if (text != nullptr)
        return FormatArgs(text, nargs, args);
    VQARG number = {0, "", (long)ERR(code)};
    return FormatArgs("Unknown error code %u", 1, &number);
}

void InstallStopHandlers()
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

STATUS TakeInstanceLock(std::string *holder)
{
    TasksFolder();
    const std::string task = TaskName();
    const std::string path = LockPath(task);
    /* Kept open (and locked) until the process ends: the lock, not a
     * process id that may be reused, says the task is alive. */
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        *holder = path + ": " + std::strerror(errno);
        return ERR_NOACCESS_FILE;
    }
    VqAdoptDataOwner(path.c_str());
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const DWORD pid = LockHolder(fd);
        close(fd);
        *holder = task + " (process " + std::to_string(pid) + ") on " + vq::DataDirectory();
        return ERR_TASK_RUNNING;
    }
    /* The id is only shown to a second start; the lock is what counts. */
    const std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) == 0)
        (void)!pwrite(fd, pid.data(), pid.size(), 0);
    /* A stop request made before this start is not for this task. */
    unlink(vq::DataPath("tasks/" + task + ".quit").c_str());
    return NOERROR;
}

}  // namespace vq

void AddInFormatErrorV(char *retString, STATUS StringID, int nargs, const VQARG *args)
{
    if (retString == nullptr)
        return;
    const std::string text = vq::FormatCode(StringID, nargs, args);
    std::memcpy(retString, text.c_str(), text.size() + 1); /* at most MAXSPRINTF bytes */
}

/* Writes one formed log line: the test capture, the echo, server.log. */
static void WriteLogLine(const std::string &text, const vqtest::LogEntry &entry)
{
    const std::string line = vq::LocalTimeText(VqTimeSeconds()) + "  " + text + "\n";
    bool echo;
    {
        AddInState &s = State();
        std::lock_guard<std::mutex> lock(s.mutex);
        echo = s.echo;
        if (s.capture) {
            s.log.push_back(entry);
            if (s.log.size() > kMaxCaptured)
                s.log.pop_front();
        }
    }
    if (echo) {
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
    }
    AppendServerLog(line);
}

void AddInLogError(STATUS StringID, STATUS AdditionalErrorCode, const char *Arg)
{
    const std::string arg = Arg != nullptr ? Arg : "";
    std::string text;
    const char *pattern = ModuleText(StringID);
    if (pattern == nullptr && (StringID & PKG_MASK) != PKG_ADDIN)
        pattern = vq::StatusText(StringID);
    if (pattern != nullptr) {
        VQARG a = {1, arg.c_str(), 0};
        text = vq::FormatArgs(pattern, 1, &a);
    } else {
        /* An identifier without text still tells which one it was. */
        text = "VORTIQ: [" + std::to_string((unsigned)StringID) + "] " + arg;
    }
    if (AdditionalErrorCode != NOERROR)
        text += ": " + vq::FormatCode(AdditionalErrorCode, 0, nullptr);
    OneLine(&text);

    vqtest::LogEntry entry{StringID, AdditionalErrorCode, arg, text};
    {
        AddInState &s = State();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.hold) {
            s.held.emplace_back(text, std::move(entry));
            return;
        }
    }
    WriteLogLine(text, entry);
}

void VqLogHold(BOOL Hold)
{
    AddInState &s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.hold = Hold != FALSE;
}

DWORD VqLogHeldCount(void)
{
    AddInState &s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    return (DWORD)s.held.size();
}

void VqLogReleaseHeld(DWORD Count)
{
    AddInState &s = State();
    std::deque<std::pair<std::string, vqtest::LogEntry>> out;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        const size_t n = std::min<size_t>(Count, s.held.size());
        out.assign(std::make_move_iterator(s.held.begin()),
                   std::make_move_iterator(s.held.begin() + (std::ptrdiff_t)n));
        s.held.erase(s.held.begin(), s.held.begin() + (std::ptrdiff_t)n);
    }
    for (const auto &l : out)
        WriteLogLine(l.first, l.second);
}

void AddInSetStatusV(STATUS StringID, int nargs, const VQARG *args)
{
    std::string text = vq::FormatCode(StringID, nargs, args);
    OneLine(&text);
    {
        AddInState &s = State();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.capture) {
            s.status.push_back(text);
            if (s.status.size() > kMaxCaptured)
                s.status.pop_front();
        }
    }
    WriteStatusFile(text);
}

void AddInSetTaskName(const char *Name)
{
    /* The name becomes a file name: a plain name only. */
    if (Name == nullptr || *Name == '\0' || std::strchr(Name, '/') != nullptr ||
        std::strcmp(Name, ".") == 0 || std::strcmp(Name, "..") == 0 || std::strlen(Name) > 64)
        return;
    AddInState &s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.task = Name;
}

BOOL AddInIdle(void)
{
    AddInState &s = State();
    int turn;
    std::function<void(int)> hook;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        turn = ++s.turns;
        hook = s.idleHook;
    }
    if (hook)
        hook(turn);
    bool stop;
    int testPace;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        stop = s.stopped || g_stopSignal != 0 || (s.stopAfter >= 0 && turn > s.stopAfter);
        testPace = s.testPaceMs;
    }
    if (!stop)
        stop = TakeQuitRequest();
    if (stop) {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.stopped = true; /* once TRUE, always TRUE */
        return TRUE;
    }
    const int pace = PaceMs(testPace);
    if (pace > 0)
        PortSleepMs(pace);
    return FALSE;
}

BOOL AddInDayHasElapsed(void)
{
    AddInState &s = State();
    std::function<bool()> hook;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        hook = s.dayHook;
    }
    if (hook)
        return hook() ? TRUE : FALSE;
    const long day = LocalDayKey(VqTimeSeconds());
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.dayKnown && s.lastDay == day)
        return FALSE;
    s.dayKnown = true;
    s.lastDay = day;
    return TRUE;
}

namespace vqtest {

std::vector<LogEntry> LogEntries()
{
    AddInState &s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.capture = true;
    return std::vector<LogEntry>(s.log.begin(), s.log.end());
}

std::vector<std::string> LogTexts()
{
    std::vector<std::string> out;
    for (const auto &e : LogEntries())
        out.push_back(e.text);
    return out;
}

std::vector<WORD> LogIds()
{
    std::vector<WORD> out;
    for (const auto &e : LogEntries())
        out.push_back(e.id);
    return out;
}

int LogCount(WORD id)
{
    int n = 0;
    for (const auto &e : LogEntries())
        n += e.id == id;
    return n;
}

int LogCount(WORD id, const std::string &arg)
{
    int n = 0;
    for (const auto &e : LogEntries())
        n += e.id == id && e.arg == arg;
    return n;
}

std::string LogArg(WORD id)
{
    for (const auto &e : LogEntries())
        if (e.id == id)
            return e.arg;
    return "<none>";
}

void ClearLog()
{
    AddInState &s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.capture = true;
    s.log.clear();
}

void SetLogEcho(bool echo)
{
    AddInState &s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.capture = true;
    s.echo = echo;
}

std::vector<std::string> StatusLines()
{
    AddInState &s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.capture = true;
    return std::vector<std::string>(s.status.begin(), s.status.end());
}

void ClearStatus()
{
    AddInState &s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.capture = true;
    s.status.clear();
}

/* AddInIdle answers FALSE for the first `turns` calls and TRUE after. */
void SetIdleStopAfter(int turns)
{
    AddInState &s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.stopAfter = turns;
}

void SetIdleHook(std::function<void(int turn)> hook)
{
    AddInState &s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.idleHook = std::move(hook);
}

void SetIdlePaceMs(int ms)
{
    AddInState &s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.testPaceMs = ms;
}

void ResetIdle()
{
    AddInState &s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.turns = 0;
    s.stopped = false;
    s.stopAfter = -1;
    s.idleHook = nullptr;
    s.testPaceMs = -1;
    s.dayHook = nullptr;
    s.dayKnown = false;
    s.lastDay = 0;
    s.task = "vortiq";
    g_stopSignal = 0;
}

void SetDayElapsedHook(std::function<bool()> hook)
{
    AddInState &s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.dayHook = std::move(hook);
}

}  // namespace vqtest

namespace vq {

void CloseServerLog()
{
    ServerLogFile &log = ServerLog();
    std::lock_guard<std::mutex> lock(log.mutex);
    CloseServerLogLocked(log);
}

void RemoveStatusFile()
{
    const std::string path = vq::DataPath("tasks/" + TaskName() + ".status");
    StatusFileState &memo = StatusFile();
    std::lock_guard<std::mutex> lock(memo.mutex);
    unlink(path.c_str());
    memo.path.clear();
    memo.text.clear();
}

bool WriteAllFd(int fd, const std::string &data)
{
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

}  // namespace vq

BOOL VqTaskRunning(const char *TaskName, DWORD *Pid)
{
    if (Pid != nullptr)
        *Pid = 0;
    if (TaskName == nullptr || *TaskName == '\0' || std::strchr(TaskName, '/') != nullptr)
        return FALSE;
    int fd = open(LockPath(TaskName).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return FALSE;
    BOOL running = FALSE;
    if (flock(fd, LOCK_SH | LOCK_NB) == 0)
        flock(fd, LOCK_UN);
    else if (errno == EWOULDBLOCK)
        running = TRUE;
    if (running && Pid != nullptr)
        *Pid = LockHolder(fd);
    close(fd);
    return running;
}
