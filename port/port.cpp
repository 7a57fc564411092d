/*
 * port.cpp - the gateway's Windows file habits on POSIX: path joining,
 * text-mode reads, renames that never replace, share-exclusive opens and
 * directory search by pattern. Every call that changes durable state
 * passes the fault seam (fault.cpp).
 */
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "vq_port.h"

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif

namespace {

/* Streams whose write failed by injection, until they are closed. */
struct StreamMarks {
    std::mutex mutex;
    std::set<FILE *> failed;
};

StreamMarks &Marks()
{
    static StreamMarks *m = new StreamMarks;
    return *m;
}

void MarkFailed(FILE *stream)
{
    StreamMarks &m = Marks();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.failed.insert(stream);
}

struct Search {
    DIR *dir = nullptr;
    std::string folder;
    std::string pattern;
};

struct Searches {
    std::mutex mutex;
    std::map<intptr_t, Search> open;
    intptr_t next = 1;
};

Searches &AllSearches()
{
    static Searches *s = new Searches;
    return *s;
}

/* Text-mode getc on a stream the caller holds (flockfile): CR LF reads as
 * LF; 0x1A is the end of the file and is pushed back so that it stays the
 * end on every later read. */
int TextGetcLocked(FILE *stream)
{
    int c = getc_unlocked(stream);
    if (c == 0x1A) {
        ungetc(c, stream);
        return EOF;
    }
    if (c == '\r') {
        int next = getc_unlocked(stream);
        if (next == '\n')
            return '\n';
        if (next != EOF)
            ungetc(next, stream);
    }
    return c;
}

/* TextGetc for one character: takes and gives back the stream's lock. */
int TextGetc(FILE *stream)
{
    flockfile(stream);
    const int c = TextGetcLocked(stream);
    funlockfile(stream);
    return c;
}

/* The next regular file of the search whose name matches, or false. */
bool NextMatch(Search &s, char *Name, size_t NameSize)
{
    for (;;) {
        struct dirent *e = readdir(s.dir);
        if (e == nullptr)
            return false;
        const char *n = e->d_name;
        if (std::strcmp(n, ".") == 0 || std::strcmp(n, "..") == 0)
            continue;
        if (fnmatch(s.pattern.c_str(), n, FNM_CASEFOLD) != 0)
            continue;
        const std::string full = s.folder + "/" + n;
        struct stat st;
        if (lstat(full.c_str(), &st) != 0)
            continue;
        /* A link or a special file of that name is never handed out. */
        if (!S_ISREG(st.st_mode)) {
            PortNoteRefused(full.c_str(), S_ISLNK(st.st_mode) ? ELOOP : ENXIO);
            continue;
        }
        const size_t len = std::strlen(n);
        /* A cut name would name another file: such names are passed over. */
        if (Name == nullptr || len + 1 > NameSize)
            continue;
        std::memcpy(Name, n, len + 1);
        return true;
    }
}

/* open() that never follows a link at the last name and never blocks on
 * a FIFO or device: anything but a regular file is refused (ELOOP for a
 * link, EISDIR for a folder, ENXIO for a special file) and noted. */
int OpenRegular(const char *Path, int Flags)
{
    int fd = open(Path, Flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int saved = errno;
        struct stat st;
        if (saved == ELOOP || saved == ENXIO || saved == EISDIR ||
            (lstat(Path, &st) == 0 && !S_ISREG(st.st_mode)))
            PortNoteRefused(Path, saved);
        errno = saved;
        return -1;
    }
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int why = S_ISDIR(st.st_mode) ? EISDIR : ENXIO;
        close(fd);
        PortNoteRefused(Path, why);
        errno = why;
        return -1;
    }
    /* reads and writes of a regular file block as usual: F_SETFL sets
     * the status flags it can change (of those opened with, O_APPEND)
     * to these, so O_NONBLOCK goes without a F_GETFL first */
    fcntl(fd, F_SETFL, Flags & O_APPEND);
    return fd;
}

}  // namespace

void (*PortRefusedHook)(const char *Path, int Errno) = nullptr;
void (*PortRemovedHook)(const char *Path) = nullptr;

void PortNoteRefused(const char *Path, int Errno)
{
    if (PortRefusedHook != nullptr && Path != nullptr)
        PortRefusedHook(Path, Errno);
}

int PortMakePath(char *Path, size_t PathSize, const char *Drive, const char *Dir,
                 const char *Fname, const char *Ext)
{
    std::string out;
    if (Drive != nullptr)
        out += Drive;
    if (Dir != nullptr && *Dir != '\0') {
        out += Dir;
        const char last = out.back();
        if (last != '/' && last != '\\')
            out += '/';
    }
    if (Fname != nullptr)
        out += Fname;
    if (Ext != nullptr && *Ext != '\0') {
        if (*Ext != '.')
            out += '.';
        out += Ext;
    }
    if (Path == nullptr || PathSize == 0)
        return -1;
    if (out.size() + 1 > PathSize) {
        Path[0] = '\0';
        return -1;
    }
    std::memcpy(Path, out.c_str(), out.size() + 1);
    return 0;
}

void PortDrivePart(const char *Path, char *Drive, size_t DriveSize)
{
    if (Drive == nullptr || DriveSize == 0)
        return;
    Drive[0] = '\0';
    if (Path != nullptr && std::isalpha((unsigned char)Path[0]) && Path[1] == ':' && DriveSize >= 3) {
        Drive[0] = Path[0];
        Drive[1] = ':';
        Drive[2] = '\0';
    }
}

int PortMakeFolder(const char *Path)
{
    struct stat st;
    if (Path == nullptr || *Path == '\0') {
        errno = EINVAL;
        return -1;
    }
    if (mkdir(Path, 0700) != 0 && errno != EEXIST)
        return -1;
    if (lstat(Path, &st) != 0)
        return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return 0;
}

int PortAccess(const char *Path)
{
    if (Path == nullptr)
        return -1;
    return access(Path, F_OK) == 0 ? 0 : -1;
}

FILE *PortFopen(const char *Path, const char *Mode)
{
    if (Path == nullptr || Mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    std::string mode;
    bool exclusive = false;
    for (const char *m = Mode; *m != '\0'; ++m) {
        if (*m == 'x')
            exclusive = true;
        else if (*m != 't')
            mode += *m;
    }
    const bool creating = mode.find_first_of("wa") != std::string::npos;
    const bool update = mode.find('+') != std::string::npos;
    int flags = update ? O_RDWR : (creating ? O_WRONLY : O_RDONLY);
    if (mode[0] == 'w')
        flags |= O_CREAT | (exclusive ? O_EXCL : O_TRUNC);
    else if (mode[0] == 'a')
        flags |= O_CREAT | O_APPEND;
    if (creating && PortFaultStep("create", Path, nullptr) != 0)
        return nullptr;
    const int fd = OpenRegular(Path, flags);
    if (fd < 0) {
        PortNoteFailure(errno);
        return nullptr;
    }
    FILE *f = fdopen(fd, mode.c_str());
    if (f == nullptr) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return nullptr;
    }
    if (creating)
        PortFaultAfter();
    return f;
}

FILE *PortFdopen(int Fd, const char *Mode)
{
    return Fd < 0 || Mode == nullptr ? nullptr : fdopen(Fd, Mode);
}

int PortFileIdentity(const char *Path, char *Id, size_t IdSize)
{
    struct stat st;
    if (Path == nullptr || Id == nullptr || lstat(Path, &st) != 0)
        return -1;
    const int n = snprintf(Id, IdSize, "%llu:%llu", (unsigned long long)st.st_dev,
                           (unsigned long long)st.st_ino);
    return n > 0 && (size_t)n < IdSize ? 0 : -1;
}

int PortLexists(const char *Path)
{
    struct stat st;
    return Path != nullptr && lstat(Path, &st) == 0 ? 1 : 0;
}

namespace {

/* The bytes the stream holds read ahead but not yet handed out, as
 * getc_unlocked takes them (glibc's own inline getc reads these fields);
 * none where the C library does not show them, so that every byte then
 * goes through getc_unlocked. */
const char *Buffered(FILE *Stream, size_t *Count)
{
#if defined(__GLIBC__)
    const char *At = Stream->_IO_read_ptr;
    *Count = At != nullptr && At < Stream->_IO_read_end ? (size_t)(Stream->_IO_read_end - At) : 0;
    return At;
#else
    (void)Stream;
    *Count = 0;
    return nullptr;
#endif
}

/* Hands out Count bytes of what Buffered gave, as Count getc calls would. */
void Consume(FILE *Stream, size_t Count)
{
#if defined(__GLIBC__)
    Stream->_IO_read_ptr += Count;
#else
    (void)Stream;
    (void)Count;
#endif
}

/* The first CR or CTRL+Z among the Count bytes at At, or null. */
const char *FirstSpecial(const char *At, size_t Count)
{
    const char *Cr = static_cast<const char *>(std::memchr(At, '\r', Count));
    const char *Eof = static_cast<const char *>(
        std::memchr(At, 0x1A, Cr != nullptr ? (size_t)(Cr - At) : Count));
    return Eof != nullptr ? Eof : Cr;
}

/* The text-mode line read: the bytes up to a line end are taken from the
 * stream's buffer in bulk (memchr finds the line feed, then any CR or
 * CTRL+Z before it); a CR, a CTRL+Z and an empty buffer go one character
 * at a time through TextGetcLocked, which alone gives them their meaning
 * and refills the buffer. */
char *FgetsText(char *Buffer, int Size, FILE *Stream, bool CtrlZBlank)
{
    if (Buffer == nullptr || Size <= 0 || Stream == nullptr)
        return nullptr;
    size_t n = 0;
    const size_t Room = (size_t)Size - 1;
    /* One lock for the whole line rather than one per character. */
    flockfile(Stream);
    while (n < Room) {
        size_t Count = 0;
        const char *At = Buffered(Stream, &Count);
        if (Count > Room - n)
            Count = Room - n;
        if (Count > 0) {
            const char *Lf = static_cast<const char *>(std::memchr(At, '\n', Count));
            const size_t Line = Lf != nullptr ? (size_t)(Lf - At) + 1 : Count;
            const char *Special = FirstSpecial(At, Line);
            const size_t Plain = Special != nullptr ? (size_t)(Special - At) : Line;
            std::memcpy(Buffer + n, At, Plain);
            Consume(Stream, Plain);
            n += Plain;
            if (Special == nullptr && Lf != nullptr)
                break;
            if (Special == nullptr)
                continue;
        }
        int c = TextGetcLocked(Stream);
        if (c == EOF && CtrlZBlank && getc_unlocked(Stream) == 0x1A)
            c = ' ';
        if (c == EOF)
            break;
        Buffer[n++] = (char)c;
        if (c == '\n')
            break;
    }
    funlockfile(Stream);
    Buffer[n] = '\0';
    return n == 0 ? nullptr : Buffer;
}

}  // namespace

char *PortFgets(char *Buffer, int Size, FILE *Stream)
{
    return FgetsText(Buffer, Size, Stream, false);
}

char *PortFgetsLine(char *Buffer, int Size, FILE *Stream)
{
    return FgetsText(Buffer, Size, Stream, true);
}

size_t PortFreadText(void *Buffer, size_t Size, FILE *Stream)
{
    if (Buffer == nullptr || Stream == nullptr)
        return 0;
    auto *out = static_cast<char *>(Buffer);
    size_t n = 0;
    while (n < Size) {
        int c = TextGetc(Stream);
        if (c == EOF)
            break;
        out[n++] = (char)c;
    }
    return n;
}

int PortFsync(FILE *Stream)
{
    if (Stream == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (PortFaultStepFd("fsync", fileno(Stream)) != 0)
        return -1;
    if (std::fflush(Stream) != 0 || fsync(fileno(Stream)) != 0) {
        PortNoteFailure(errno);
        return -1;
    }
    PortFaultAfter();
    return 0;
}

FILE *PortOpenMemory(char **Buffer, size_t *Size)
{
    if (Buffer == nullptr || Size == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    *Buffer = nullptr;
    *Size = 0;
    return open_memstream(Buffer, Size);
}

void PortFreeMemory(char *Buffer)
{
    std::free(Buffer);
}

int PortFclose(FILE *Stream)
{
    if (Stream == nullptr)
        return EOF;
    {
        StreamMarks &m = Marks();
        std::lock_guard<std::mutex> lock(m.mutex);
        m.failed.erase(Stream);
    }
    const int rc = std::fclose(Stream);
    if (rc != 0)
        PortNoteFailure(errno);
    return rc;
}

size_t PortFwrite(const void *Buffer, size_t Size, size_t Count, FILE *Stream)
{
    if (Stream == nullptr)
        return 0;
    if (PortFaultStepFd("write", fileno(Stream)) != 0) {
        MarkFailed(Stream);
        return 0;
    }
    size_t n = std::fwrite(Buffer, Size, Count, Stream);
    if (n != Count)
        PortNoteFailure(errno);
    PortFaultAfter();
    return n;
}

int PortFprintf(FILE *Stream, const char *Format, ...)
{
    if (Stream == nullptr || Format == nullptr)
        return -1;
    va_list ap;
    va_start(ap, Format);
    va_list ap2;
    va_copy(ap2, ap);
    int len = std::vsnprintf(nullptr, 0, Format, ap);
    va_end(ap);
    if (len < 0) {
        va_end(ap2);
        return -1;
    }
    std::string text((size_t)len + 1, '\0');
    std::vsnprintf(&text[0], text.size(), Format, ap2);
    va_end(ap2);
    text.resize((size_t)len);
    if (PortFaultStepFd("write", fileno(Stream)) != 0) {
        MarkFailed(Stream);
        return -1;
    }
    size_t n = std::fwrite(text.data(), 1, text.size(), Stream);
    PortFaultAfter();
    return n == text.size() ? len : -1;
}

int PortFerror(FILE *Stream)
{
    if (Stream == nullptr)
        return 1;
    if (std::ferror(Stream))
        return 1;
    StreamMarks &m = Marks();
    std::lock_guard<std::mutex> lock(m.mutex);
    return m.failed.count(Stream) != 0 ? 1 : 0;
}

/* The rename of PortRename; its folder is fsynced only when Sync. */
static int RenameNoReplace(const char *From, const char *To, bool Sync)
{
    if (From == nullptr || To == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (PortFaultStep("rename", From, To) != 0)
        return -1;
    /* Never replace: a job the fax server already holds under that name
     * must not be overwritten. */
    long rc = syscall(SYS_renameat2, AT_FDCWD, From, AT_FDCWD, To, RENAME_NOREPLACE);
    if (rc != 0 && (errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
        /* link() fails with EEXIST on an existing target, like NOREPLACE. */
        if (link(From, To) != 0)
            return -1;
        if (unlink(From) != 0) {
            const int saved = errno;
            unlink(To);
            errno = saved;
            return -1;
        }
        rc = 0;
    }
    if (rc != 0) {
        PortNoteFailure(errno);
        return -1;
    }
    /* The new name is durable only once its folder is on disk. */
    if (Sync)
        PortSyncDir(To);
    if (PortRemovedHook != nullptr)
        PortRemovedHook(From);
    PortFaultAfter();
    return 0;
}

int PortRename(const char *From, const char *To)
{
    return RenameNoReplace(From, To, true);
}

int PortRenameNoSync(const char *From, const char *To)
{
    return RenameNoReplace(From, To, false);
}

int PortUnlink(const char *Path)
{
    if (Path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    if (PortFaultStep("unlink", Path, nullptr) != 0)
        return -1;
    if (unlink(Path) != 0)
        return -1;
    if (PortRemovedHook != nullptr)
        PortRemovedHook(Path);
    PortFaultAfter();
    return 0;
}

int PortSyncDir(const char *Path)
{
    if (Path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::string p = Path;
    const size_t slash = p.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : p.substr(0, slash));
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int rc = fsync(fd);
    const int saved = errno;
    close(fd);
    if (rc == 0)
        PortFaultNote("dirsync", folder.c_str());
    errno = saved;
    return rc == 0 ? 0 : -1;
}

intptr_t PortFindFirst(const char *Pattern, char *Name, size_t NameSize)
{
    if (Pattern == nullptr || *Pattern == '\0') {
        errno = EINVAL;
        return -1;
    }
    const std::string p = Pattern;
    const size_t slash = p.rfind('/');
    Search s;
    s.folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : p.substr(0, slash));
    s.pattern = slash == std::string::npos ? p : p.substr(slash + 1);
    s.dir = opendir(s.folder.c_str());
    if (s.dir == nullptr)
        return -1;
    if (!NextMatch(s, Name, NameSize)) {
        closedir(s.dir);
        errno = ENOENT;
        return -1;
    }
    Searches &all = AllSearches();
    std::lock_guard<std::mutex> lock(all.mutex);
    const intptr_t h = all.next++;
    all.open.emplace(h, s);
    return h;
}

int PortFindNext(intptr_t Handle, char *Name, size_t NameSize)
{
    Searches &all = AllSearches();
    std::lock_guard<std::mutex> lock(all.mutex);
    auto it = all.open.find(Handle);
    if (it == all.open.end()) {
        errno = EINVAL;
        return -1;
    }
    if (!NextMatch(it->second, Name, NameSize)) {
        errno = ENOENT;
        return -1;
    }
    return 0;
}

int PortFindClose(intptr_t Handle)
{
    Searches &all = AllSearches();
    std::lock_guard<std::mutex> lock(all.mutex);
    auto it = all.open.find(Handle);
    if (it == all.open.end()) {
        errno = EINVAL;
        return -1;
    }
    closedir(it->second.dir);
    all.open.erase(it);
    return 0;
}

int PortSopenExclusive(const char *Path)
{
    if (Path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int fd = OpenRegular(Path, O_RDWR);
    if (fd < 0)
        return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int PortLockExclusiveWait(int Fd)
{
    for (;;) {
        if (flock(Fd, LOCK_EX) == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

int PortClose(int Fd)
{
    return close(Fd);
}

long PortRead(int Fd, void *Buffer, size_t Size)
{
    for (;;) {
        ssize_t n = read(Fd, Buffer, Size);
        if (n >= 0 || errno != EINTR)
            return (long)n;
    }
}

void PortSleepMs(int Milliseconds)
{
    if (Milliseconds <= 0)
        return;
    struct timespec want;
    want.tv_sec = Milliseconds / 1000;
    want.tv_nsec = (long)(Milliseconds % 1000) * 1000000L;
    struct timespec left;
    while (nanosleep(&want, &left) != 0 && errno == EINTR)
        want = left;
}
