/*
 * e2e_support.h - the real programs (vortiq, notesctl, faxsim) run as
 * processes of their own with a deadline and their output captured; the
 * gateway in the background, killed when the test ends unless stopped.
 */
#ifndef VQ_E2E_SUPPORT_H
#define VQ_E2E_SUPPORT_H

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace vqe2e {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;
const std::string kBin = VQ_BIN_DIR;

/* Starts argv in cwd (when given), output and errors appended to a file. */
inline pid_t Spawn(const std::vector<std::string> &argv, const std::string &outFile,
                   const std::string &cwd = "")
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0 || (!cwd.empty() && chdir(cwd.c_str()) != 0))
        _exit(126);
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

/* Exit code (128 + signal); -1 when still running after the wait, when
 * it is killed if kill is set. */
inline int WaitUntil(pid_t pid, std::chrono::milliseconds wait, bool kill = false)
{
    const auto deadline = Clock::now() + wait;
    for (int status = 0; Clock::now() < deadline; std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (kill) {
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return -1;
}

struct Result {
    int code = -1;
    std::string out; /* output and errors */
};

inline Result Run(const std::vector<std::string> &argv, const std::string &cwd = "")
{
    vqtest::TempDir tmp;
    Result r;
    r.code = WaitUntil(Spawn(argv, tmp / "out", cwd), std::chrono::seconds(30), true);
    r.out = vqtest::ReadFile(tmp / "out");
    return r;
}

inline Result Notesctl(const std::string &data, std::vector<std::string> args)
{
    args.insert(args.begin(), {kBin + "/notesctl", "-d", data});
    return Run(args);
}

/* Documents of a mail file (or a database) as notesctl lists them in
 * JSON; empty while unreadable. */
inline Json Documents(const std::string &data, const std::string &file, bool db = false)
{
    Result r = Notesctl(data, {db ? "db" : "mail", "list", file, "--json"});
    Json j = Json::parse(r.code == 0 ? r.out : "", nullptr, false);
    return j.is_array() ? j : Json::array();
}

/* An item's text (a list's first entry), "" when absent. */
inline std::string Item(const Json &doc, const std::string &name)
{
    if (!doc.is_object() || !doc.contains("items") || !doc.at("items").contains(name))
        return "";
    const Json &item = doc.at("items").at(name);
    const Json &v = item.is_array() && !item.empty() ? item.at(0) : item;
    return v.is_string() ? v.get<std::string>() : v.dump();
}

/* Polls cond every 100 ms until it holds or seconds have passed. */
inline bool Eventually(const std::function<bool()> &cond, int seconds)
{
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (!cond()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

/* vortiq in the background on a data directory, and in it. */
class Gateway {
public:
    explicit Gateway(const std::string &data) : data_(data) {}
    ~Gateway() { Stop(SIGKILL); }
    /* Started once its start message is in the server log. */
    bool Start()
    {
        const size_t before = Count("VORTIQ: Fax gateway started");
        pid_ = Spawn({kBin + "/vortiq", "=" + data_ + "/notes.ini"}, data_ + "/vortiq.console", data_);
        return Eventually([&] { return Count("VORTIQ: Fax gateway started") > before; }, 15);
    }
    /* A signal, or 0 for "notesctl quit vortiq"; the exit code, -1 after 20 s. */
    int Stop(int sig)
    {
        if (pid_ <= 0 || (sig == 0 && Notesctl(data_, {"quit", "vortiq"}).code != 0))
            return -2;
        if (sig != 0)
            kill(pid_, sig);
        const int code = WaitUntil(pid_, std::chrono::seconds(20), true);
        pid_ = -1;
        return code;
    }
    std::string Log() const { return vqtest::ReadFile(data_ + "/server.log"); }
    size_t Count(const std::string &what) const
    {
        const std::string log = Log();
        size_t n = 0;
        for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1))
            ++n;
        return n;
    }

private:
    std::string data_;
    pid_t pid_ = -1;
};

}  // namespace vqe2e

#endif /* VQ_E2E_SUPPORT_H */
