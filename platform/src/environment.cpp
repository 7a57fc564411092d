/*
 * environment.cpp - the data directory and the server's notes.ini:
 * OSGetDataDirectory, OSGetEnvironmentString, OSGetEnvironmentLong,
 * OSSetEnvironmentVariable.
 *
 * notes.ini is KEY=VALUE lines, keys compared without case, values kept
 * as written. Another process may change it at any time (SET CONFIG), so
 * it is read again whenever its identity, size or modification time
 * changes. A writer replaces the whole file by rename from a synced
 * temporary file in the same folder, so a reader sees the old file or the
 * new one and never half of one; writers serialise on a lock of the
 * folder so that two of them do not lose each other's change.
 */
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "runtime_internal.h"
#include "vq_port.h"
#include "vq_runtime.h"
#include "vq_testhooks.h"

namespace {

struct IniCache {
    bool valid = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    struct timespec mtime = {0, 0};
    std::vector<std::pair<std::string, std::string>> vars;
};

struct EnvState {
    std::mutex mutex;
    bool dirSet = false;
    std::string dir;
    std::string ini;
    /* Every directory OSGetDataDirectory handed out: a caller may keep the
     * pointer, so it must stay valid even after the directory changes. */
    std::set<std::string> handedOut;
    IniCache cache;
};

EnvState &State()
{
    static EnvState *s = new EnvState; /* outlives static destructors */
    return *s;
}

std::string StripTrailingSlashes(std::string dir)
{
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

std::string CurrentDirectory()
{
    char buf[PATH_MAX];
    if (getcwd(buf, sizeof buf) == nullptr)
        return ".";
    return buf;
}

/* The default: NOTES_DATA, else the current directory. Caller holds the
 * lock. */
void EnsureDirectory(EnvState &s)
{
    if (s.dirSet)
        return;
    const char *env = std::getenv("NOTES_DATA");
    s.dir = StripTrailingSlashes(env != nullptr && *env != '\0' ? env : CurrentDirectory());
    s.ini = s.dir + "/notes.ini";
    s.dirSet = true;
    s.cache.valid = false;
}

bool KeyEquals(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string TrimBlanks(const std::string &key)
{
    size_t b = 0, e = key.size();
    while (b < e && (key[b] == ' ' || key[b] == '\t'))
        ++b;
    while (e > b && (key[e - 1] == ' ' || key[e - 1] == '\t'))
        --e;
    return key.substr(b, e - b);
}

/* Splits file content into lines without their line ends (LF, or CR LF). */
std::vector<std::string> SplitLines(const std::string &content)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t nl = content.find('\n', start);
        size_t end = nl == std::string::npos ? content.size() : nl;
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        if (nl == std::string::npos)
            break;
        start = nl + 1;
    }
    return lines;
}

bool ReadAllFd(int fd, std::string *out)
{
    char buf[8192];
    out->clear();
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        out->append(buf, (size_t)n);
    }
}

/* Whether st is the file the cache was read from, as it was then. */
bool Unchanged(const IniCache &c, const struct stat &st)
{
    return st.st_dev == c.dev && st.st_ino == c.ino && st.st_size == c.size &&
           st.st_mtim.tv_sec == c.mtime.tv_sec && st.st_mtim.tv_nsec == c.mtime.tv_nsec;
}

/* Brings the cache up to date with the file. Caller holds the lock. */
void Refresh(EnvState &s)
{
    EnsureDirectory(s);
    struct stat st;
    /* the same file, unchanged since it was read: nothing to open */
    if (s.cache.valid && s.cache.ino != 0 && stat(s.ini.c_str(), &st) == 0 && Unchanged(s.cache, st))
        return;
    int fd = open(s.ini.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        s.cache = IniCache();
        s.cache.valid = true;
        return;
    }
    std::memset(&st, 0, sizeof st);
    /* The identity kept comes from the open file itself, so a rename
     * between the stat above and the read cannot pair one file's content
     * with another's. */
    if (fstat(fd, &st) == 0 && s.cache.valid && Unchanged(s.cache, st)) {
        close(fd);
        return;
    }
    std::string content;
    bool ok = ReadAllFd(fd, &content);
    close(fd);
    IniCache fresh;
    if (ok) {
        for (const std::string &line : SplitLines(content)) {
            size_t eq = line.find('=');
            if (eq == std::string::npos)
                continue;
            std::string key = TrimBlanks(line.substr(0, eq));
            if (!key.empty())
                fresh.vars.emplace_back(key, line.substr(eq + 1));
        }
        fresh.dev = st.st_dev;
        fresh.ino = st.st_ino;
        fresh.size = st.st_size;
        fresh.mtime = st.st_mtim;
        fresh.valid = true;
    }
    s.cache = std::move(fresh);
}

std::string FolderOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

STATUS ErrnoStatus(int err)
{
    switch (err) {
    case ENOENT: return ERR_NOEXIST;
    case ENOSPC: return ERR_DISK_FULL;
    case EACCES:
    case EPERM: return ERR_NOACCESS_FILE;
    default: return ERR_IO;
    }
}

}  // namespace

namespace vq {

std::string DataDirectory()
{
    EnvState &s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    EnsureDirectory(s);
    return s.dir;
}

std::string DataPath(const std::string &name)
{
    return DataDirectory() + "/" + name;
}

void SetDataDirectoryAndIni(const std::string &dir, const std::string &iniPath)
{
    EnvState &s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.dir = StripTrailingSlashes(dir.empty() ? std::string(".") : dir);
    s.ini = iniPath.empty() ? s.dir + "/notes.ini" : iniPath;
    s.dirSet = true;
    s.cache = IniCache();
}

bool EnvironmentValue(const std::string &name, std::string *value)
{
    EnvState &s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    Refresh(s);
    const std::string key = TrimBlanks(name);
    for (const auto &kv : s.cache.vars) {
        if (KeyEquals(kv.first, key)) {
            /* Blanks around a value are typing slips, never meant: a
             * mail file name with a trailing blank names another file. */
            if (value != nullptr)
                *value = TrimBlanks(kv.second);
            return true;
        }
    }
    return false;
}

}  // namespace vq

const char *OSGetDataDirectory(void)
{
    EnvState &s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    EnsureDirectory(s);
    return s.handedOut.insert(s.dir).first->c_str();
}

BOOL OSGetEnvironmentString(const char *VariableName, char *retValueBuffer, WORD BufferLength)
{
    if (retValueBuffer != nullptr)
        retValueBuffer[0] = '\0';
    if (VariableName == nullptr)
        return FALSE;
    std::string value;
    if (!vq::EnvironmentValue(VariableName, &value))
        return FALSE;
    if (retValueBuffer != nullptr) {
        const size_t n = value.size() < BufferLength ? value.size() : BufferLength;
        std::memcpy(retValueBuffer, value.data(), n);
        retValueBuffer[n] = '\0';
    }
    return TRUE;
}

long OSGetEnvironmentLong(const char *VariableName)
{
    if (VariableName == nullptr)
        return 0;
    std::string value;
    if (!vq::EnvironmentValue(VariableName, &value))
        return 0;
    return std::atol(value.c_str());
}

STATUS OSSetEnvironmentVariable(const char *VariableName, const char *Value)
{
    if (VariableName == nullptr)
        return ERR_BAD_PARAM;
    const std::string key = TrimBlanks(VariableName);
    /* A line end or "=" in the key, or a line end in the value, would
     * smuggle other variables into the file. */
    if (key.empty() || key.find_first_of("=\r\n") != std::string::npos)
        return ERR_BAD_PARAM;
    if (Value != nullptr && std::strpbrk(Value, "\r\n") != nullptr)
        return ERR_BAD_PARAM;

    std::string ini;
    {
        EnvState &s = State();
        std::lock_guard<std::mutex> lock(s.mutex);
        EnsureDirectory(s);
        ini = s.ini;
    }
    const std::string folder = FolderOf(ini);
    int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return ERR_DIRECTORY;
    /* Writers of other processes wait here (flock is per open file). */
    while (flock(dirFd, LOCK_EX) != 0 && errno == EINTR) {
    }

    STATUS error = NOERROR;
    std::string content, out;
    std::string tmp;
    int fd = open(ini.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        bool ok = ReadAllFd(fd, &content);
        close(fd);
        if (!ok) {
            error = ERR_IO;
            goto done;
        }
    } else if (errno != ENOENT) {
        error = ErrnoStatus(errno);
        goto done;
    }
    {
        bool replaced = false;
        for (const std::string &line : SplitLines(content)) {
            size_t eq = line.find('=');
            if (eq != std::string::npos && KeyEquals(TrimBlanks(line.substr(0, eq)), key)) {
                if (Value != nullptr && !replaced)
                    out += key + "=" + Value + "\n";
                replaced = true;
                continue;
            }
            out += line + "\n";
        }
        if (!replaced && Value != nullptr)
            out += key + "=" + Value + "\n";
    }
    {
        static std::atomic<unsigned> counter{0};
        tmp = ini + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
        /* Each step passes the fault seam, so that a failed or interrupted
         * write of notes.ini can be made to happen at every step. */
        if (PortFaultStep("create", tmp.c_str(), nullptr) != 0) {
            error = ErrnoStatus(errno);
            goto done;
        }
        fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        VqAdoptDataOwner(tmp.c_str());
        if (fd < 0) {
            error = ErrnoStatus(errno);
            goto done;
        }
        PortFaultAfter();
        bool ok = PortFaultStep("write", tmp.c_str(), nullptr) == 0 && vq::WriteAllFd(fd, out);
        if (ok)
            PortFaultAfter();
        ok = ok && PortFaultStep("fsync", tmp.c_str(), nullptr) == 0 && fsync(fd) == 0;
        if (ok)
            PortFaultAfter();
        int saved = errno;
        if (close(fd) != 0 && ok) {
            ok = false;
            saved = errno;
        }
        /* Replacing the old notes.ini is the point here. */
        if (ok && (PortFaultStep("rename", tmp.c_str(), ini.c_str()) != 0 ||
                   rename(tmp.c_str(), ini.c_str()) != 0)) {
            ok = false;
            saved = errno;
        }
        if (!ok) {
            unlink(tmp.c_str());
            error = ErrnoStatus(saved);
            goto done;
        }
        fsync(dirFd);
        PortFaultAfter();
    }
done:
    flock(dirFd, LOCK_UN);
    close(dirFd);
    return error;
}

namespace vqtest {

void SetDataDirectory(const std::string &dir)
{
    const std::string d = StripTrailingSlashes(dir);
    vq::SetDataDirectoryAndIni(d, d + "/notes.ini");
}

}  // namespace vqtest

void VqAdoptDataOwner(const char *Path)
{
    if (Path == nullptr || geteuid() != 0)
        return;
    struct stat st;
    if (stat(vq::DataDirectory().c_str(), &st) != 0 || st.st_uid == 0)
        return;
    (void)!lchown(Path, st.st_uid, st.st_gid);
}
