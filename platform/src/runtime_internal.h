/*
 * runtime_internal.h - what the runtime half of the stand-in offers the
 * other platform files: status texts, the data directory, the platform
 * clock, message lookup and the small message formatter.
 *
 * Nothing here is part of the gateway's interface; gateway code only sees
 * the vq_*.h headers.
 */
#ifndef VQ_RUNTIME_INTERNAL_H
#define VQ_RUNTIME_INTERNAL_H

#include <cstdint>
#include <string>

#include "vq_global.h"
#include "vq_runtime.h"

namespace vq {

/* ---- status texts (errtext.cpp) ---- */

/* Platform text of ERR(code), or nullptr when the platform has none. */
const char *StatusText(STATUS code);

/* ---- data directory (environment.cpp) ---- */

/* The data directory, without a trailing "/". */
std::string DataDirectory();
/* Full path of a name inside the data directory. */
std::string DataPath(const std::string &name);
/* Sets the data directory and the notes.ini that belongs to it. */
void SetDataDirectoryAndIni(const std::string &dir, const std::string &iniPath);
/* notes.ini value; false when the variable is not set. */
bool EnvironmentValue(const std::string &name, std::string *value);

/* ---- clock (timedate.cpp) ---- */

/* Now in hundredths of a second since 1970-01-01 GMT (test clock aware). */
int64_t NowHundredths();
/* "YYYY-MM-DD HH:MM:SS" of a Unix time in the process's local zone. */
std::string LocalTimeText(int64_t unixSeconds);

/* ---- message modules (modules.cpp) ---- */

/* Module whose texts the add-in calls use: the test selection, else the
 * first module registered, else 0. */
HMODULE ActiveModule();
/* True when the module knows the identifier; *text is its text (nullptr
 * when registered without one). */
bool ModuleLookup(HMODULE module, WORD id, const char **text);

/* ---- formatting (addin.cpp) ---- */

/* printf-style formatting over VQARGs (%s %d %i %u %ld %x %X %c %% with
 * flags, width and precision); the result is cut at MAXSPRINTF - 1. */
std::string FormatArgs(const char *pattern, int nargs, const VQARG *args);
/* Text of a message identifier or status code with its arguments: the
 * active module's text, else the platform text, else "Unknown error code". */
std::string FormatCode(STATUS code, int nargs, const VQARG *args);

/* ---- stop signals (addin.cpp) ---- */

/* Installs the SIGTERM / SIGINT / SIGHUP handlers that make AddInIdle
 * answer TRUE, and ignores SIGPIPE (a closed standard output must not end
 * the task). */
void InstallStopHandlers();
/* Takes the task's instance lock for the life of the process; NOERROR, or
 * ERR_TASK_RUNNING with *holder naming the process that has it. */
STATUS TakeInstanceLock(std::string *holder);

/* The task has ended: its status line goes, so the console lists only
 * running tasks. */
void RemoveStatusFile();
/* Closes server.log, which stays open between lines; the next line opens
 * it again. */
void CloseServerLog();

/* Writes all of data to fd (retrying short writes and EINTR). */
bool WriteAllFd(int fd, const std::string &data);

}  // namespace vq

#endif /* VQ_RUNTIME_INTERNAL_H */
