// The packet socket (AF_PACKET) that taps the frames this device sends: its
// classic BPF program, run as the kernel runs it, the copies it holds and
// those it loses (PACKET_STATISTICS). The bus script (script.cpp) sends the
// frames; sockets.cpp hands it the calls every socket shares; a copy raises
// SIGIO as a link event does (links.cpp).
#include "fakebus-internal.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>

namespace fakebus {

PacketTap tap;

namespace {

// The packet socket's classic BPF program over an outgoing frame, as the
// kernel runs it: true when it keeps the packet.
bool tap_program_passes(const std::vector<sock_filter> &program, const can_frame &frame,
                        uint32_t pkttype, uint32_t protocol, uint32_t length, int ifindex)
{
    unsigned char packet[sizeof frame];
    memcpy(packet, &frame, sizeof frame);
    uint32_t a = 0;
    const uint32_t ancillary = static_cast<uint32_t>(SKF_AD_OFF);
    for (size_t pc = 0; pc < program.size(); ++pc) {
        const sock_filter &op = program[pc];
        switch (op.code) {
        case BPF_LD | BPF_W | BPF_ABS:
            if (op.k == ancillary + SKF_AD_PKTTYPE)
                a = pkttype;
            else if (op.k == ancillary + SKF_AD_PROTOCOL)
                a = protocol;
            else if (op.k == ancillary + SKF_AD_IFINDEX)
                a = static_cast<uint32_t>(ifindex);
            else if (op.k + 4 <= length && op.k + 4 <= sizeof packet)
                a = uint32_t{packet[op.k]} << 24 | uint32_t{packet[op.k + 1]} << 16 |
                    uint32_t{packet[op.k + 2]} << 8 | packet[op.k + 3];
            else
                return false;  // past the packet: the kernel drops it
            break;
        case BPF_LD | BPF_W | BPF_LEN:
            a = length;
            break;
        case BPF_ALU | BPF_AND | BPF_K:
            a &= op.k;
            break;
        case BPF_JMP | BPF_JEQ | BPF_K:
            pc += a == op.k ? op.jt : op.jf;
            break;
        case BPF_RET | BPF_K:
            return op.k != 0;
        default:
            die("a BPF instruction the stand-in does not simulate");
        }
    }
    die("a BPF program that runs off its end");
}

}  // namespace

void tap_copy(int ifindex, const can_frame &frame)
{
    // Bound to one device, the tap hears it alone, and nothing once that
    // device has gone (the kernel drops the hook and forgets the index).
    if (!tap.bound || (tap.index != 0 && ifindex != tap.index) ||
        !tap_program_passes(tap.program, frame, PACKET_OUTGOING, ETH_P_CAN, CAN_MTU, ifindex))
        return;
    // A full queue, which is how copies are lost, holds copies that each
    // raised SIGIO for an owner of the O_ASYNC socket.
    if (std::exchange(tap.loses_next, false))
        ++tap.drops;
    else
        tap.copies.emplace_back(ifindex, frame);
    if (is_async(tap.fd)) {
        sigio.raised = true;
        raise(SIGIO);
    }
}

bool is_packet_socket(int fd) { return fd == tap.fd && fd >= 0; }

int open_packet_socket(int type, int protocol)
{
    load_script();
    if (tap.refused || tap.fd >= 0) {
        errno = EPERM;
        return -1;
    }
    if ((type & ~SOCK_CLOEXEC) != SOCK_RAW || protocol != 0)
        die("only a raw packet socket of protocol 0, bound later, is simulated");
    tap.fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return tap.fd;
}

void close_packet_socket() { tap = PacketTap{}; }

int set_packet_socket_option(int level, int name, const void *value, socklen_t length)
{
    if (level == SOL_SOCKET && name == SO_RCVBUF)
        return 0;
    if (level != SOL_SOCKET || name != SO_ATTACH_FILTER || length != sizeof(sock_fprog))
        die("setsockopt on the packet socket with an option the stand-in does not simulate");
    const auto *program = static_cast<const sock_fprog *>(value);
    tap.program.assign(program->filter, program->filter + program->len);
    return 0;
}

int bind_packet_socket(const sockaddr *address, socklen_t length)
{
    const auto *link = reinterpret_cast<const sockaddr_ll *>(address);
    if (length < sizeof(sockaddr_ll) || link->sll_family != AF_PACKET)
        die("bind of the packet socket with a malformed address");
    tap.index = link->sll_ifindex;
    // Only a tap of every protocol sees the frames going out.
    tap.bound = link->sll_protocol == htons(ETH_P_ALL);
    if (tap.program.empty())
        die("a packet socket bound before its filter: it would read every packet");
    return 0;
}

}  // namespace fakebus

using namespace fakebus;

extern "C" {

int fakebus_tap_passes(const sock_filter *program, size_t length, const can_frame *frame,
                       uint32_t pkttype, uint32_t protocol, uint32_t frame_length, int ifindex)
{
    return tap_program_passes(std::vector<sock_filter>(program, program + length), *frame, pkttype,
                              protocol, frame_length, ifindex);
}

ssize_t recvfrom(int fd, void *buffer, size_t length, int flags, sockaddr *from,
                 socklen_t *from_length)
{
    if (!is_packet_socket(fd))
        return real<ssize_t (*)(int, void *, size_t, int, sockaddr *, socklen_t *)>("recvfrom")(
            fd, buffer, length, flags, from, from_length);
    if (tap.copies.empty()) {
        if (!(flags & MSG_DONTWAIT))
            die("a packet socket's receive that would wait for ever");
        errno = EAGAIN;
        return -1;
    }
    const auto [ifindex, frame] = tap.copies.front();
    tap.copies.pop_front();
    if (from && from_length && *from_length >= sizeof(sockaddr_ll)) {
        sockaddr_ll link{};
        link.sll_family = AF_PACKET;
        link.sll_protocol = htons(ETH_P_CAN);
        link.sll_ifindex = ifindex;
        link.sll_pkttype = PACKET_OUTGOING;
        memcpy(from, &link, sizeof link);
        *from_length = sizeof link;
    }
    const size_t size = std::min(length, sizeof frame);
    memcpy(buffer, &frame, size);
    return static_cast<ssize_t>(size);
}

// As the kernel's PACKET_STATISTICS: the counts since the last read.
int getsockopt(int fd, int level, int name, void *value, socklen_t *length)
{
    if (!is_packet_socket(fd))
        return real<int (*)(int, int, int, void *, socklen_t *)>(TIME64_SYMBOL("getsockopt"))(
            fd, level, name, value, length);
    if (level != SOL_PACKET || name != PACKET_STATISTICS || *length < sizeof(tpacket_stats))
        die("getsockopt on the packet socket with an option the stand-in does not simulate");
    const tpacket_stats stats{tap.drops, tap.drops};
    memcpy(value, &stats, sizeof stats);
    *length = sizeof stats;
    tap.drops = 0;
    return 0;
}

}  // extern "C"
