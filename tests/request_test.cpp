// The asking node's schedule on the stand-in's clock: random sequences of
// answers, NACKs, requests from other nodes, claims and links going down,
// with the rules that no sequence may break checked on what was sent.
#include "afresh.h"
#include "request.h"

#include <gtest/gtest.h>

#include <linux/can/raw.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

constexpr uint8_t own = 0x2A;
constexpr int index_can0 = 3;

int64_t ns_of(const timespec &t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; }

int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return ns_of(now);
}

can_frame frame_of(uint32_t id, std::vector<uint8_t> data)
{
    can_frame frame{};
    frame.can_id = CAN_EFF_FLAG | id;
    frame.can_dlc = static_cast<uint8_t>(data.size());
    std::copy(data.begin(), data.end(), frame.data);
    return frame;
}

// The daemon's loop around the node: the wait it asks for, and the silence
// said when it is left to the caller.
int64_t wait_asked(int sock)
{
    int64_t timeout = request_wait_ms(sock, index_can0, receive_timeout_ms());
    if (timeout < 0) {
        report_receive_timeout();
        timeout = receive_timeout_ms();
    }
    return timeout == 0 ? 86400000 : timeout;
}

// What the raw socket has queued (the node's echoes among it), handed to
// the node as the daemon's loop hands it.
void hear_queued(int sock)
{
    can_frame frame;
    iovec buffer{&frame, sizeof frame};
    msghdr message{};
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    while (recvmsg(sock, &message, MSG_DONTWAIT) > 0)
        request_heard(frame, index_can0, message.msg_flags & MSG_DONTROUTE);
}

void pass_ms(int64_t ms)
{
    const timespec span{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000 * 1000000)};
    fakebus_wait(&span);
}

struct Sent {
    int64_t at_ns;
    can_frame frame;
    uint32_t pf() const { return (frame.can_id >> 16) & 0xFF; }
    bool is_request_for_time() const
    {
        return pf() == 0xEA && frame.can_dlc == 3 &&
               (frame.data[0] | frame.data[1] << 8 | frame.data[2] << 16) == TimePGN;
    }
};

std::vector<Sent> sent_since(size_t first)
{
    std::vector<Sent> sent;
    for (size_t i = first; i < fakebus_sent_count(); ++i) {
        timespec at{};
        const can_frame frame = fakebus_sent_frame(i, &at);
        sent.push_back(Sent{ns_of(at), frame});
    }
    return sent;
}

class RequestSchedule : public testing::TestWithParam<unsigned> {};

TEST_P(RequestSchedule, NoRuleBrokenWhateverHappens)
{
    std::mt19937 random(GetParam());
    auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
    char script[] = "/tmp/pgnclock-request-XXXXXX";
    const int fd = mkstemp(script);
    ASSERT_GE(fd, 0);
    dprintf(fd, "interface can0 3 can\n");
    close(fd);
    setenv("PGNCLOCK_FAKEBUS", script, 1);

    start_afresh();
    request_reset();
    TimeInterface = "can0";
    TimePGN = 0xFEE6;
    TimeSource = chance(50) ? 0x80 : -1;
    RequestAddress = own;
    RequestName = 0x7FFEFFFFFFE12345;
    // Now and then an interval past the hour that the gap doubles up to.
    RequestInterval = chance(25) ? 3600 + static_cast<int>(random() % 3600)
                                 : 10 + static_cast<int>(random() % 50);
    FrameTimeout = 1 + static_cast<int>(random() % 20);
    const int sock = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    const sockaddr_can can0{AF_CAN, index_can0, {}};
    ASSERT_EQ(bind(sock, reinterpret_cast<const sockaddr *>(&can0), sizeof can0), 0);
    const size_t first = fakebus_sent_count();
    const int64_t start_ns = ns_of(report_taken_at());
    report_listening();

    std::vector<int64_t> taken_ns{start_ns}, link_down_ns;
    int64_t yielded_ns = -1;
    for (int event = 0; event < 3000 && yielded_ns < 0; ++event) {
        const int64_t timeout = wait_asked(sock);
        hear_queued(sock);
        // Most waits end as asked; others end early with a frame.
        if (chance(60)) {
            pass_ms(timeout);
            continue;
        }
        pass_ms(static_cast<int64_t>(random() % static_cast<uint64_t>(timeout)));
        const int kind = static_cast<int>(random() % 100);
        const uint8_t asked = TimeSource >= 0 ? 0x80 : 0x81;
        if (kind < 30) {
            report_frame_heard(asked, index_can0);
            report_taken(1718454630);
            taken_ns.push_back(ns_of(report_taken_at()));
        } else if (kind < 55) {
            request_heard(frame_of(0x18E8FF00 | asked, {1, 0xFF, 0xFF, 0xFF, own, 0xE6, 0xFE, 0}),
                          index_can0, false);
        } else if (kind < 80) {
            const int flood = 1 + static_cast<int>(random() % 8);
            for (int i = 0; i < flood; ++i)
                request_heard(frame_of(chance(50) ? 0x18EAFF33 : 0x18EA2A33,
                                       {chance(50) ? uint8_t{0x00} : uint8_t{0xCA}, 0xEE, 0}),
                              index_can0, false);
        } else if (kind < 97) {
            request_link_down();
            link_down_ns.push_back(monotonic_ns());
        } else if (event > 2000) {
            yielded_ns = monotonic_ns();
            request_heard(frame_of(0x18EEFF2A, {1, 0, 0, 0, 0, 0, 0, 0x80}), index_can0,
                          false);
        }
    }
    close(sock);
    unlink(script);

    const std::vector<Sent> sent = sent_since(first);
    const int64_t interval_ns = int64_t{RequestInterval} * 1000000000;
    const int64_t listen_ns = int64_t{FrameTimeout} * 1000000000;
    ASSERT_FALSE(sent.empty());
    EXPECT_GE(sent.front().at_ns - start_ns, listen_ns) << "sent before listening";
    const Sent *last_request = nullptr;
    bool claimed = false;
    size_t down = 0;
    for (size_t i = 0; i < sent.size(); ++i) {
        const Sent &s = sent[i];
        while (down < link_down_ns.size() && link_down_ns[down] < s.at_ns) {
            claimed = false;
            ++down;
        }
        if (s.pf() == 0xEE && (s.frame.can_id & 0xFF) == own)
            claimed = true;
        if (yielded_ns >= 0 && s.at_ns >= yielded_ns) {
            EXPECT_EQ(s.frame.can_id & CAN_EFF_MASK, 0x18EEFFFEu) << "after yielding";
            EXPECT_EQ(i + 1, sent.size()) << "after yielding";
        }
        if (s.is_request_for_time()) {
            EXPECT_TRUE(claimed) << "a request without a claim standing, at " << s.at_ns / 1000000 - 1000000;
            EXPECT_EQ((s.frame.can_id >> 8) & 0xFF, TimeSource >= 0 ? 0x80u : 0xFFu);
            if (last_request) {
                EXPECT_GE(s.at_ns - last_request->at_ns, interval_ns) << "requests too close";
                // Past an hour (or the interval) only for a check and claim
                // after a link went down.
                const bool relinked = std::any_of(link_down_ns.begin(), link_down_ns.end(),
                                                  [&](int64_t t) { return t > last_request->at_ns; });
                if (!relinked) {
                    EXPECT_LE(s.at_ns - last_request->at_ns,
                              int64_t{std::max(3600, RequestInterval) + 2} * 1000000000)
                        << "a gap past an hour";
                }
            }
            // Asked only after the silence.
            int64_t last_taken = start_ns;
            for (int64_t t : taken_ns)
                if (t < s.at_ns)
                    last_taken = t;
            EXPECT_GE(s.at_ns - last_taken, listen_ns) << "asked while frames flow";
            last_request = &s;
        }
        // Claims and NACKs in reply: at most four of each in any second,
        // and of claims the node's own besides.
        if ((s.pf() == 0xEE || s.pf() == 0xE8) && (s.frame.can_id & 0xFF) == own) {
            const auto in_second = std::count_if(sent.begin(), sent.end(), [&](const Sent &o) {
                return o.pf() == s.pf() && (o.frame.can_id & 0xFF) == own && o.at_ns <= s.at_ns &&
                       s.at_ns - o.at_ns < 1000000000;
            });
            EXPECT_LE(in_second, s.pf() == 0xEE ? 5 : 4) << "replies flood";
        }
    }
    EXPECT_NE(last_request, nullptr) << "never asked";
}

INSTANTIATE_TEST_SUITE_P(Seeds, RequestSchedule, testing::Range(1u, 13u));

}  // namespace
