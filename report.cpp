// What the operator is told beyond the per-frame lines: the status words
// that systemd shows (sent through systemd.cpp), and the alarm when time/date
// frames stop with why those heard are not taken meanwhile. The loop
// (main.cpp) asks it how long a receive may wait; pgnclock.cpp and can.cpp
// tell it what became of each frame.
#include "report.h"

#include "can.h"
#include "pgnclock.h"
#include "systemd.h"

#include <err.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int FrameTimeout = 10;

namespace {

// What the operator was told, and what it rests on.
struct Report {
    // The frame being handled, and the last one taken.
    uint8_t heard_sender = j1939_null_address;
    int heard_index = 0;
    struct {
        bool any = false;
        uint8_t sender = 0;
        char interface[IF_NAMESIZE + 16] = "";
        time_t bus_time = 0;
    } last_taken;
    // When the last frame was taken (or the daemon started), and since when
    // the silence counts: from then, or from when an interface that went
    // away, which was said, is back. CLOCK_MONOTONIC: a suspend does not
    // count, as it does not for the socket's receive timeout. And whether
    // the silence was said.
    bool started = false;
    timespec taken_at{};
    timespec silence_from{};
    bool silence_said = false;
    // The status that said it, which an interface's return does not replace.
    char silence_status[256] = "";
    // Which reasons were named for each sender during the silence.
    uint8_t refusals_said[256] = {};
    // CLOCK_MONOTONIC as last read, and whether the last thing said since
    // the receive timeout was asked for is a frame taken and in step (or
    // sent to chrony): nothing since its reading can have held the daemon
    // (the set's line can), so the whole silence is left, without reading
    // the clock again.
    timespec read{};
    bool taken_since_asked = false;
    // The last status sent, its words, and when.
    char status[256] = "";
    char status_words[256] = "";
    timespec status_sent_at{};
};
Report report;

timespec monotonic_now()
{
    clock_gettime(CLOCK_MONOTONIC, &report.read);
    return report.read;
}

// Milliseconds from since to the clock as last read.
int64_t ms_before_read(const timespec &since)
{
    return (int64_t{report.read.tv_sec} - since.tv_sec) * 1000 +
           (report.read.tv_nsec - since.tv_nsec) / 1000000;
}

int64_t ms_since(const timespec &since)
{
    monotonic_now();
    return ms_before_read(since);
}

// The interface's name as the link table knows it, or its index.
void interface_name(int index, char (&name)[IF_NAMESIZE + 16])
{
    const can_link *link = link_by_index(index);
    if (link && !link->name.empty())
        snprintf(name, sizeof name, "%s", link->name.c_str());
    else
        snprintf(name, sizeof name, "interface %d", index);
}

// A STATUS= line, sent only when it says something new; after "READY=1"
// when ready is.
void set_status(bool ready, const char *format, ...) __attribute__((format(printf, 2, 3)));
// What a status says but its figures: a word that is a number ("3500",
// "+40.000", "-0.043"), not a sender ("0xF9") nor a name ("can0"), is "#".
// Never longer than the status; no heap call, as a frame costs none.
void status_words(const char *status, char (&words)[256])
{
    size_t out = 0;
    for (const char *word = status; *word && out < sizeof words - 1;) {
        const size_t length = strcspn(word, " ");
        const char *digit = (*word == '+' || *word == '-') ? word + 1 : word;
        const bool figure = isdigit(static_cast<unsigned char>(*digit)) &&
                            !(digit[0] == '0' && digit[1] == 'x');
        const size_t kept = std::min(figure ? 1 : length, sizeof words - 1 - out);
        memcpy(words + out, figure ? "#" : word, kept);
        out += kept;
        word += length;
        if (*word == ' ' && out < sizeof words - 1)
            words[out++] = *word++;
    }
    words[out] = '\0';
}

// A change of words is sent at once; a change of figures alone at most once
// a minute: PID 1 wakes for each datagram, and the frames come every second.
constexpr int64_t figures_refreshed_ms = 60000;

// A status follows a frame or an event that read the clock: that reading
// serves.
void set_status(bool ready, const char *format, ...)
{
    char status[256];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(status, sizeof status, format, arguments);
    va_end(arguments);
    if (!ready && strcmp(status, report.status) == 0)
        return;
    char words[sizeof report.status_words];
    status_words(status, words);
    if (!ready && strcmp(words, report.status_words) == 0 &&
        ms_before_read(report.status_sent_at) < figures_refreshed_ms)
        return;
    memcpy(report.status_words, words, sizeof words);
    report.status_sent_at = report.read;
    memcpy(report.status, status, sizeof report.status);
    char message[sizeof status + 16];
    snprintf(message, sizeof message, "%sSTATUS=%s", ready ? "READY=1\n" : "", status);
    notify_systemd(message);
}

// The silence counts from the start, and again from each return of the
// interface.
void count_silence_from_now()
{
    report.silence_from = monotonic_now();
    if (!report.started)
        report.taken_at = report.silence_from;
    report.started = true;
}

}  // namespace

void report_reset()
{
    report = Report{};
}

void report_listening()
{
    count_silence_from_now();
    if (report.silence_said)
        set_status(true, "%s", report.silence_status);
    else if (TimeSource >= 0)
        set_status(true, "Waiting for time/date frames (PGN 0x%04X) from 0x%02X on %s", TimePGN,
                   TimeSource, TimeInterface.c_str());
    else
        set_status(true, "Waiting for time/date frames (PGN 0x%04X) on %s", TimePGN,
                   TimeInterface.c_str());
}

void report_waiting_for_interface()
{
    count_silence_from_now();
    set_status(true, "Waiting for interface %s", TimeInterface.c_str());
}

void report_frame_heard(uint8_t sender, int interface_index)
{
    report.heard_sender = sender;
    report.heard_index = interface_index;
}

void report_refused(frame_refusal reason)
{
    static const char *const reasons[] = {
        "it is shorter than the six time fields",
        "it says \"not available\" (0xFF) or \"error\" (0xFE)",
        "a field is out of range",
        "it carries local time",
        "it waited more than a second, or is stamped ahead of the clock",
        "this device sent it",
        "the kernel gave it no arrival stamp, which a sample for chrony needs",
    };
    // Named only while frames are missed: a sender that is refused while
    // another one is taken is no news, and would say so every second.
    if (!report.silence_said || (report.refusals_said[report.heard_sender] & (1u << reason)))
        return;
    report.refusals_said[report.heard_sender] |= static_cast<uint8_t>(1u << reason);
    char name[IF_NAMESIZE + 16];
    interface_name(report.heard_index, name);
    warnx("a time/date frame from 0x%02X on %s is not taken: %s", report.heard_sender, name,
          reasons[reason]);
}

void report_taken(time_t bus_time)
{
    interface_name(report.heard_index, report.last_taken.interface);
    monotonic_now();
    if (report.silence_said) {
        warnx("time/date frames are taken again: from 0x%02X on %s after %" PRId64 " s",
              report.heard_sender, report.last_taken.interface,
              ms_before_read(report.taken_at) / 1000);
        report.silence_said = false;
        memset(report.refusals_said, 0, sizeof report.refusals_said);
    }
    report.taken_at = report.silence_from = report.read;
    report.last_taken.any = true;
    report.last_taken.sender = report.heard_sender;
    report.last_taken.bus_time = bus_time;
}

void report_in_step(uint64_t difference_ms, bool marked)
{
    report.taken_since_asked = true;
    if (static_cast<int64_t>(TimeDrift) < 0)
        set_status(false, "Leaving the clock alone (negative drift): 0x%02X on %s is %" PRIu64
                   " ms apart", report.last_taken.sender, report.last_taken.interface, difference_ms);
    else if (marked)
        set_status(false, "In step with 0x%02X on %s: %" PRIu64 " ms apart", report.last_taken.sender,
                   report.last_taken.interface, difference_ms);
    else
        set_status(false, "Within the drift of 0x%02X on %s, but %" PRIu64
                   " ms apart: the clock is not marked synchronised", report.last_taken.sender,
                   report.last_taken.interface, difference_ms);
}

void report_clock_set(int64_t moved_ns)
{
    const char sign = moved_ns < 0 ? '-' : '+';
    const uint64_t magnitude_ms =
        (moved_ns < 0 ? 0 - static_cast<uint64_t>(moved_ns) : static_cast<uint64_t>(moved_ns)) /
        1000000;
    set_status(false, "Clock set from 0x%02X on %s: moved %c%" PRIu64 ".%03u s", report.last_taken.sender,
               report.last_taken.interface, sign, magnitude_ms / 1000,
               static_cast<unsigned>(magnitude_ms % 1000));
}

void report_clock_refused(int error)
{
    set_status(false, "Cannot set the clock from 0x%02X on %s: %s", report.last_taken.sender,
               report.last_taken.interface, strerror(error));
}

void report_sample(double offset_s, int error)
{
    report.taken_since_asked = true;
    if (error != 0)
        set_status(false, "Samples lost: chrony's socket %s: %s", ChronySocket.c_str(),
                   strerror(error));
    else
        set_status(false, "Feeding chrony: 0x%02X on %s, %+.3f s from the clock",
                   report.last_taken.sender, report.last_taken.interface, offset_s);
}

// Rounded up to whole seconds: right after a frame taken, the whole timeout,
// the same as the last receive's, so that frames flowing cost no call more;
// the silence is then said up to a second late.
int64_t receive_timeout_ms()
{
    if (FrameTimeout <= 0 || report.silence_said)
        return 0;
    // Right after a frame taken, the reading it took serves.
    const int64_t since_ms = report.taken_since_asked ? ms_before_read(report.silence_from)
                                                      : ms_since(report.silence_from);
    report.taken_since_asked = false;
    const int64_t left = int64_t{FrameTimeout} * 1000 - since_ms;
    return left > 0 ? (left + 999) / 1000 * 1000 : -1;
}

void report_receive_timeout()
{
    // Not before the time: a receive timeout is never shorter than what was
    // left, but a wait that ends early says nothing of the bus.
    if (report.silence_said || ms_since(report.silence_from) < int64_t{FrameTimeout} * 1000)
        return;
    report.silence_said = true;
    if (!report.last_taken.any) {
        warnx("no time/date frame taken for %d s, none since the start", FrameTimeout);
        snprintf(report.silence_status, sizeof report.silence_status,
                 "No time/date frame for %d s, none since the start", FrameTimeout);
    } else {
        char when[32];
        tm utc{};
        strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", gmtime_r(&report.last_taken.bus_time, &utc));
        warnx("no time/date frame taken for %d s; the last came from 0x%02X on %s, at %s",
              FrameTimeout, report.last_taken.sender, report.last_taken.interface, when);
        snprintf(report.silence_status, sizeof report.silence_status,
                 "No time/date frame for %d s; the last came from 0x%02X on %s, at %s",
                 FrameTimeout, report.last_taken.sender, report.last_taken.interface, when);
    }
    set_status(false, "%s", report.silence_status);
}

timespec report_taken_at()
{
    return report.taken_at;
}

void report_node_status(const char *status)
{
    set_status(false, "%s", status);
}
