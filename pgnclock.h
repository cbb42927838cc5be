// pgnclock: keeps the system clock in step with the J1939 time/date
// broadcast on the CAN bus.
#pragma once

#include <linux/can.h>

#include <cstdint>
#include <ctime>
#include <string>

// Parameter group number of the time/date frames; written once at start-up.
extern uint16_t TimePGN;
// The one sender whose time/date frames count, a J1939 source address
// (0x00-0xFD); -1 while any sender counts. Written once at start-up.
extern int TimeSource;
// The one CAN interface whose frames count; "any" means every interface,
// unless one is really called so. Written once at start-up.
extern std::string TimeInterface;
// Which frames that this device sent itself count: automatic, those on a
// vcan, where there is no bus. Written once at start-up.
enum LocalFramesPolicy { local_frames_auto, local_frames_accept, local_frames_ignore };
extern LocalFramesPolicy LocalFrames;
// Correction threshold in milliseconds. Written once at start-up from the
// configured int, sign-extended, and compared as unsigned: a negative drift
// therefore never triggers a correction in practice.
extern uint64_t TimeDrift;
// The path of chrony's SOCK reference-clock socket (chrony.conf(5),
// refclock SOCK) that each frame taken goes to as a sample; empty while
// pgnclock sets the clock itself. Written once at start-up.
extern std::string ChronySocket;

// A received CAN identifier, decoded by the J1939 layout.
struct j1939_addr_t {
    uint8_t source_address;
    uint16_t pgn;  // PDU format in the high byte, PDU specific in the low
    uint8_t priority;
    uint8_t data_page;  // data page (bit 0) and extended data page (bit 1)

    explicit j1939_addr_t(uint32_t can_id);
};

// Whether a frame with this identifier word (flags included) may carry the
// time: a data frame, from the chosen sender if there is one.
bool from_time_source(uint32_t can_id);

// The kernel receive filter (CAN_RAW_FILTER) that passes exactly the frames
// whose identifier from_time_source and check_time_update take, so that no
// other frame wakes the daemon.
can_filter time_frame_filter();

// The J1939 address of a node that has none; what the handler is told when
// the sender does not matter.
constexpr uint8_t j1939_null_address = 0xFE;

// Handles one received frame: time/date frames go on to the clock check.
// arrival is the kernel's receive time of the frame, or null when it gave
// none; a frame that waited more than a second is not a time any more.
// sender is the frame's source_address, named when its frames are refused.
void check_time_update(uint16_t pgn, const uint8_t *data, uint8_t len,
                       const timespec *arrival = nullptr,
                       uint8_t sender = j1939_null_address);

// Forgets the senders named, as at start-up.
void handler_reset();

// Prints how far apart the two times are and, when they are at least
// TimeDrift milliseconds apart, sets the clock to the bus time as of the
// moment it is set: the received time plus the time since the frame arrived
// (at arrival, or now when that is null). Then tells the kernel how far off
// the clock may be, or that it cannot say.
void check_and_set_time(const timespec &now, const timespec &received,
                        const timespec *arrival = nullptr);
