// The interfaces and rtnetlink (NETLINK_ROUTE): the dump of the links, the
// link events told to watchers, raising SIGIO for O_ASYNC ones (sockets.cpp),
// and the calls that turn a name into an index and back. The bus script
// (script.cpp) plugs, unplugs and renames interfaces; the CAN socket
// (can.cpp) and the tap (tap.cpp) bind to them.
#include "fakebus-internal.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

namespace fakebus {

Links links;

namespace {

// An rtnetlink message about an interface: RTM_NEWLINK or RTM_DELLINK with
// its name, flags, link kind and alternative names; or, without one, the end
// of a dump.
std::vector<char> link_message(uint16_t type, const Interface *link)
{
    std::vector<char> message(NLMSG_SPACE(sizeof(ifinfomsg)) + 4096);
    auto *header = reinterpret_cast<nlmsghdr *>(message.data());
    if (!link) {
        header->nlmsg_type = NLMSG_DONE;
        header->nlmsg_len = NLMSG_LENGTH(sizeof(int));
        message.resize(header->nlmsg_len);
        return message;
    }
    header->nlmsg_type = type;
    header->nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    auto *info = static_cast<ifinfomsg *>(NLMSG_DATA(header));
    info->ifi_index = link->index;
    // As the drivers set them: a controller and a vxcan echo each frame
    // (IFF_ECHO); a vcan loops it back at once.
    info->ifi_flags = (link->present && !link->down ? IFF_UP | IFF_RUNNING : 0) |
                      (link->kind == "can" || link->kind == "vxcan" ? 1u << 18 : 0);
    auto add = [&](rtattr *attribute, uint16_t kind, const std::string &text) {
        attribute->rta_type = kind;
        attribute->rta_len = RTA_LENGTH(text.size() + 1);
        memcpy(RTA_DATA(attribute), text.c_str(), text.size() + 1);
        return attribute;
    };
    const auto next = [&] { return reinterpret_cast<rtattr *>(message.data() + header->nlmsg_len); };
    header->nlmsg_len = NLMSG_ALIGN(header->nlmsg_len);
    header->nlmsg_len += RTA_ALIGN(add(next(), IFLA_IFNAME, link->name)->rta_len);
    // Nested: the kind in IFLA_LINKINFO, the other names in IFLA_PROP_LIST.
    const auto nest = [&](uint16_t outer, uint16_t inner, const std::vector<std::string> &texts) {
        rtattr *nested = next();
        nested->rta_type = outer;
        nested->rta_len = RTA_LENGTH(0);
        for (const std::string &text : texts) {
            auto *at = reinterpret_cast<rtattr *>(reinterpret_cast<char *>(nested) + nested->rta_len);
            nested->rta_len += RTA_ALIGN(add(at, inner, text)->rta_len);
        }
        header->nlmsg_len += RTA_ALIGN(nested->rta_len);
    };
    nest(IFLA_LINKINFO, IFLA_INFO_KIND, {link->kind});
    if (!link->altnames.empty())
        nest(IFLA_PROP_LIST, IFLA_ALT_IFNAME, link->altnames);
    message.resize(header->nlmsg_len);
    return message;
}

}  // namespace

Interface *find_interface(const std::string &name)
{
    for (Interface &i : links.interfaces)
        if (i.name == name)
            return &i;
    return nullptr;
}

void tell_link_watchers(uint16_t type, const Interface *link)
{
    bool signalled = false;
    for (const int watcher : links.watchers) {
        links.messages.emplace_back(watcher, link_message(type, link));
        signalled = signalled || is_async(watcher);
    }
    if (signalled) {
        sigio.raised = true;
        raise(SIGIO);
    }
}

bool is_netlink(int fd)
{
    return std::find(links.netlink_sockets.begin(), links.netlink_sockets.end(), fd) !=
           links.netlink_sockets.end();
}

int open_netlink_socket(int type, int protocol)
{
    if ((type & ~SOCK_CLOEXEC) != SOCK_RAW || protocol != NETLINK_ROUTE)
        die("only rtnetlink sockets are simulated");
    load_script();
    if (links.netlink_refused) {
        errno = EPERM;
        return -1;
    }
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    links.netlink_sockets.push_back(fd);
    return fd;
}

int bind_netlink_socket(int fd, const sockaddr *address, socklen_t length)
{
    const auto *groups = reinterpret_cast<const sockaddr_nl *>(address);
    if (length < sizeof(sockaddr_nl) || groups->nl_family != AF_NETLINK)
        die("bind with a malformed netlink address");
    if (groups->nl_groups & RTMGRP_LINK)
        links.watchers.push_back(fd);
    return 0;
}

void forget_netlink_socket(int fd)
{
    links.netlink_sockets.erase(
        std::remove(links.netlink_sockets.begin(), links.netlink_sockets.end(), fd),
        links.netlink_sockets.end());
    links.watchers.erase(std::remove(links.watchers.begin(), links.watchers.end(), fd),
                         links.watchers.end());
}

}  // namespace fakebus

using namespace fakebus;

extern "C" {

unsigned if_nametoindex(const char *name)
{
    load_script();
    for (const Interface &link : links.interfaces)
        if (link.present && (link.name == name || std::find(link.altnames.begin(), link.altnames.end(),
                                                            name) != link.altnames.end()))
            return link.index;
    return 0;
}

char *if_indextoname(unsigned index, char *name)
{
    load_script();
    for (const Interface &link : links.interfaces) {
        if (link.present && static_cast<unsigned>(link.index) == index) {
            snprintf(name, IF_NAMESIZE, "%s", link.name.c_str());
            return name;
        }
    }
    errno = ENXIO;
    return nullptr;
}

ssize_t send(int fd, const void *data, size_t length, int flags)
{
    if (!is_netlink(fd))
        return real<ssize_t (*)(int, const void *, size_t, int)>("send")(fd, data, length,
                                                                        flags);
    const auto *header = static_cast<const nlmsghdr *>(data);
    if (length < NLMSG_LENGTH(sizeof(ifinfomsg)) || header->nlmsg_type != RTM_GETLINK ||
        !(header->nlmsg_flags & NLM_F_DUMP))
        die("a netlink request the stand-in does not simulate");
    for (const Interface &link : links.interfaces)
        if (link.present)
            links.messages.emplace_back(fd, link_message(RTM_NEWLINK, &link));
    links.messages.emplace_back(fd, link_message(NLMSG_DONE, nullptr));
    return static_cast<ssize_t>(length);
}

ssize_t recv(int fd, void *buffer, size_t length, int flags)
{
    if (!is_netlink(fd))
        return real<ssize_t (*)(int, void *, size_t, int)>("recv")(fd, buffer, length, flags);
    const bool queued = std::any_of(links.messages.begin(), links.messages.end(),
                                    [&](const auto &m) { return m.first == fd; });
    if (!queued && (flags & MSG_DONTWAIT)) {
        errno = EAGAIN;
        return -1;
    }
    if (std::find(links.watchers.begin(), links.watchers.end(), fd) != links.watchers.end())
        play_until_link_event(fd);
    for (auto m = links.messages.begin(); m != links.messages.end(); ++m) {
        if (m->first == fd) {
            const size_t size = std::min(length, m->second.size());
            memcpy(buffer, m->second.data(), size);
            links.messages.erase(m);
            return static_cast<ssize_t>(size);
        }
    }
    die("a netlink receive that would wait for ever");
}

}  // extern "C"
