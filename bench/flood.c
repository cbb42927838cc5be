/* The benchmark's sender: N frames on one CAN interface, as fast as the
 * kernel takes them, every K-th (K > 0) a time/date frame, the rest frames
 * of another PGN. The frames depend only on N, K and their index, so every
 * run sends the same flood.
 *
 * usage: flood [-o] [-n] [-x] [-t PGN] [-g GAP_US] [-b BATCH -p PID] IFACE N K
 *   -o  no time/date frame (K is ignored): the frames cycle through three
 *       29-bit identifiers of other PGNs, one of them 0xD501 (a neighbour of
 *       the time PGN 0xD500), and an 11-bit identifier, all of which a
 *       reader that wants only time/date frames can leave to the kernel
 *   -n  the time/date frames carry the time of sending (UTC), so that a
 *       reader in step with the clock finds it within its drift
 *   -t  the time/date frames' PGN (default 0xD500), such as 0xFEE6
 *   -x  no local echo: on a real controller the frames reach the host's
 *       other sockets only over the wire, through the receiving controller
 *   -g  sleep GAP_US microseconds after each frame
 *   -b  batches: stop process PID (SIGSTOP), send BATCH frames, continue it
 *       and wait until it sleeps again (state S in /proc/PID/stat), so it
 *       reads each batch from a full queue without waiting between frames;
 *       the sender then runs as SCHED_IDLE, so that its polling never
 *       preempts the reader while it drains a batch
 * Prints one line: frames sent, time/date frames among them, seconds taken,
 * and how often a write had to be retried (ENOBUFS).
 */
#define _GNU_SOURCE /* SCHED_IDLE */
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <sched.h>
#include <signal.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

/* The state letter of process pid, '?' if unknown. */
static char state_of(int pid)
{
    char path[32], buf[256];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return '?';
    ssize_t len = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (len <= 0)
        return '?';
    buf[len] = 0;
    char *p = strrchr(buf, ')');
    return p && p[1] && p[2] ? p[2] : '?';
}

static void wait_asleep(int pid)
{
    while (state_of(pid) != 'S')
        usleep(200);
}

/* The six time fields of a time/date frame, as the clock reads now. */
static void time_of_sending(unsigned char *data)
{
    struct timespec t;
    struct tm utc;
    clock_gettime(CLOCK_REALTIME, &t);
    gmtime_r(&t.tv_sec, &utc);
    data[0] = (unsigned char)(utc.tm_sec * 4 + t.tv_nsec / 250000000);
    data[1] = (unsigned char)utc.tm_min;
    data[2] = (unsigned char)utc.tm_hour;
    data[3] = (unsigned char)(utc.tm_mon + 1);
    data[4] = (unsigned char)(utc.tm_mday * 4);
    data[5] = (unsigned char)(utc.tm_year - 85);
}

int main(int argc, char *argv[])
{
    unsigned long gap = 0, batch = 0;
    unsigned long time_pgn = 0xD500;
    int pid = 0, opt, others_only = 0, echo = 1, now = 0;
    while ((opt = getopt(argc, argv, "onxt:g:b:p:")) != -1) {
        switch (opt) {
        case 'o': others_only = 1; break;
        case 'n': now = 1; break;
        case 'x': echo = 0; break;
        case 't': time_pgn = strtoul(optarg, NULL, 0) & 0xFFFF; break;
        case 'g': gap = strtoul(optarg, NULL, 0); break;
        case 'b': batch = strtoul(optarg, NULL, 0); break;
        case 'p': pid = atoi(optarg); break;
        default: argc = 0;
        }
    }
    if (argc - optind != 3 || (batch > 0) != (pid > 0)) {
        fprintf(stderr, "usage: %s [-o] [-n] [-x] [-t PGN] [-g GAP_US] [-b BATCH -p PID] IFACE N K\n", argv[0]);
        return 2;
    }
    argv += optind - 1;
    if (batch) {
        struct sched_param none = {0};
        if (sched_setscheduler(0, SCHED_IDLE, &none) != 0)
            perror("sched_setscheduler");
    }
    const unsigned long n = strtoul(argv[2], NULL, 0);
    const unsigned long k = others_only ? 0 : strtoul(argv[3], NULL, 0);

    int s = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (s < 0) {
        perror("socket");
        return 1;
    }
    /* The sender never reads: no receive filter, no queue to fill. */
    setsockopt(s, SOL_CAN_RAW, CAN_RAW_FILTER, NULL, 0);
    if (!echo && setsockopt(s, SOL_CAN_RAW, CAN_RAW_LOOPBACK, &echo, sizeof echo) < 0) {
        perror("CAN_RAW_LOOPBACK");
        return 1;
    }
    struct sockaddr_can addr = {.can_family = AF_CAN};
    addr.can_ifindex = if_nametoindex(argv[1]);
    if (addr.can_ifindex == 0 || bind(s, (struct sockaddr *)&addr, sizeof addr) < 0) {
        perror(argv[1]);
        return 1;
    }

    /* 2024-06-01 12:00:00: seconds (0.25 s/bit), minutes, hours, month,
     * day (0.25 day/bit), year - 1985, local offsets (unused). */
    static const unsigned char time_data[8] = {0, 0, 12, 6, 4, 39, 125, 125};
    /* PGN 0xF004, 0xFEF1, 0xD501 (to address 0x01) and an 11-bit frame. */
    static const canid_t other_ids[4] = {
        0x0CF00400 | CAN_EFF_FLAG, 0x18FEF1F9 | CAN_EFF_FLAG,
        0x18D501F9 | CAN_EFF_FLAG, 0x123};
    struct can_frame f;
    unsigned long time_frames = 0, retries = 0;
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (unsigned long i = 0; i < n; ++i) {
        if (batch && i % batch == 0) {
            if (i > 0) {
                kill(pid, SIGCONT);
                wait_asleep(pid);
            }
            kill(pid, SIGSTOP);
            while (state_of(pid) != 'T')
                usleep(200);
        }
        memset(&f, 0, sizeof f);
        f.can_dlc = 8;
        if (k > 0 && i % k == k - 1) {
            f.can_id = (0x180000F9 | time_pgn << 8) | CAN_EFF_FLAG;
            memcpy(f.data, time_data, 8);
            if (now)
                time_of_sending(f.data);
            ++time_frames;
        } else {
            f.can_id = others_only ? other_ids[i % 4] : 0x0CF00400 | CAN_EFF_FLAG;
            for (int b = 0; b < 8; ++b)
                f.data[b] = (unsigned char)(i >> (8 * (b & 3)));
        }
        while (write(s, &f, sizeof f) != (ssize_t)sizeof f) {
            if (errno != ENOBUFS && errno != EINTR) {
                perror("write");
                return 1;
            }
            ++retries;
            usleep(100);
        }
        if (gap)
            usleep(gap);
    }
    if (batch) {
        kill(pid, SIGCONT);
        wait_asleep(pid);
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    printf("sent=%lu time_frames=%lu seconds=%.3f retries=%lu\n", n, time_frames,
           (double)(t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9, retries);
    return 0;
}
