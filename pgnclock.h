// pgnclock: keeps the system clock in step with the J1939 time/date
// broadcast on the CAN bus.
#pragma once

#include <linux/can.h>

#include <cstdint>
#include <ctime>
#include <string>

// Parameter group number of the time/date frames; written once at start-up.
extern uint16_t TimePGN;
// The one sender whose time/date frames count, a J1939 source address
// (0x00-0xFD); -1 while any sender counts. Written once at start-up.
extern int TimeSource;
// The one CAN interface whose frames count; "any" means every interface,
// unless one is really called so. Written once at start-up.
extern std::string TimeInterface;
// Which frames that this device sent itself count: automatic, those on a
// vcan, where there is no bus. Written once at start-up.
enum LocalFramesPolicy { local_frames_auto, local_frames_accept, local_frames_ignore };
extern LocalFramesPolicy LocalFrames;
// Correction threshold in milliseconds. Written once at start-up from the
// configured int, sign-extended, and compared as unsigned: a negative drift
// therefore never triggers a correction in practice.
extern uint64_t TimeDrift;
// The path of chrony's SOCK reference-clock socket (chrony.conf(5),
// refclock SOCK) that each frame taken goes to as a sample; empty while
// pgnclock sets the clock itself. Written once at start-up.
extern std::string ChronySocket;

// A received CAN identifier, decoded by the J1939 layout.
struct j1939_addr_t {
    uint8_t source_address;
    uint16_t pgn;  // PDU format in the high byte, PDU specific in the low
    uint8_t priority;
    uint8_t data_page;  // data page (bit 0) and extended data page (bit 1)

    explicit j1939_addr_t(uint32_t can_id);
};

// Whether a frame with this identifier word (flags included) may carry the
// time: a data frame, from the chosen sender if there is one.
bool from_time_source(uint32_t can_id);

// The kernel receive filter (CAN_RAW_FILTER) that passes exactly the frames
// whose identifier from_time_source and check_time_update take, so that no
// other frame wakes the daemon.
can_filter time_frame_filter();

// The J1939 address of a node that has none; what the handler is told when
// the sender does not matter.
constexpr uint8_t j1939_null_address = 0xFE;

// The real-time clock less the boot-time one, in nanoseconds: it changes
// only when something steps the clock (this daemon or another process), not
// with a suspend. wall, if given, receives the real-time reading.
int64_t clock_offset_ns(timespec *wall = nullptr);

// Whether the clock has been stepped by a millisecond or more since its
// offset was expected (clock_offset_ns), by anything.
bool clock_stepped_since(int64_t expected_offset_ns);

// Handles one received frame: time/date frames go on to the clock check.
// arrival is the kernel's receive time of the frame, or null when it gave
// none; a frame that waited more than a second is not a time any more.
// sender is the frame's source_address, named when its frames are refused.
void check_time_update(uint16_t pgn, const uint8_t *data, uint8_t len,
                       const timespec *arrival = nullptr,
                       uint8_t sender = j1939_null_address);

// Clears STA_PLL and STA_FLL in the kernel's synchronisation state, which a
// time daemon leaves set when it stops (systemd-timesyncd after its last
// slew): for pgnclock-clear-discipline, run before the daemon where no other
// time daemon runs. The flags cleared, 0 for none, or -1 (errno).
int clear_discipline();

// chrony's sample (struct sock_sample of its refclock_sock.c): a struct
// timeval of the measurement's system time, whose two words are as wide as
// the time_t that chrony was built with (time_bits, 32 or 64), then the
// offset of the true time from it in seconds, pulse, leap, padding and the
// magic number. Written into out; returns its size, which chrony checks.
constexpr int32_t chrony_sock_magic = 0x534f434b;
constexpr size_t chrony_sample_max = 40;
size_t chrony_sample(int time_bits, const timespec &stamp, double offset,
                     unsigned char (&out)[chrony_sample_max]);

// Prints how far apart the two times are and, when they are at least
// TimeDrift milliseconds apart, sets the clock to the bus time as of the
// moment it is set: the received time plus the time since the frame arrived
// (at arrival, or now when that is null). Then tells the kernel how far off
// the clock may be, or that it cannot say.
void check_and_set_time(const timespec &now, const timespec &received,
                        const timespec *arrival = nullptr);

// Seconds without a time/date frame taken before that is said, on standard
// error and in systemd's status; 0: never. Written once at start-up.
extern int FrameTimeout;

// The journal's priority prefixes, info and notice, for the lines on
// standard output, and error for a line of the daemon's own on standard
// error before it exits (its usage); "" unless it is the journal's stream.
extern const char *InfoPrefix;
extern const char *NoticePrefix;
extern const char *ErrorPrefix;

// Why a time/date frame heard was not taken.
enum frame_refusal {
    refused_short,
    refused_marker,
    refused_out_of_range,
    refused_local_time,
    refused_stale,
    refused_local_frame,
    refused_unstamped,
};

// What the operator is told, beyond the per-frame lines (report.cpp).
//
// When standard output or error is the journal's stream ($JOURNAL_STREAM),
// its lines get their priority: a warning on standard error, InfoPrefix and
// NoticePrefix on standard output. Elsewhere the bytes stay as they are.
void use_journal_priorities();
// err(3) and errx(3), whose line ends the daemon: on the journal's stream it
// is an error, not a warning, so that journalctl -p err shows why it stopped.
[[noreturn]] void fatal(int status, const char *format, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] void fatalx(int status, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Tells systemd ($NOTIFY_SOCKET) that the daemon is ready: listening, or
// waiting for its interface to appear.
void report_listening();
void report_waiting_for_interface();
// The frame about to be handled: its sender and the index of its interface.
void report_frame_heard(uint8_t sender, int interface_index);
// That frame is not taken; named once a sender and reason while frames are
// missed.
void report_refused(frame_refusal reason);
// That frame is taken: its bus time.
void report_taken(time_t bus_time);
// It found the clock within the drift, difference_ms off, and the clock is
// marked synchronised (or left to another discipline) or not.
void report_in_step(uint64_t difference_ms, bool marked);
// The clock was set from the frame taken, by moved_ns; or refused (errno).
void report_clock_set(int64_t moved_ns);
void report_clock_refused(int error);
// A sample of the frame taken, offset_s off the clock, went to chrony; or
// not (errno).
void report_sample(double offset_s, int error);
// How long the next receive may wait before frames count as missed: ms, 0
// for ever, -1 when they are missed already.
int64_t receive_timeout_ms();
// Frames are missed (receive_timeout_ms gave -1): says so once, until one
// is taken again.
void report_receive_timeout();
