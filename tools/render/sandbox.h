/*
 * sandbox.h - runs one outside program (Ghostscript, paps, netpbm, libtiff
 * tools) on untrusted input: in a private folder, in its own process group
 * that is killed when its time is up, with limits on CPU time, memory,
 * the size of any file it writes and the number of files it opens, with a
 * plain environment, stdin and stdout from and to files of its folder.
 */
#ifndef VQ_SANDBOX_H
#define VQ_SANDBOX_H

#include <cstddef>
#include <string>
#include <vector>

namespace faxrender {

struct Limits {
    int timeoutSeconds = 60;          /* wall time, then SIGKILL to the group */
    size_t memoryBytes = 1024u << 20; /* address space */
    size_t maxOutputBytes = 64u << 20; /* largest file it may write */
};

struct RunResult {
    bool ok = false;     /* exited with status 0 */
    bool timedOut = false;
    std::string message; /* what went wrong, with the program's own last words */
};

/* Runs argv[0] (searched in /usr/bin and /bin) in folder dir. stdinFile and
 * stdoutFile (empty: /dev/null and a file of dir) are paths; the program's
 * stderr is kept and its end quoted in message on failure. */
RunResult RunLimited(const std::vector<std::string> &argv, const std::string &dir, const Limits &limits,
                     const std::string &stdinFile = "", const std::string &stdoutFile = "");

/* A private folder (mode 0700) below parent ($TMPDIR or /tmp when empty),
 * vqrender-PID-XXXXXX, removed with everything in it when the object
 * goes. The first one a process makes below a parent removes there the
 * folders that ended processes left (a crash), unused for an hour. */
class TempDir {
public:
    explicit TempDir(const std::string &parent);
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    bool ok() const { return !path_.empty(); }
    const std::string &path() const { return path_; }
    std::string File(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace faxrender

#endif /* VQ_SANDBOX_H */
