/* The floor: the least a reader of every frame can do. One raw CAN socket
 * bound to every interface (ifindex 0), as the daemon's, but with no receive
 * filter, a 16-byte can_frame and the sender's address per recvfrom, and
 * nothing else but a count of the frames received, which SIGTERM prints to
 * stderr before it ends the program.
 */
#include <linux/can.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static volatile unsigned long received;

static void on_term(int sig)
{
    (void)sig;
    char buf[48] = "received=";
    char digits[24];
    int n = 0;
    unsigned long v = received;
    do {
        digits[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    size_t len = strlen(buf);
    while (n)
        buf[len++] = digits[--n];
    buf[len++] = '\n';
    write(2, buf, len);
    _exit(0);
}

int main(void)
{
    signal(SIGTERM, on_term);
    const int sock = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (sock < 0) {
        perror("socket");
        return 255;
    }
    struct sockaddr_can local = {.can_family = AF_CAN, .can_ifindex = 0};
    if (bind(sock, (struct sockaddr *)&local, sizeof local) < 0) {
        perror("bind");
        return 1;
    }
    struct can_frame frame;
    struct sockaddr_can sender;
    for (;;) {
        socklen_t sender_len = sizeof sender;
        const ssize_t got = recvfrom(sock, &frame, sizeof frame, 0,
                                     (struct sockaddr *)&sender, &sender_len);
        if (got <= 0)
            continue;
        received = received + 1;
    }
}
