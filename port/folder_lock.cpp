/*
 * folder_lock.cpp - an exclusive lock held on a folder itself (flock on
 * a descriptor of the folder), so that one process at a time may own a
 * tree without adding anything to it, and the id of the process that
 * holds such a lock, read from /proc/locks.
 */
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "vq_port.h"

namespace {

/* The process that holds a flock on the file (dev, ino), 0 when none is
 * listed. /proc/locks lines: "1: FLOCK  ADVISORY  WRITE 123 fd:01:4567 0 EOF". */
long FlockHolder(dev_t dev, ino_t ino)
{
    FILE *f = std::fopen("/proc/locks", "re");
    if (f == nullptr)
        return 0;
    char line[256];
    long holder = 0;
    while (holder == 0 && std::fgets(line, sizeof line, f) != nullptr) {
        char kind[16], mode[16];
        long pid = 0;
        unsigned maj = 0, min = 0;
        uintmax_t inode = 0;
        if (std::sscanf(line, "%*[^:]: %15s %*s %15s %ld %x:%x:%" SCNuMAX, kind, mode, &pid, &maj,
                        &min, &inode) == 6 &&
            maj == major(dev) && min == minor(dev) && inode == (uintmax_t)ino)
            holder = pid;
    }
    std::fclose(f);
    return holder;
}

}  // namespace

int PortLockFolder(const char *Path, long *HolderPid)
{
    if (HolderPid != nullptr)
        *HolderPid = 0;
    int fd = open(Path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return fd;
    const int e = errno;
    struct stat st;
    if (HolderPid != nullptr && e == EWOULDBLOCK && fstat(fd, &st) == 0)
        *HolderPid = FlockHolder(st.st_dev, st.st_ino);
    close(fd);
    errno = e;
    return -1;
}
