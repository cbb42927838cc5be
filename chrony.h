// chrony's reference-clock socket (chrony.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// chrony's sample (struct sock_sample of its refclock_sock.c): a struct
// timeval of the measurement's system time, whose two words are as wide as
// the time_t that chrony was built with (time_bits, 32 or 64), then the
// offset of the true time from it in seconds, pulse, leap, padding and the
// magic number. Written into out; returns its size, which chrony checks.
constexpr int32_t chrony_sock_magic = 0x534f434b;
constexpr size_t chrony_sample_max = 40;
size_t chrony_sample(int time_bits, const timespec &stamp, double offset,
                     unsigned char (&out)[chrony_sample_max]);

// Sends one sample, offset seconds off the clock at stamp, to chrony's
// socket (ChronySocket); a sample that cannot go is lost, said once.
void send_to_chrony(const timespec &stamp, double offset);
