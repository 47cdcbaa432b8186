/*
 * libtarvo: library context, logging and the path prefix.
 *
 * Log levels: 0 trace "TRC", 1 debug "DBG", 2 information "INF",
 * 3 warning "WRN", 4 error "ERR"; 5 is above every message and switches an
 * output off. A message reaches an output when its level, compared as an
 * unsigned 32-bit number, is at least that output's threshold (so a negative
 * threshold silences the output).
 *
 * Before tarvo_init() the console shows warnings and errors and no file is
 * written. The thresholds, the log file and the path prefix are
 * process-wide and not locked: configure them from one thread.
 */
#ifndef TARVO_LOG_H
#define TARVO_LOG_H

#include "tarvo_types.h"

struct timeval;

TARVO_BEGIN_DECLS

#define TQ_LOG_TRC 0
#define TQ_LOG_DBG 1
#define TQ_LOG_INF 2
#define TQ_LOG_WRN 3
#define TQ_LOG_ERR 4
#define TQ_LOG_OFF 5

/**
 * The library's wall clock: local calendar time converted with mktime()
 * (daylight saving decided by the C library), microseconds = milliseconds
 * x 1000. `tz` is ignored. Returns 0. Any thread.
 */
TARVO_API int tq_gettimeofday(struct timeval *tv, void *tz);

/**
 * Sets threshold `index` (0 console, 1 log file, 2 stored only) to `level`.
 * Index above 2: returns 0, nothing changes. For index 1 a log file is also
 * opened for appending: `path` null keeps an open file or opens "tq.log";
 * the same pointer as last time keeps the open file; any other pointer
 * closes the open file and opens `path`. Returns 1, or 0 when the file
 * cannot be opened ("cannot open file %s for write" on standard error).
 */
TARVO_API int tq_log_enable(unsigned index, int level, const char *path);

/** Sets every threshold to 5 and closes the log file; returns fclose()'s result or 0. */
TARVO_API int tq_log_disable(void);

/** Writes the formatted text with no prefix to the outputs whose threshold `level` reaches. */
TARVO_API void tq_log_raw(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

/**
 * Writes one message: "YYYY/MM/DD hh:mm:ss.mmm[tid][TAG] " and the text.
 * The caller passes both the level and its tag. Any thread.
 */
TARVO_API int tq_log(int level, const char *tag, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

/**
 * Starts the library: console threshold 3, path prefix ".\", log file
 * `log_file` (or "tarvo_YYYYMMDD.log" when null) at threshold 1, the start
 * banner, the link layer and the default colour map of 30000 entries.
 * Call once, before any other entry point, from one thread.
 */
TARVO_API void tarvo_init(const char *log_file);

/** Ends the library in the reverse order; logging is silent afterwards. */
TARVO_API void tarvo_uninit(void);

/**
 * Sets the console and log-file thresholds (opening "tq.log" when no file
 * is open) and the link's own debug level; returns the level chosen for the
 * link.
 */
TARVO_API int tarvo_log_cfg(int console_level, int file_level, int link_level);

/**
 * Sets the path prefix (at most 255 characters are kept) and creates every
 * directory level it names; '/' and '\' both separate levels. A prefix that
 * names a directory should end with a separator, since file names are
 * appended to it directly. Returns 0 when the final directory exists or was
 * created, -1 when it could not be created; -1 also for a null path.
 */
TARVO_API int tarvo_path_cfg(const char *path);

/** The path prefix buffer itself, exactly as stored. */
TARVO_API char *tarvo_path_get(void);

TARVO_END_DECLS

#endif /* TARVO_LOG_H */
