/*
 * responder: a node at ADDRESS on INTERFACE that is asked for the time/date
 * PGN (0xFEE6), for the guest tests of pgnclock's requests. It uses one raw
 * CAN socket and none of the kernel's J1939 stack, so what pgnclock sends
 * through that stack is read here by other code.
 *
 * Each request heard, for any PGN and to any node, is printed as
 *     request for PGN from SA to DA at SECONDS
 * (hexadecimal; SECONDS on CLOCK_MONOTONIC, as /proc/uptime counts), and a
 * request for 0xFEE6 to ADDRESS or to all gets, by MODE:
 *     answer   a time/date frame from ADDRESS
 *     nack     a NACK from ADDRESS, to all
 *     ff       a time/date frame of 0xFF bytes: not available
 *     silent   nothing
 *
 * usage: responder [-t SECONDS] [-b] INTERFACE ADDRESS MODE
 *   -t SECONDS  the time it gives is SECONDS (since 1970) at its start, and
 *               runs on from there; without it, the system's clock
 *   -b          also sends the time/date every second, as a bus that
 *               broadcasts it
 */
#include <errno.h>
#include <net/if.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <linux/can.h>
#include <linux/can/raw.h>

enum mode { ANSWER, NACK, FF, SILENT };

static int s;
static uint8_t address;
static enum mode mode;
static int64_t offset_ns; /* from CLOCK_MONOTONIC to the time it gives */

static int64_t now_ns(clockid_t clock)
{
	struct timespec t;

	clock_gettime(clock, &t);
	return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static void send_frame(canid_t id, const uint8_t *data, int len)
{
	struct can_frame frame;

	memset(&frame, 0, sizeof(frame));
	frame.can_id = id | CAN_EFF_FLAG;
	frame.can_dlc = len;
	memcpy(frame.data, data, len);
	if (write(s, &frame, sizeof(frame)) != sizeof(frame))
		perror("write");
}

/* The time/date frame: seconds and days in quarters, the year from 1985,
 * no local offset. */
static void send_time(int not_available)
{
	uint8_t data[8];
	int64_t t = now_ns(CLOCK_MONOTONIC) + offset_ns;
	time_t seconds = t / 1000000000;
	struct tm tm;

	memset(data, 0xFF, sizeof(data));
	if (!not_available) {
		gmtime_r(&seconds, &tm);
		data[0] = tm.tm_sec * 4 + (t % 1000000000) / 250000000;
		data[1] = tm.tm_min;
		data[2] = tm.tm_hour;
		data[3] = tm.tm_mon + 1;
		data[4] = tm.tm_mday * 4;
		data[5] = tm.tm_year + 1900 - 1985;
	}
	send_frame(0x18FEE600 | address, data, 8);
}

static void heard(const struct can_frame *frame)
{
	canid_t id = frame->can_id & CAN_EFF_MASK;
	uint8_t sa = id & 0xFF, da = (id >> 8) & 0xFF;
	uint32_t pgn;
	int64_t t = now_ns(CLOCK_MONOTONIC);
	uint8_t nack[8] = { 0x01, 0xFF, 0xFF, 0xFF, sa, 0xE6, 0xFE, 0x00 };

	/* Requests alone: PDU format 0xEA on data page 0, three bytes. */
	if (!(frame->can_id & CAN_EFF_FLAG) || (frame->can_id & CAN_RTR_FLAG) ||
	    ((id >> 16) & 0x3FF) != 0xEA || frame->can_dlc < 3)
		return;
	pgn = frame->data[0] | frame->data[1] << 8 | (uint32_t)frame->data[2] << 16;
	printf("request for %04X from %02X to %02X at %lld.%03lld\n", (unsigned)pgn, sa, da,
	       (long long)(t / 1000000000), (long long)(t % 1000000000 / 1000000));
	fflush(stdout);
	if (pgn != 0xFEE6 || (da != address && da != 0xFF))
		return;
	switch (mode) {
	case ANSWER:
		send_time(0);
		break;
	case FF:
		send_time(1);
		break;
	case NACK:
		send_frame(0x18E8FF00 | address, nack, 8);
		break;
	case SILENT:
		break;
	}
}

static void usage(const char *prog)
{
	fprintf(stderr, "usage: %s [-t SECONDS] [-b] INTERFACE ADDRESS answer|nack|ff|silent\n",
		prog);
	exit(2);
}

int main(int argc, char **argv)
{
	struct sockaddr_can addr;
	struct can_frame frame;
	struct pollfd pfd;
	int opt, broadcast = 0;
	int64_t next_ns;
	char *end;

	offset_ns = now_ns(CLOCK_REALTIME) - now_ns(CLOCK_MONOTONIC);
	while ((opt = getopt(argc, argv, "t:b")) != -1) {
		switch (opt) {
		case 't':
			offset_ns = strtoll(optarg, NULL, 0) * 1000000000 - now_ns(CLOCK_MONOTONIC);
			break;
		case 'b':
			broadcast = 1;
			break;
		default:
			usage(argv[0]);
		}
	}
	if (argc - optind != 3)
		usage(argv[0]);
	address = strtoul(argv[optind + 1], &end, 16);
	if (*end || address > 0xFD)
		usage(argv[0]);
	if (!strcmp(argv[optind + 2], "answer"))
		mode = ANSWER;
	else if (!strcmp(argv[optind + 2], "nack"))
		mode = NACK;
	else if (!strcmp(argv[optind + 2], "ff"))
		mode = FF;
	else if (!strcmp(argv[optind + 2], "silent"))
		mode = SILENT;
	else
		usage(argv[0]);

	s = socket(PF_CAN, SOCK_RAW, CAN_RAW);
	if (s < 0) {
		perror("socket");
		return 1;
	}
	memset(&addr, 0, sizeof(addr));
	addr.can_family = AF_CAN;
	addr.can_ifindex = if_nametoindex(argv[optind]);
	if (!addr.can_ifindex) {
		perror("if_nametoindex");
		return 1;
	}
	if (bind(s, (struct sockaddr *)&addr, sizeof(addr)) < 0) {
		perror("bind");
		return 1;
	}

	pfd.fd = s;
	pfd.events = POLLIN;
	next_ns = now_ns(CLOCK_MONOTONIC);
	for (;;) {
		int timeout = -1;

		if (broadcast) {
			int64_t left = next_ns - now_ns(CLOCK_MONOTONIC);

			if (left <= 0) {
				send_time(0);
				next_ns = now_ns(CLOCK_MONOTONIC) + 1000000000;
				continue;
			}
			timeout = left / 1000000 + 1;
		}
		if (poll(&pfd, 1, timeout) < 0) {
			if (errno == EINTR)
				continue;
			perror("poll");
			return 1;
		}
		if (!(pfd.revents & POLLIN))
			continue;
		if (read(s, &frame, sizeof(frame)) < 0) {
			/* A link taken down and up again: read on. */
			if (errno == ENETDOWN)
				continue;
			perror("read");
			return 1;
		}
		heard(&frame);
	}
}
