// The raw CAN socket (PF_CAN, CAN_RAW): its receive filter, stamps, receive
// timeout and binding, and recvmsg, which plays the bus script (script.cpp)
// up to the next frame. sockets.cpp hands it the calls every socket shares;
// the interfaces it binds to are links.cpp's.
#include "fakebus-internal.h"

#include <linux/can/raw.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>

namespace fakebus {

CanSocket can_socket;

bool is_can_socket(int fd) { return fd == can_socket.fd && fd >= 0; }

int open_can_socket(int type, int protocol)
{
    if (type != SOCK_RAW || protocol != CAN_RAW)
        die("only raw CAN sockets are simulated");
    load_script();
    if (can_socket.socket_fails) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    if (can_socket.fd >= 0)
        die("a second CAN socket while the first is open");
    // A new socket has the kernel's defaults.
    can_socket.filters.assign(1, can_filter{0, 0});
    can_socket.stamps_wanted = false;
    can_socket.receive_timeout = timespec{};
    can_socket.bound = false;
    can_socket.fd = open("/dev/null", O_RDONLY);
    return can_socket.fd;
}

void close_can_socket()
{
    can_socket.fd = -1;
    can_socket.bound = false;
    can_socket.enodev_pending = false;
}

int set_can_socket_option(int level, int name, const void *value, socklen_t length)
{
    if (level == SOL_SOCKET && name == SO_TIMESTAMPNS) {
        if (length < sizeof(int)) {
            errno = EINVAL;
            return -1;
        }
        can_socket.stamps_wanted = *static_cast<const int *>(value) != 0;
        return 0;
    }
    if (level == SOL_SOCKET && name == SO_RCVTIMEO) {
        const auto *timeout = static_cast<const timeval *>(value);
        if (length < sizeof(timeval) || timeout->tv_usec < 0 || timeout->tv_usec >= 1000000 ||
            timeout->tv_sec < 0) {
            errno = length < sizeof(timeval) ? EINVAL : EDOM;
            return -1;
        }
        can_socket.receive_timeout =
            timespec{timeout->tv_sec, static_cast<long>(timeout->tv_usec) * 1000};
        return 0;
    }
    if (level == SOL_CAN_RAW && name == CAN_RAW_FILTER) {
        if (length % sizeof(can_filter) != 0 ||
            length / sizeof(can_filter) > CAN_RAW_FILTER_MAX) {
            errno = EINVAL;
            return -1;
        }
        if (can_socket.filter_fails) {
            errno = ENOPROTOOPT;
            return -1;
        }
        const auto *given = static_cast<const can_filter *>(value);
        can_socket.filters.assign(given, given + length / sizeof(can_filter));
        return 0;
    }
    if (level == SOL_CAN_RAW && name == CAN_RAW_ERR_FILTER) {
        if (length != sizeof(can_err_mask_t)) {
            errno = EINVAL;
            return -1;
        }
        memcpy(&can_socket.error_mask, value, sizeof can_socket.error_mask);
        return 0;
    }
    die("setsockopt with an option the stand-in does not simulate");
}

int bind_can_socket(const sockaddr *address, socklen_t length)
{
    const auto *can = reinterpret_cast<const sockaddr_can *>(address);
    if (length != sizeof(sockaddr_can) || can->can_family != AF_CAN)
        die("bind with a malformed CAN address");
    trace("bound to ifindex %d", can->can_ifindex);
    // As raw_bind(): an interface that is gone, or no CAN one, is no device.
    const bool present =
        can->can_ifindex == 0 ||
        std::any_of(links.interfaces.begin(), links.interfaces.end(), [&](const Interface &i) {
            return i.present && i.index == can->can_ifindex &&
                   (i.kind == "can" || i.kind == "vcan" || i.kind == "vxcan");
        });
    if (can_socket.bind_fails || !present) {
        errno = ENODEV;
        return -1;
    }
    can_socket.bound = true;
    can_socket.bound_index = can->can_ifindex;
    return 0;
}

}  // namespace fakebus

using namespace fakebus;

extern "C" {

// As the kernel's af_can does: error frames are matched against filters
// whose mask has the error flag only, by any common bit; a mask that asks for
// the frame format with a standard identifier adds the remote flag to it;
// the filter's identifier is masked once, and CAN_INV_FILTER inverts it.
int fakebus_filter_passes(const can_filter *filter, uint32_t can_id)
{
    canid_t mask = filter->can_mask;
    canid_t id = filter->can_id;
    const bool inverted = id & CAN_INV_FILTER;
    if (can_id & CAN_ERR_FLAG)
        return (mask & CAN_ERR_FLAG) && (can_id & mask & CAN_ERR_MASK) != 0;
    if (mask & CAN_ERR_FLAG)
        return 0;
    if ((mask & CAN_EFF_FLAG) && !(id & CAN_EFF_FLAG))
        mask &= CAN_SFF_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG;
    id &= mask;
    const bool matches = (can_id & mask) == id;
    return inverted ? !matches : matches;
}

ssize_t recvmsg(int fd, msghdr *message, int flags)
{
    if (!is_can_socket(fd))
        return real<ssize_t (*)(int, msghdr *, int)>(
            TIME64_SYMBOL("recvmsg"))(fd, message, flags);
    if (message->msg_iovlen != 1)
        die("recvmsg with other than one buffer");
    if (flags & ~MSG_DONTWAIT)
        die("recvmsg with flags the stand-in does not simulate");
    timespec arrival{};
    int ifindex = 0;
    bool local = false;
    if (!(flags & MSG_DONTWAIT))
        can_socket.waited_in_receive = timespec{};
    const ssize_t received =
        play_next_receive(message->msg_iov[0].iov_base, message->msg_iov[0].iov_len, arrival,
                          flags & MSG_DONTWAIT, ifindex, local);
    if (message->msg_name && message->msg_namelen >= sizeof(sockaddr_can)) {
        sockaddr_can sender{};
        sender.can_family = AF_CAN;
        sender.can_ifindex = ifindex;
        memcpy(message->msg_name, &sender, sizeof sender);
        message->msg_namelen = sizeof sender;
    }
    // As the kernel does: the stamp when asked for and when it fits.
    const size_t room = message->msg_control ? message->msg_controllen : 0;
    message->msg_controllen = 0;
    message->msg_flags = local && received > 0 ? MSG_DONTROUTE : 0;
    if (received > 0 && can_socket.stamps_wanted && !can_socket.unstamped) {
        if (room < CMSG_SPACE(sizeof arrival)) {
            message->msg_flags |= MSG_CTRUNC;
        } else {
            message->msg_controllen = CMSG_SPACE(sizeof arrival);
            cmsghdr *stamp = CMSG_FIRSTHDR(message);
            stamp->cmsg_level = SOL_SOCKET;
            stamp->cmsg_type = SCM_TIMESTAMPNS;
            stamp->cmsg_len = CMSG_LEN(sizeof arrival);
            memcpy(CMSG_DATA(stamp), &arrival, sizeof arrival);
        }
    }
    return received;
}

}  // extern "C"
