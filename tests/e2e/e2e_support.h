/*
 * e2e_support.h - driving the three real programs (vortiq, notesctl,
 * faxsim) from end-to-end tests as a user would: every program runs as
 * its own process with a deadline, its output captured; the gateway runs
 * in the background and is always stopped when the test ends, also when
 * an assertion fails half way.
 *
 * Header-only: the test build compiles only *_test.cpp files here; files
 * and folders come from test_support.
 */
#ifndef VQ_E2E_SUPPORT_H
#define VQ_E2E_SUPPORT_H

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace vqe2e {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

inline const std::string &BinDir()
{
    static const std::string dir = VQ_BIN_DIR;
    return dir;
}
inline const std::string &SourceDir()
{
    static const std::string dir = VQ_SOURCE_DIR;
    return dir;
}

/* Starts argv in cwd (when given) with standard output and error sent to
 * the two files (appended); the child's pid, or -1. */
inline pid_t Spawn(const std::vector<std::string> &argv, const std::string &outFile,
                   const std::string &errFile, const std::string &cwd = "")
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
        _exit(126);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0)
        dup2(devnull, 0);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0)
        _exit(126);
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

/* Waits for pid until the deadline; its exit code (128 + signal for a
 * killed one), or -1 when it is still running at the deadline. */
inline int WaitUntil(pid_t pid, Clock::time_point deadline)
{
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0)
            return -2;
        if (Clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

struct Result {
    int code = -1;       /* exit code; -1 when it overran its deadline */
    std::string out, err;
    std::string Describe() const
    {
        return "exit " + std::to_string(code) + "\n--- stdout\n" + out + "--- stderr\n" + err;
    }
};

/* Runs a program to its end, killed when it overruns timeoutSec. */
inline Result Run(const std::vector<std::string> &argv, int timeoutSec = 30,
                  const std::string &cwd = "")
{
    vqtest::TempDir tmp;
    Result r;
    pid_t pid = Spawn(argv, tmp / "out", tmp / "err", cwd);
    if (pid < 0)
        return r;
    r.code = WaitUntil(pid, Clock::now() + std::chrono::seconds(timeoutSec));
    if (r.code == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    r.out = vqtest::ReadFile(tmp / "out");
    r.err = vqtest::ReadFile(tmp / "err");
    return r;
}

inline Result Faxsim(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {BinDir() + "/faxsim"};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv);
}

inline Result Notesctl(const std::string &data, const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {BinDir() + "/notesctl", "-d", data};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv);
}

/* Output of a --json command, or null while it cannot be had (a database
 * being written by the gateway at that moment, say). */
inline Json NotesctlJson(const std::string &data, const std::vector<std::string> &args)
{
    Result r = Notesctl(data, args);
    if (r.code != 0)
        return Json();
    Json j = Json::parse(r.out, nullptr, false);
    return j.is_discarded() ? Json() : j;
}

/* Documents of a mail file or database (an empty array while unreadable). */
inline Json Documents(const std::string &data, const std::string &db, bool mailFile = true)
{
    Json j = mailFile ? NotesctlJson(data, {"mail", "list", db, "--json"})
                      : NotesctlJson(data, {"db", "list", db, "--json"});
    return j.is_array() ? j : Json::array();
}

/* The text of an item (a list's entries joined by ", "), "" when absent. */
inline std::string Item(const Json &doc, const std::string &name)
{
    if (!doc.contains("items") || !doc["items"].contains(name))
        return "";
    const Json &v = doc["items"][name];
    if (v.is_string())
        return v.get<std::string>();
    if (v.is_array()) {
        std::string out;
        for (size_t i = 0; i < v.size(); ++i)
            out += (i ? ", " : "") + (v[i].is_string() ? v[i].get<std::string>() : v[i].dump());
        return out;
    }
    return v.is_null() ? "" : v.dump();
}

inline std::vector<std::string> AttachmentNames(const Json &doc)
{
    std::vector<std::string> names;
    if (doc.contains("attachments"))
        for (const auto &a : doc["attachments"])
            names.push_back(a.value("name", ""));
    return names;
}

/* The documents whose item equals value (exactly). */
inline std::vector<Json> Where(const Json &docs, const std::string &item, const std::string &value)
{
    std::vector<Json> out;
    for (const auto &d : docs)
        if (Item(d, item) == value)
            out.push_back(d);
    return out;
}

/* Polls cond every 200 ms until it holds or seconds have passed. */
inline bool Eventually(const std::function<bool()> &cond, int seconds)
{
    auto deadline = Clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        if (cond())
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

/* A data directory made by scripts/setup-data.sh, with the pacing a test
 * needs; "" and the reason in *why when it could not be made. */
inline bool SetUpData(const std::string &data, std::string *why)
{
    Result r = Run({"/bin/sh", SourceDir() + "/scripts/setup-data.sh", BinDir(), data}, 60);
    if (r.code != 0) {
        *why = "setup-data.sh: " + r.Describe();
        return false;
    }
    /* quick answers to stop requests; passes every minute */
    for (const char *setting : {"AddInIdlePaceMs=50", "VortiqInterval=1"}) {
        r = Notesctl(data, {"set-config", setting});
        if (r.code != 0) {
            *why = "set-config: " + r.Describe();
            return false;
        }
    }
    return true;
}

/* The gateway as a background process on a data directory, started in
 * that directory (its temporary body files go there). The destructor
 * stops it whatever happened: SIGTERM, then SIGKILL. */
class Gateway {
public:
    explicit Gateway(const std::string &data) : data_(data) {}
    ~Gateway() { Kill(); }
    Gateway(const Gateway &) = delete;
    Gateway &operator=(const Gateway &) = delete;

    /* Starts vortiq and waits until its start message is in the server
     * log; false when it does not come within the deadline. */
    bool Start(int seconds = 15)
    {
        size_t before = CountInLog("VORTIQ: Fax gateway started");
        std::string console = data_ + "/vortiq.console";
        pid_ = Spawn({BinDir() + "/vortiq", "=" + data_ + "/notes.ini"}, console, console, data_);
        if (pid_ < 0)
            return false;
        return Eventually([&] { return CountInLog("VORTIQ: Fax gateway started") > before || !Running(); },
                          seconds) &&
               Running();
    }

    bool Running()
    {
        if (pid_ <= 0)
            return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
            return false;
        }
        return true;
    }

    /* "notesctl quit vortiq" and the wait for the process to end; its exit
     * code, or -1 when it did not stop in time (it is killed then). */
    int Quit(int seconds = 20)
    {
        if (!Running())
            return exit_;
        Result r = Notesctl(data_, {"quit", "vortiq"});
        if (r.code != 0)
            return -3;
        int code = WaitUntil(pid_, Clock::now() + std::chrono::seconds(seconds));
        if (code == -1) {
            Kill();
            return -1;
        }
        pid_ = -1;
        exit_ = code;
        return code;
    }

    void Kill()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        if (WaitUntil(pid_, Clock::now() + std::chrono::seconds(10)) == -1) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

    std::string Log() const { return vqtest::ReadFile(data_ + "/server.log"); }
    std::string Console() const { return vqtest::ReadFile(data_ + "/vortiq.console"); }
    size_t CountInLog(const std::string &what) const
    {
        std::string log = Log();
        size_t n = 0;
        for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1))
            ++n;
        return n;
    }

private:
    std::string data_;
    pid_t pid_ = -1;
    int exit_ = -1;
};

}  // namespace vqe2e

#endif /* VQ_E2E_SUPPORT_H */
