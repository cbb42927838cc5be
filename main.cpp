// The daemon's entry: read the settings, open one raw CAN socket on every
// interface, and hand each received frame to the time/date handler for ever.
#include "config/config.h"
#include "pgnclock.h"

#include <err.h>
#include <linux/can.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char *argv[])
{
    std::string config_path = "/etc/orvane/pgnclock.conf";
    if (argc > 1)
        config_path = argv[1];

    // A missing or broken file leaves the defaults in force.
    cConfig config;
    config.load(config_path);

    TimePGN = static_cast<uint16_t>(
        strtoul(config.getString("time_pgn", "0xD500").c_str(), nullptr, 16));
    printf("TimePGN = '0x%04X'\n", TimePGN);

    const int drift = config.getInt("drift", 2000);
    TimeDrift = static_cast<int64_t>(drift);
    printf("TimeDrift = '%dms'\n", drift);

    std::cout << "Lets tick..." << std::endl;

    // Normally no interface is called "any": the lookup then gives index 0,
    // which binds the socket to every CAN interface, present and future.
    const char *interface_name = "any";
    std::cout << "Opening CAN interface " << interface_name << std::endl;

    const int sock = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (sock < 0)
        err(255, "socket()");

    sockaddr_can local{};
    local.can_family = AF_CAN;
    local.can_ifindex = if_nametoindex(interface_name);
    if (bind(sock, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0)
        err(1, "bind()");

    can_frame frame;
    sockaddr_can sender{};
    for (;;) {
        socklen_t sender_len = sizeof sender;
        const ssize_t received =
            recvfrom(sock, &frame, sizeof frame, 0,
                     reinterpret_cast<sockaddr *>(&sender), &sender_len);
        // Failed or empty receives (a signal, a downed interface) are retried.
        if (received <= 0)
            continue;

        const j1939_addr_t id(frame.can_id);
        check_time_update(id.pgn, frame.data, frame.can_dlc);
    }
}
