/*
 * nsf_change_watch.cpp - knowing that a database did not change without
 * reading it: the last stamp read of each file is kept with the header of
 * its WAL index, which every commit rewrites (iChange, mxFrame, salts and
 * checksum; the index's layout is part of SQLite's documented file
 * format). A stamp asked for again while that header, the file's identity
 * and the index file's identity are all unchanged is the kept one; any
 * doubt (no index file, its two header copies differing while a commit
 * writes them, another file under the name) reads the file.
 *
 * The directory copy and the DID snapshot ask for the stamp of names.nsf
 * several times per message; each read of it was a read transaction, and
 * the open and close of a handle around it.
 *
 * Held stamps (VqDbHoldStamps): while a thread holds them, a file found
 * unchanged is taken as unchanged again without looking, until this
 * process commits to any database. A caller that resolves one item
 * against the directory several times so looks at it once.
 */
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "nsf_internal.h"

namespace vq {
namespace nsf {
namespace {

/* The two copies of the WAL index header, 48 bytes each; byte 12 of a
 * copy is isInit. */
constexpr size_t kHeaderCopy = 48;
/* Files watched at most (each keeps its index file open). */
constexpr size_t kWatchedMax = 32;

struct Watched {
    int fd = -1;
    uint64_t shmDev = 0, shmIno = 0;
    bool known = false;
    std::string header;
    DbStamp stamp;
};

struct Watch {
    std::mutex mu;
    std::map<std::string, Watched> byPath;
};

Watch &TheWatch()
{
    static Watch *w = new Watch; /* outlives static destructors */
    return *w;
}

void Forget(Watched &w)
{
    if (w.fd >= 0)
        ::close(w.fd);
    w = Watched();
}

/* The current header of the WAL index of the database at path; false
 * when it cannot be told (no index, a commit writing it). */
bool ReadHeader(Watched &w, const std::string &path, std::string *header)
{
    const std::string shm = path + "-shm";
    struct stat st;
    if (::stat(shm.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        Forget(w);
        return false;
    }
    if (w.fd < 0 || (uint64_t)st.st_dev != w.shmDev || (uint64_t)st.st_ino != w.shmIno) {
        Forget(w);
        const int fd = ::open(shm.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        struct stat opened;
        if (fd < 0)
            return false;
        if (::fstat(fd, &opened) != 0 || opened.st_ino != st.st_ino || opened.st_dev != st.st_dev) {
            ::close(fd);
            return false;
        }
        w.fd = fd;
        w.shmDev = (uint64_t)st.st_dev;
        w.shmIno = (uint64_t)st.st_ino;
    }
    char buf[2 * kHeaderCopy];
    if (::pread(w.fd, buf, sizeof buf, 0) != (ssize_t)sizeof buf || buf[12] != 1 ||
        std::memcmp(buf, buf + kHeaderCopy, kHeaderCopy) != 0)
        return false;
    header->assign(buf, kHeaderCopy);
    return true;
}

/* Commits this process made to any database, counted before each. */
std::atomic<uint64_t> g_localCommits{0};

/* The stamps a thread holds: each file found unchanged since depth went
 * above 0, as long as this process made no commit since. */
struct Held {
    int depth = 0;
    uint64_t commits = 0;
    std::map<std::string, DbStamp> unchanged;
};
thread_local Held t_held;

/* Keeps a stamp found unchanged, while stamps are held and this process
 * made no commit since commitsBefore. */
void HoldStamp(const DbStamp &stamp, uint64_t commitsBefore)
{
    Held &h = t_held;
    if (h.depth == 0 || commitsBefore != g_localCommits.load(std::memory_order_acquire))
        return;
    if (h.commits != commitsBefore) {
        h.unchanged.clear();
        h.commits = commitsBefore;
    }
    h.unchanged[stamp.path] = stamp;
}

Watched *Entry(Watch &watch, const std::string &path)
{
    auto it = watch.byPath.find(path);
    if (it != watch.byPath.end())
        return &it->second;
    if (watch.byPath.size() >= kWatchedMax) {
        for (auto &e : watch.byPath)
            Forget(e.second);
        watch.byPath.clear();
    }
    return &watch.byPath[path];
}

}  // namespace

void CountLocalCommit()
{
    g_localCommits.fetch_add(1, std::memory_order_acq_rel);
}

bool HeldStamp(const std::string &path, DbStamp *stamp)
{
    Held &h = t_held;
    if (h.depth == 0 || h.unchanged.empty())
        return false;
    if (h.commits != g_localCommits.load(std::memory_order_acquire)) {
        h.unchanged.clear();
        return false;
    }
    const auto it = h.unchanged.find(path);
    if (it == h.unchanged.end())
        return false;
    *stamp = it->second;
    return true;
}

bool StampUnchanged(const std::string &path, const struct stat &st, DbStamp *stamp,
                    std::string *header)
{
    const uint64_t commits = g_localCommits.load(std::memory_order_acquire);
    Watch &watch = TheWatch();
    std::lock_guard<std::mutex> lock(watch.mu);
    Watched *w = Entry(watch, path);
    header->clear();
    if (!ReadHeader(*w, path, header)) {
        header->clear();
        return false;
    }
    if (!w->known || w->header != *header || w->stamp.dev != (uint64_t)st.st_dev ||
        w->stamp.ino != (uint64_t)st.st_ino)
        return false;
    *stamp = w->stamp;
    HoldStamp(*stamp, commits);
    return true;
}

void KeepStamp(const DbStamp &stamp, const std::string &header)
{
    if (header.empty())
        return;
    Watch &watch = TheWatch();
    std::lock_guard<std::mutex> lock(watch.mu);
    Watched *w = Entry(watch, stamp.path);
    w->known = true;
    w->header = header;
    w->stamp = stamp;
}

bool KnownStamp(const char *name, DbStamp *stamp)
{
    std::string path;
    struct stat st;
    std::string header;
    if (ResolvePath(name, &path) != NOERROR)
        return false;
    return HeldStamp(path, stamp) || (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                                      StampUnchanged(path, st, stamp, &header));
}

}  // namespace nsf
}  // namespace vq

void VqDbHoldStamps(BOOL Hold)
{
    vq::nsf::Held &h = vq::nsf::t_held;
    if (Hold) {
        ++h.depth;
    } else if (h.depth > 0 && --h.depth == 0) {
        h.unchanged.clear();
    }
}
