// What systemd and its journal are told (systemd.cpp): the notify datagrams
// and the journal's priorities.
#pragma once

// The journal's priority prefixes, info and notice, for the lines on
// standard output, and error for a line of the daemon's own on standard
// error before it exits (its usage); "" unless it is the journal's stream.
extern const char *InfoPrefix;
extern const char *NoticePrefix;
extern const char *ErrorPrefix;

// When standard output or error is the journal's stream ($JOURNAL_STREAM),
// its lines get their priority: a warning on standard error, InfoPrefix and
// NoticePrefix on standard output. Elsewhere the bytes stay as they are.
void use_journal_priorities();
// err(3) and errx(3), whose line ends the daemon: on the journal's stream it
// is an error, not a warning, so that journalctl -p err shows why it stopped.
[[noreturn]] void fatal(int status, const char *format, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] void fatalx(int status, const char *format, ...) __attribute__((format(printf, 2, 3)));
// One datagram to the socket that $NOTIFY_SOCKET names, as sd_notify(3)
// sends it; nothing without it.
void notify_systemd(const char *message);
