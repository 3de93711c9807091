// The card's one diagnostic facility.
//
// Line format (standard error, flushed per line):
//   "%6d-> [%02d:%02d:%02d] %s Err (%s): " + message
// with pid, local time of day, source unit ("KESP/KESP") and function name.
// The level word is "Err", "War", "Dbg" or absent (two blanks then).
// The modular profile drops Dbg lines, microsecond traces and frame dumps.
#ifndef TVK_LOG_H
#define TVK_LOG_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

enum class LogLevel { None, Err, War, Dbg };

// Prefixed line. `file` is __FILE__ (the build maps it to a path relative to the tree).
void tvk_log(const char *file, const char *func, LogLevel lvl, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
// Raw text, no prefix (banners, run-mode line, tree print).
void tvk_raw(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Microsecond trace: "[%02d:%02d:%02d.%06ld] %s Dbg (%s): %s\n".
void tvk_trace(const char *file, const char *func, const char *msg);
// Frame dump: label line (level none) then one raw line of "0x%02X " items.
void tvk_dump(const char *file, const char *func, const char *label, const uint8_t *buf, size_t len);
// The system error text of the last failed call, plain perror form without prefix.
void tvk_perror(int err);

// True when Dbg lines are written: in this build and at the current level.
bool tvk_debugEnabled();
// The quieter level (no Dbg lines, traces or frame dumps), normally taken from the
// environment (TARVIK_LOG_QUIET=1); tests set it here.
void tvk_setQuietLog(bool quiet);

// Where finished lines go; the default writes them to standard error. Tests capture them.
// The sink receives whole lines (or raw text) exactly as they would be written.
using LogSink = std::function<void(const std::string &)>;
void tvk_setLogSink(LogSink sink);   // empty function restores standard error

// Source unit of a __FILE__ value: the path without its extension, or, for a file
// that was split out of a unit, the unit it belongs to (one table in Log.cpp: add a
// row there when a split file must keep the unit's name in the log).
std::string tvk_sourceUnit(const char *file);

#define LOGE(...) tvk_log(__FILE__, __func__, LogLevel::Err, __VA_ARGS__)
#define LOGW(...) tvk_log(__FILE__, __func__, LogLevel::War, __VA_ARGS__)
#define LOGD(...) tvk_log(__FILE__, __func__, LogLevel::Dbg, __VA_ARGS__)
#define LOGN(...) tvk_log(__FILE__, __func__, LogLevel::None, __VA_ARGS__)
#define LOGRAW(...) tvk_raw(__VA_ARGS__)
#define LOGTRACE(msg) tvk_trace(__FILE__, __func__, (msg))
#define LOGDUMP(label, buf, len) tvk_dump(__FILE__, __func__, (label), (buf), (len))

#endif
