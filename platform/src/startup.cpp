/*
 * startup.cpp - start-up and termination: NotesInitExtended (which picks
 * the data directory and notes.ini), NotesTerm, NotesInitModule and the
 * SDK start-up helpers.
 *
 * The data directory is the folder of the notes.ini named by a "=PATH"
 * argument, else NOTES_DATA, else the current directory. Its notes.ini
 * must exist: a missing one is a mistyped path, not a new server, so it
 * is refused with the path and the command that creates one.
 */
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime_internal.h"
#include "vq_runtime.h"

namespace {

std::string Absolute(const std::string &path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        return path;
    return std::string(cwd) + "/" + path;
}

/* Copies the text of a status into Buffer (BufferLength characters and a
 * terminator at most). */
void CopyStatusText(STATUS status, char *Buffer, WORD BufferLength)
{
    if (Buffer == nullptr)
        return;
    const std::string text = vq::FormatCode(status, 0, nullptr);
    const size_t n = text.size() < BufferLength ? text.size() : BufferLength;
    std::memcpy(Buffer, text.data(), n);
    Buffer[n] = '\0';
}

/* NOERROR when the notes.ini is there; else shows why and returns the
 * failure as already shown. */
STATUS RequireIni(const std::string &dir, const std::string &ini)
{
    if (access(ini.c_str(), F_OK) == 0)
        return NOERROR;
    std::printf("\r\nNo notes.ini at %s: %s (create the data directory with: notesctl -d %s "
                "init)\r\n\r\n",
                ini.c_str(), std::strerror(errno), dir.c_str());
    std::fflush(stdout);
    return (STATUS)(ERR_NOEXIST | STS_DISPLAYED);
}

}  // namespace

STATUS NotesInitExtended(int argc, char **argv)
{
    std::string ini;
    for (int i = 1; argv != nullptr && i < argc; ++i) {
        if (argv[i] != nullptr && argv[i][0] == '=' && argv[i][1] != '\0') {
            ini = argv[i] + 1;
            break;
        }
    }
    if (ini.empty()) {
        const char *env = std::getenv("NOTES_DATA");
        std::string dir;
        if (env != nullptr && *env != '\0') {
            dir = env;
        } else {
            char cwd[PATH_MAX];
            dir = getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".";
        }
        while (dir.size() > 1 && dir.back() == '/')
            dir.pop_back();
        if (STATUS error = RequireIni(dir, dir + "/notes.ini"))
            return error;
        vq::SetDataDirectoryAndIni(dir, dir + "/notes.ini");
        return NOERROR;
    }
    ini = Absolute(ini);
    const size_t slash = ini.rfind('/');
    const std::string dir = slash == 0 ? std::string("/") : ini.substr(0, slash);
    if (STATUS error = RequireIni(dir, ini))
        return error;
    vq::SetDataDirectoryAndIni(dir, ini);
    return NOERROR;
}

void NotesTerm(void)
{
    std::fflush(stdout);
}

void NotesInitModule(HMODULE *rethModule, HMODULE *rethInstance, HMODULE *rethPrevInstance)
{
    if (rethModule != nullptr)
        *rethModule = vq::ActiveModule();
    if (rethInstance != nullptr)
        *rethInstance = NULLHANDLE;
    if (rethPrevInstance != nullptr)
        *rethPrevInstance = NULLHANDLE;
}

STATUS NotesSDKMAINInit(int (*MainFunc)(int, char **), int argc, char **argv,
                        HMODULE hInstance, HMODULE hPrevInstance)
{
    (void)MainFunc;
    (void)argc;
    (void)argv;
    (void)hInstance;
    (void)hPrevInstance;
    return NOERROR;
}

int NotesSDKMAINInitError(STATUS status, char *Buffer, WORD BufferLength)
{
    CopyStatusText(status, Buffer, BufferLength);
    return 1;
}

int NotesSDKMAINError(STATUS status, char *Buffer, WORD BufferLength)
{
    CopyStatusText(status, Buffer, BufferLength);
    return 1;
}

STATUS AddInSDKInit(int argc, char **argv)
{
    (void)argc;
    (void)argv;
    vq::InstallStopHandlers();
    std::string holder;
    const STATUS error = vq::TakeInstanceLock(&holder);
    if (error == NOERROR)
        return NOERROR;
    AddInLogError(error, NOERROR, holder.c_str());
    return (STATUS)(error | STS_DISPLAYED);
}

STATUS AddInSDKTerm(STATUS AddInMainResult)
{
    vq::RemoveStatusFile();
    vq::CloseServerLog();
    std::fflush(stdout);
    return AddInMainResult;
}
