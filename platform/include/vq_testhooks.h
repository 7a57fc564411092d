/*
 * vq_testhooks.h - controls of the Notes stand-in for tests and tools:
 * handle accounting, captured log entries and status lines, a test clock,
 * control of AddInIdle and AddInDayHasElapsed, the data directory.
 * Gateway code never includes this header.
 */
#ifndef VQ_TESTHOOKS_H
#define VQ_TESTHOOKS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "vq_global.h"

namespace vqtest {

enum class HandleKind { Memory, Database, Note, Collection, Formula, IdTable };

/* Live handles of one kind, or of all kinds. */
std::size_t HandleCount(HandleKind kind);
std::size_t HandleCountAll();
/* Misuses caught so far (double free, free while locked, bad handle). */
std::size_t MisuseCount();
/* Text describing every live handle (for a failing assertion). */
std::string DescribeHandles();

/* One log entry as AddInLogError made it, without the time stamp:
 * text is the message with its argument and ": " plus the status text. */
struct LogEntry {
    WORD id;
    STATUS status;
    std::string arg;
    std::string text;
};
/* Captured entries since the last ClearLog. Capture starts with the first
 * use of a test control (ClearLog, LogEntries, SetLogEcho, StatusLines,
 * ClearStatus), so a server process keeps nothing in memory. */
std::vector<LogEntry> LogEntries();
/* Views of them: texts and message ids in order, the entries of a message
 * id (with that argument), the argument of its first entry ("<none>"). */
std::vector<std::string> LogTexts();
std::vector<WORD> LogIds();
int LogCount(WORD id);
int LogCount(WORD id, const std::string &arg);
std::string LogArg(WORD id);
void ClearLog();
/* Keep entries off standard output (default on under tests: off). */
void SetLogEcho(bool echo);

/* Every status line set since the last ClearStatus, in order. */
std::vector<std::string> StatusLines();
void ClearStatus();

/* Test clock: the platform's now (OSCurrentTIMEDATE, VqTimeSeconds). */
void SetClock(int64_t unixSeconds, int hundredths = 0);
void AdvanceClock(long hundredths);
void UseRealClock();

/* AddInIdle control: stop after N turns (-1: never by count), a hook
 * called at each turn with its number (from 1) before the answer, and the
 * pacing sleep in milliseconds (tests: 0). */
void SetIdleStopAfter(int turns);
void SetIdleHook(std::function<void(int turn)> hook);
void SetIdlePaceMs(int ms);
void ResetIdle();
/* Next AddInDayHasElapsed answers (default: by the clock). */
void SetDayElapsedHook(std::function<bool()> hook);

/* Module whose texts the add-in calls use (0: the first one registered). */
void SetActiveModule(HMODULE module);

/* Data directory (notes.ini is read from it afresh). */
void SetDataDirectory(const std::string &dir);

}  // namespace vqtest

#endif /* VQ_TESTHOOKS_H */
