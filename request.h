// Asking for the time where no node broadcasts it (request.cpp): an opt-in
// J1939 node that claims an address, requests the time/date PGN while none
// is taken, and keeps a node's duties while it holds the address. It sends
// through the kernel's J1939 stack; what it hears comes on the raw socket,
// through the same checks as any frame. Off, it never transmits.
#pragma once

#include <linux/can.h>

#include <cstdint>

// This device's J1939 address for asking (0x00-0xFD); -1: it never asks,
// nor transmits anything. Written once at start-up, as are the two below.
extern int RequestAddress;
// The 64-bit J1939 NAME the address is claimed with.
extern uint64_t RequestName;
// Seconds between requests while no time/date frame is taken; doubled after
// each one unanswered, up to an hour.
extern int RequestInterval;

// The NAME claimed when none is configured: high, so that it loses a
// contest to any ECU of a fixed address (not to an arbitrary-address
// capable one, whose top bit is set; pgnclock yields to any claim anyway);
// not arbitrary-address capable itself; and the low 21 bits (the identity
// number) taken from the machine's identity, so that two devices never
// share it.
constexpr uint64_t default_name_fields = 0x7FFEFFFFFFE00000;
uint64_t default_request_name(const char *machine_id);

// Forgets the node's state, as at start-up: listening, nothing sent.
void request_reset();
// How long the next receive on sock (bound to the interface of index) may
// wait, in ms (0: for ever), given the silence's wait as receive_timeout_ms
// gives it. When asking is off or given up, that wait; -1 then leaves the
// silence to the caller. Otherwise whatever is due is done first: asking
// once the silence is due, checking, claiming, requesting, and an answer
// missed (which says the silence); the wait is then until the next of these.
int64_t request_wait_ms(int sock, int index, int64_t silence_ms);
// A frame of the node's (a request, an address claim, an acknowledgement)
// received on the interface of index, local when this device sent it
// (MSG_DONTROUTE): dealt with, and true. False for any other frame, which
// goes on to the time/date handler.
bool request_heard(const can_frame &frame, int index, bool local);
// The interface went down or away: the kernel forgot the claim, so the
// address is checked and claimed again before the next request.
void request_link_down();
