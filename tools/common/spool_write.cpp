/*
 * spool_write.cpp - the fax server's hand-over of files (see spool_write.h).
 */
#include "spool_write.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "spool_files.h"
#include "vq_port.h"

namespace spoolfiles {

FdGuard::~FdGuard()
{
    if (fd >= 0)
        ::close(fd);
}

namespace {

std::string Errno(const std::string &what, const std::string &path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

std::string FolderOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string WorkName(const std::string &path)
{
    static unsigned serial = 0;
    return FolderOf(path) + "/." + program_invocation_short_name + "-" + std::to_string(::getpid()) + "-" + std::to_string(++serial) + ".tmp";
}

void WriteAllSync(int fd, const std::string &bytes, const std::string &path)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw SpoolError(Errno("cannot write", path));
        done += (size_t)n;
    }
    if (::fsync(fd) != 0)
        throw SpoolError(Errno("cannot sync", path));
}

/* Writes bytes to a locked file, pausing holdMs halfway. */
void WriteHeld(int fd, const std::string &bytes, const std::string &path, int holdMs)
{
    if (holdMs <= 0)
        return WriteAllSync(fd, bytes, path);
    WriteAllSync(fd, bytes.substr(0, bytes.size() / 2), path);
    PortSleepMs(holdMs);
    WriteAllSync(fd, bytes.substr(bytes.size() / 2), path);
}

/* A new work file beside path, open for writing; its name into work. */
int CreateWork(const std::string &path, mode_t mode, std::string &work)
{
    work = WorkName(path);
    int fd = ::open(work.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0)
        throw SpoolError(Errno("cannot create", work));
    return fd;
}

/* The work file of path, complete and synced; its name. */
std::string WriteWork(const std::string &path, const std::string &bytes, mode_t mode)
{
    std::string work;
    FdGuard fd(CreateWork(path, mode, work));
    try {
        WriteAllSync(fd.fd, bytes, work);
    } catch (...) {
        ::unlink(work.c_str());
        throw;
    }
    return work;
}

/* Renames work to path, never replacing; false, with work gone, when
 * path exists. */
bool RenameIn(const std::string &work, const std::string &path)
{
    if (PortRename(work.c_str(), path.c_str()) == 0)
        return true;
    const int saved = errno;
    ::unlink(work.c_str());
    if (saved == EEXIST)
        return false;
    errno = saved;
    throw SpoolError(Errno("cannot rename into", path));
}

bool Exists(const std::string &path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

void Flock(int fd, int op, const std::string &path)
{
    while (::flock(fd, op) != 0)
        if (errno != EINTR)
            throw SpoolError(Errno("cannot lock", path));
}

std::string ReadFileBytes(const std::string &path)
{
    int raw = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (raw < 0)
        throw SpoolError(Errno("cannot read", path));
    FdGuard fd(raw);
    struct stat st;
    if (::fstat(fd.fd, &st) != 0 || !S_ISREG(st.st_mode))
        throw SpoolError(path + " is not a regular file");
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw SpoolError(Errno("cannot read", path));
        if (n == 0)
            break;
        out.append(buf, (size_t)n);
    }
    return out;
}

bool WriteNewFile(const std::string &path, const std::string &bytes, mode_t mode, const Handover &how)
{
    if (!how.inPlace)
        return RenameIn(WriteWork(path, bytes, mode), path);
    /* locked before it has the name: the reader never finds it unlocked
     * before it is whole */
    std::string work;
    FdGuard fd(CreateWork(path, mode, work));
    Flock(fd.fd, LOCK_EX, work);
    if (!RenameIn(work, path))
        return false;
    WriteHeld(fd.fd, bytes, path, how.holdMs);
    Flock(fd.fd, LOCK_UN, path);
    return true;
}

void ReplaceFile(const std::string &path, const std::string &bytes, mode_t mode)
{
    std::string work = WriteWork(path, bytes, mode);
    if (::rename(work.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(work.c_str());
        errno = saved;
        throw SpoolError(Errno("cannot replace", path));
    }
    SyncFolderOf(path);
}

void SyncFolderOf(const std::string &path)
{
    PortSyncDir(path.c_str());
}

void AppendActivityLines(const std::string &logPath, const std::vector<std::string> &lines, const Handover &how)
{
    if (lines.empty())
        return;
    std::string all;
    for (const auto &l : lines)
        all += l + "\r\n";
    for (int attempt = 0; attempt < 100; ++attempt) {
        int raw = ::open(logPath.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (raw < 0) {
            if (errno != ENOENT)
                throw SpoolError(Errno("cannot open", logPath));
            if (WriteNewFile(logPath, all, 0666, how))
                return;
            continue; /* created by someone else meanwhile: append to it */
        }
        FdGuard fd(raw);
        struct stat mine, named;
        if (::fstat(fd.fd, &mine) != 0 || !S_ISREG(mine.st_mode))
            throw SpoolError(logPath + " is not a regular file");
        Flock(fd.fd, LOCK_EX, logPath);
        if (::lstat(logPath.c_str(), &named) != 0 || named.st_ino != mine.st_ino || named.st_dev != mine.st_dev)
            continue; /* taken away while we waited for the lock */
        WriteHeld(fd.fd, all, logPath, how.holdMs);
        return; /* the lock goes with the descriptor */
    }
    throw SpoolError("cannot append to " + logPath + ": it keeps being replaced");
}

std::string ControlText(const std::vector<std::string> &header, const std::vector<std::string> &body)
{
    std::string text;
    for (const auto &h : header)
        text += h + "\r\n";
    text += "\r\n";
    for (const auto &b : body)
        text += b + "\r\n";
    return text;
}

std::string WriteControlFile(const std::string &tree, std::vector<std::string> header,
                             const std::vector<std::string> &body, const std::string *image, const Handover &how,
                             const std::vector<std::string> &headerAfter)
{
    const std::string in = tree + "/FAX/IN/", parcel = tree + "/FAX/IPARCEL/";
    for (unsigned n = 1; n < 1000000; ++n) {
        char st[16], rx[16];
        std::snprintf(st, sizeof st, "ST%06u", n);
        std::snprintf(rx, sizeof rx, "RX%06u", n);
        if (Exists(in + st) || Exists(parcel + rx))
            continue;
        std::vector<std::string> h = header;
        if (image != nullptr) {
            /* the image is durable before the control file names it */
            if (!WriteNewFile(parcel + rx, *image, 0666))
                continue;
            h.push_back(std::string("Attachment: ") + rx);
        }
        h.insert(h.end(), headerAfter.begin(), headerAfter.end());
        if (WriteNewFile(in + st, ControlText(h, body), 0666, how))
            return st;
        if (image != nullptr)
            ::unlink((parcel + rx).c_str()); /* the control name was taken: both move on */
    }
    throw SpoolError(in + " is full");
}

void WriteQueueFile(const std::string &tree, const std::string &records)
{
    const std::string path = tree + "/PUBLIC/SVCQ";
    std::string data(kQueueSignature, 20);
    data += records;
    FdGuard fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (fd.fd < 0)
        throw SpoolError(Errno("cannot open", path));
    if (PortLockExclusiveWait(fd.fd) != 0)
        throw SpoolError(Errno("cannot lock", path));
    /* the gateway reads under the same lock: it never sees half a queue */
    bool ok = ::ftruncate(fd.fd, 0) == 0 &&
              ::pwrite(fd.fd, data.data(), data.size(), 0) == (ssize_t)data.size();
    ok = ::fsync(fd.fd) == 0 && ok;
    if (!ok)
        throw SpoolError(Errno("cannot write", path));
}

}  // namespace spoolfiles
