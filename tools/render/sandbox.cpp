/*
 * sandbox.cpp - one outside program under limits (see sandbox.h).
 */
#include "sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace faxrender {

namespace {

std::string FindProgram(const std::string &name)
{
    if (name.find('/') != std::string::npos)
        return name;
    for (const char *dir : {"/usr/bin/", "/bin/", "/usr/local/bin/"}) {
        std::string p = std::string(dir) + name;
        if (::access(p.c_str(), X_OK) == 0)
            return p;
    }
    return "";
}

/* The last lines of what the program said, on one line. */
std::string TailOf(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    if (text.size() > 300)
        text = "..." + text.substr(text.size() - 300);
    std::string out;
    for (char c : text) {
        if (c == '\n' || c == '\r' || c == '\t')
            c = ' ';
        if ((unsigned char)c < 0x20)
            continue;
        if (c == ' ' && !out.empty() && out.back() == ' ')
            continue;
        out += c;
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

void SetLimit(int resource, rlim_t value)
{
    struct rlimit rl;
    rl.rlim_cur = value;
    rl.rlim_max = value;
    ::setrlimit(resource, &rl);
}

/* Waits for pid up to deadline; false when the time ran out. */
bool WaitUntil(pid_t pid, std::chrono::steady_clock::time_point deadline, int *status)
{
    int pidfd = (int)::syscall(SYS_pidfd_open, pid, 0);
    while (true) {
        pid_t r = ::waitpid(pid, status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) {
            if (pidfd >= 0)
                ::close(pidfd);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            if (pidfd >= 0)
                ::close(pidfd);
            return false;
        }
        if (pidfd >= 0) {
            struct pollfd p = {pidfd, POLLIN, 0};
            ::poll(&p, 1, (int)std::min<long long>(left.count(), 1000));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
}

}  // namespace

RunResult RunLimited(const std::vector<std::string> &argv, const std::string &dir, const Limits &limits,
                     const std::string &stdinFile, const std::string &stdoutFile)
{
    static std::atomic<unsigned> serial{0};
    RunResult result;
    std::string name = argv.empty() ? "" : argv[0];
    std::string program = name.empty() ? "" : FindProgram(name);
    if (program.empty()) {
        result.message = name + " is not installed";
        return result;
    }
    std::string errPath = dir + "/.stderr-" + std::to_string(++serial);
    std::string inPath = stdinFile.empty() ? "/dev/null" : stdinFile;
    /* without a stdout file, what the program prints joins its stderr */
    std::string outPath = stdoutFile.empty() ? errPath : stdoutFile;
    /* everything the child needs is made before fork */
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::string home = "HOME=" + dir, tmp = "TMPDIR=" + dir;
    std::vector<std::string> envStrings = {"PATH=/usr/bin:/bin", home, tmp, "LC_ALL=C.UTF-8", "LANG=C.UTF-8",
                                           "SOURCE_DATE_EPOCH=0"};
    std::vector<char *> env;
    for (const std::string &e : envStrings)
        env.push_back(const_cast<char *>(e.c_str()));
    env.push_back(nullptr);
    rlim_t cpu = (rlim_t)limits.timeoutSeconds + 1;

    pid_t pid = ::fork();
    if (pid < 0) {
        result.message = std::string("cannot start ") + name + ": " + std::strerror(errno);
        return result;
    }
    if (pid == 0) {
        ::setpgid(0, 0);
        int in = ::open(inPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
        int out = outPath == errPath ? err
                                     : ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (in < 0 || out < 0 || err < 0 || ::chdir(dir.c_str()) != 0)
            ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        SetLimit(RLIMIT_CPU, cpu);
        SetLimit(RLIMIT_AS, (rlim_t)limits.memoryBytes);
        SetLimit(RLIMIT_FSIZE, (rlim_t)limits.maxOutputBytes);
        SetLimit(RLIMIT_NOFILE, 256);
        SetLimit(RLIMIT_CORE, 0);
        for (int sig : {SIGPIPE, SIGXFSZ, SIGXCPU, SIGTERM, SIGINT})
            ::signal(sig, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(program.c_str(), args.data(), env.data());
        ::_exit(127);
    }
    ::setpgid(pid, pid); /* either side may win the race; both set the same */
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limits.timeoutSeconds);
    if (!WaitUntil(pid, deadline, &status)) {
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        result.timedOut = true;
        result.message = name + " took longer than " + std::to_string(limits.timeoutSeconds) + " s and was stopped";
        std::error_code ec;
        std::filesystem::remove(errPath, ec);
        return result;
    }
    ::kill(-pid, SIGKILL); /* anything it left running in its group */
    std::string said = TailOf(errPath);
    std::error_code ec;
    std::filesystem::remove(errPath, ec);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        result.ok = true;
        return result;
    }
    if (WIFSIGNALED(status)) {
        int sig = WTERMSIG(status);
        if (sig == SIGXFSZ)
            result.message = name + " wrote more than " + std::to_string(limits.maxOutputBytes) + " bytes";
        else if (sig == SIGXCPU)
            result.message = name + " used more than its CPU time";
        else
            result.message = name + " was killed by signal " + std::to_string(sig);
    } else if (WEXITSTATUS(status) == 126) {
        result.message = "cannot prepare " + name + "'s files";
    } else if (WEXITSTATUS(status) == 127) {
        result.message = "cannot run " + program;
    } else {
        result.message = name + " failed (exit " + std::to_string(WEXITSTATUS(status)) + ")";
    }
    if (!said.empty())
        result.message += ": " + said;
    return result;
}

namespace {

/* Removes the private folders below base that a process which ended
 * without its clean-up (a crash, a kill) left: named vqrender-PID-*,
 * PID gone, ours, untouched for an hour. Once per folder and process. */
void RemoveStaleFolders(const std::string &base)
{
    static std::mutex mutex;
    static std::set<std::string> swept;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!swept.insert(base).second)
            return;
    }
    DIR *d = ::opendir(base.c_str());
    if (d == nullptr)
        return;
    const time_t hourAgo = ::time(nullptr) - 3600;
    while (struct dirent *e = ::readdir(d)) {
        const char *name = e->d_name;
        if (std::strncmp(name, "vqrender-", 9) != 0)
            continue;
        char *end = nullptr;
        const long pid = std::strtol(name + 9, &end, 10);
        struct stat st;
        if (pid <= 0 || end == name + 9 || *end != '-' ||
            ::fstatat(::dirfd(d), name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
            st.st_uid != ::geteuid() || st.st_mtime > hourAgo || ::kill((pid_t)pid, 0) == 0 || errno != ESRCH)
            continue;
        std::error_code ec;
        std::filesystem::remove_all(base + "/" + name, ec);
    }
    ::closedir(d);
}

}  // namespace

TempDir::TempDir(const std::string &parent)
{
    std::string base = parent;
    if (base.empty()) {
        const char *t = std::getenv("TMPDIR");
        base = t != nullptr && *t != '\0' ? t : "/tmp";
    }
    RemoveStaleFolders(base);
    std::string tmpl = base + "/vqrender-" + std::to_string(::getpid()) + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) != nullptr)
        path_ = buf.data();
}

TempDir::~TempDir()
{
    if (!path_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
}

}  // namespace faxrender
