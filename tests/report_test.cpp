// What systemd is told: one datagram to $NOTIFY_SOCKET for each change.
#include "afresh.h"
#include "chrony.h"
#include "clock.h"
#include "pgnclock.h"
#include "report.h"
#include "systemd.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

constexpr time_t t0 = 1718454630;  // 2024-06-15 12:30:30 UTC

struct NotifyCase {
    const char *name;
    void (*happens)();
    const char *datagram;  // null: none
};

// One story, told step by step: each case follows on from the ones before it.
const NotifyCase notify_cases[] = {
    {"the socket bound", [] { report_listening(); },
     "READY=1\nSTATUS=Waiting for time/date frames (PGN 0xD500) on any"},
    {"a frame taken, the clock marked",
     [] {
         report_frame_heard(0xF9, 0);
         report_taken(t0);
         report_in_step(12, true);
     },
     "STATUS=In step with 0xF9 on interface 0: 12 ms apart"},
    {"the same again says nothing new",
     [] {
         report_frame_heard(0xF9, 0);
         report_taken(t0 + 1);
         report_in_step(12, true);
     },
     nullptr},
    {"within the drift, not marked",
     [] { report_in_step(20000, false); },
     "STATUS=Within the drift of 0xF9 on interface 0, but 20000 ms apart: the clock is not "
     "marked synchronised"},
    {"a frame far off: the set tells",
     [] {
         report_frame_heard(0xF9, 0);
         report_taken(t0 + 2);
     },
     nullptr},
    {"a frame refused", [] { report_frame_heard(0x20, 0), report_refused(refused_marker); },
     nullptr},
    {"the clock set back", [] { report_clock_set(-3600250000000); },
     "STATUS=Clock set from 0xF9 on interface 0: moved -3600.250 s"},
    {"set again within the minute: only a figure changes", [] { report_clock_set(999999999); },
     nullptr},
    {"a minute on, the figure is refreshed",
     [] {
         const timespec minute{60, 0};
         fakebus_wait(&minute);
         report_frame_heard(0xF9, 0);
         report_taken(t0 + 2);
         report_clock_set(999999999);
     },
     "STATUS=Clock set from 0xF9 on interface 0: moved +0.999 s"},
    {"another sender is news at once",
     [] {
         report_frame_heard(0xF8, 0);
         report_taken(t0 + 3);
         report_clock_set(999999999);
     },
     "STATUS=Clock set from 0xF8 on interface 0: moved +0.999 s"},
    {"a minute on, the same status says nothing new",
     [] {
         const timespec minute{60, 0};
         fakebus_wait(&minute);
         report_frame_heard(0xF8, 0);
         report_taken(t0 + 3);
         report_clock_set(999999999);
     },
     nullptr},
    {"a set refused", [] { report_clock_refused(EPERM); },
     "STATUS=Cannot set the clock from 0xF8 on interface 0: Operation not permitted"},
    {"a receive timeout before the frame timeout",
     [] {
         const timespec nine{9, 0};
         fakebus_wait(&nine);
         report_receive_timeout();
     },
     nullptr},
    {"the frame timeout",
     [] {
         const timespec one{1, 0};
         fakebus_wait(&one);
         report_receive_timeout();
     },
     "STATUS=No time/date frame for 10 s; the last came from 0xF8 on interface 0, at "
     "2024-06-15 12:30:33 UTC"},
    {"the interface gone", [] { report_waiting_for_interface(); },
     "READY=1\nSTATUS=Waiting for interface any"},
};

class NotifyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        start_afresh();
        TimePGN = 0xD500;
        TimeDrift = 2000;
        FrameTimeout = 10;
        receiver = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        ASSERT_GE(receiver, 0);
        path = testing::TempDir() + "pgnclock-notify-" + std::to_string(getpid());
        unlink(path.c_str());
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    }
    void TearDown() override
    {
        unsetenv("NOTIFY_SOCKET");
        close(receiver);
        unlink(path.c_str());
    }
    // The datagrams received since the last call, each between brackets.
    std::string received()
    {
        std::string all;
        char datagram[512];
        for (ssize_t n; (n = recv(receiver, datagram, sizeof datagram, 0)) >= 0;)
            all += "[" + std::string(datagram, static_cast<size_t>(n)) + "]";
        return all;
    }

    int receiver = -1;
    std::string path;
};

TEST_F(NotifyTest, EachChangeIsOneDatagram)
{
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    for (const NotifyCase &c : notify_cases) {
        c.happens();
        EXPECT_EQ(received(), c.datagram ? "[" + std::string(c.datagram) + "]" : "") << c.name;
    }
}

// A clock that an NTP daemon's PLL disciplines is left to it, but a frame
// within the drift is still in step with it; not while the kernel says the
// clock is unsynchronised (the daemon gone, its maximum error past 16 s).
TEST_F(NotifyTest, InStepUnderAnotherDiscipline)
{
    start_afresh();
    const timespec now{t0, 500000000};
    fakebus_set_now(&now);
    fakebus_set_ntp_status(STA_PLL);
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    report_frame_heard(0x25, 0);
    check_and_set_time(now, timespec{t0, 0});
    EXPECT_EQ(received(), "[STATUS=In step with 0x25 on interface 0: 500 ms apart]");
    EXPECT_EQ(fakebus_adjtime_count(), 0u);

    fakebus_set_ntp_status(STA_PLL | STA_UNSYNC);
    check_and_set_time(now, timespec{t0, 0});
    EXPECT_EQ(received(), "[STATUS=Within the drift of 0x25 on interface 0, but 500 ms apart: "
                          "the clock is not marked synchronised]");
    EXPECT_EQ(fakebus_adjtime_count(), 0u);
    EXPECT_EQ(fakebus_ntp_state().status & (STA_PLL | STA_UNSYNC), STA_PLL | STA_UNSYNC);
}

// Abstract names too; nothing without the variable, or with one that names
// no socket systemd could have made.
TEST_F(NotifyTest, SentOnlyWhereSystemdSaysSo)
{
    unsetenv("NOTIFY_SOCKET");
    report_listening();
    EXPECT_EQ(received(), "");
    // Relative: named from / it would reach the socket.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir("/"), 0);
    setenv("NOTIFY_SOCKET", path.c_str() + 1, 1);
    report_listening();
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(received(), "");

    const int abstract = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string name = "pgnclock-notify-test-" + std::to_string(getpid());
    memcpy(address.sun_path + 1, name.data(), name.size());
    ASSERT_EQ(bind(abstract, reinterpret_cast<sockaddr *>(&address),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
              0);
    setenv("NOTIFY_SOCKET", ("@" + name).c_str(), 1);
    report_listening();
    char datagram[256];
    const ssize_t n = recv(abstract, datagram, sizeof datagram, MSG_DONTWAIT);
    close(abstract);
    EXPECT_EQ(std::string(datagram, n > 0 ? static_cast<size_t>(n) : 0),
              "READY=1\nSTATUS=Waiting for time/date frames (PGN 0xD500) on any");
}

// Lines get the journal's priorities only on the stream that
// $JOURNAL_STREAM names: its device and inode both.
TEST(JournalPriorities, OnlyOnTheStreamNamed)
{
    const std::string file = testing::TempDir() + "pgnclock-journal-" + std::to_string(getpid());
    const int stream = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(stream, 0);
    struct stat status {};
    ASSERT_EQ(fstat(stream, &status), 0);
    fflush(stdout);
    const int saved_stdout = dup(STDOUT_FILENO);
    dup2(stream, STDOUT_FILENO);
    const auto device = static_cast<unsigned long long>(status.st_dev);
    const auto inode = static_cast<unsigned long long>(status.st_ino);
    const struct {
        std::string stream;
        const char *prefix;
    } cases[] = {
        {std::to_string(device) + ":" + std::to_string(inode), "<6>"},
        {std::to_string(device + 1) + ":" + std::to_string(inode), ""},
        {std::to_string(device) + ":" + std::to_string(inode + 1), ""},
        {"journal", ""},
        {"", ""},
    };
    for (const auto &c : cases) {
        setenv("JOURNAL_STREAM", c.stream.c_str(), 1);
        InfoPrefix = NoticePrefix = "";
        use_journal_priorities();
        EXPECT_STREQ(InfoPrefix, c.prefix) << "JOURNAL_STREAM=" << c.stream;
    }
    dup2(saved_stdout, STDOUT_FILENO);
    close(saved_stdout);
    close(stream);
    unlink(file.c_str());
    unsetenv("JOURNAL_STREAM");
    InfoPrefix = NoticePrefix = "";
}

}  // namespace
