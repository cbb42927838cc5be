// What the operator is told beyond the per-frame lines (report.cpp): the
// status words, and the alarm when time/date frames stop and why those heard
// are not taken meanwhile.
#pragma once

#include <cstdint>
#include <ctime>

// Seconds without a time/date frame taken before that is said, on standard
// error and in systemd's status; 0: never. Written once at start-up.
extern int FrameTimeout;

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

// Forgets all that was told, as at start-up.
void report_reset();
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
// When the last time/date frame was taken, or the daemon started
// (CLOCK_MONOTONIC).
timespec report_taken_at();
// What the requesting node (request.cpp) is doing, as systemd's status.
void report_node_status(const char *status);
