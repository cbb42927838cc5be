// The daemon's keys, read through cConfig (config/, which knows nothing of
// them) and checked in one place, into the settings that pgnclock.h declares;
// main.cpp calls it at start-up.
#include "settings.h"

#include "pgnclock.h"
#include "report.h"
#include "request.h"
#include "systemd.h"

#include <err.h>
#include <net/if.h>
#include <sys/un.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Keys whose loss would widen who may set the clock: unlike the others, a
// value that names nothing stops the daemon, and so does one that would not
// count (in a file discarded as malformed, in a section, in another case, or
// given twice; other misspellings are named as unknown keys).
const char *const guarding_keys[] = {"source_address", "interface", "local_frames",
                                     "chrony_socket", "request_address", "request_name"};

// What of a time_pgn value strtoul does not read, or "" when it reads all.
std::string unread_part(const std::string &text)
{
    char *end = nullptr;
    strtoul(text.c_str(), &end, 16);
    return end;
}

// strtoul's reading of a time_pgn value, before the low 16 bits are kept:
// ULONG_MAX when it overflows an unsigned long.
unsigned long hexadecimal_reading(const std::string &text)
{
    return strtoul(text.c_str(), nullptr, 16);
}

// The value read as a decimal number, for a hint when it is above 0xFFFF
// as hexadecimal: J1939 documents PGNs in decimal (65254 for 0xFEE6). -1
// when it is no decimal number (a 0x prefix, a letter, a sign) or the
// decimal reading does not fit 16 bits either.
long decimal_reading(const std::string &text)
{
    const char *digits = text.c_str();
    while (isspace(static_cast<unsigned char>(*digits)))
        ++digits;
    if (!isdigit(static_cast<unsigned char>(*digits)) ||
        strspn(digits, "0123456789") != strlen(digits))
        return -1;
    // ULONG_MAX on an overflow, which is above 0xFFFF too.
    const unsigned long number = strtoul(digits, nullptr, 10);
    return number <= 0xFFFF ? static_cast<long>(number) : -1;
}

// Whether strtoul finds a digit: after blanks, a sign and a 0x prefix.
bool has_hex_digit(const std::string &text)
{
    const char *digits = text.c_str();
    while (isspace(static_cast<unsigned char>(*digits)))
        ++digits;
    if (*digits == '+' || *digits == '-')
        ++digits;
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits += 2;
    return isxdigit(static_cast<unsigned char>(digits[0]));
}

// A J1939 source address in hexadecimal, 0x prefix optional; -1 when none
// is chosen.
int read_address(const cConfig &config, const char *key, const char *what)
{
    const std::string text = config.getString(key, "");
    if (text.empty())
        return -1;
    const char *digits = text.c_str();
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits += 2;
    const size_t length = strlen(digits);
    const bool hexadecimal =
        length > 0 && strspn(digits, "0123456789abcdefABCDEF") == length;
    const unsigned long address = hexadecimal ? strtoul(digits, nullptr, 16) : ULONG_MAX;
    // 0xFE is the null address of a node without one, 0xFF the global one.
    if (address > 0xFD)
        fatalx(1, "%s = '%s' names no %s: a J1939 source address is hexadecimal, 0x00 to "
                "0xFD", key, text.c_str(), what);
    return static_cast<int>(address);
}

// A J1939 NAME in hexadecimal, 64 bits, not 0 (which the kernel takes for
// none); by default, one of this machine's own.
uint64_t read_request_name(const cConfig &config)
{
    const std::string text = config.getString("request_name", "");
    if (text.empty()) {
        char machine_id[64] = "";
        FILE *file = fopen("/etc/machine-id", "re");
        const bool read = file && fgets(machine_id, sizeof machine_id, file) &&
                          machine_id[0] != '\n';
        if (file)
            fclose(file);
        if (!read)
            fatalx(1, "request_name is not given, and /etc/machine-id, which the default "
                    "NAME is made from, cannot be read");
        return default_request_name(machine_id);
    }
    const char *digits = text.c_str();
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits += 2;
    const size_t length = strlen(digits);
    const uint64_t name = length > 0 && length <= 16 &&
                                  strspn(digits, "0123456789abcdefABCDEF") == length
                              ? strtoull(digits, nullptr, 16)
                              : 0;
    if (name == 0)
        fatalx(1, "request_name = '%s' is no J1939 NAME: 1 to 16 hexadecimal digits, not "
                "all 0", text.c_str());
    return name;
}

// Whether asking for the time fits the other settings; a line names why
// not.
void check_requesting()
{
    if (TimeInterface == "any")
        fatalx(1, "request_address needs one interface, not interface = any: a request "
                "goes out on one interface");
    if (!ChronySocket.empty())
        fatalx(1, "request_address does not go with chrony_socket: chrony needs a steady "
                "stream of samples, not one every interval");
    if ((TimePGN >> 8) == 0xD5)
        fatalx(1, "request_address does not go with time_pgn = 0x%04X, Time/Date Adjust "
                "(PDU format 0xD5): a command to one node, not a report to ask for", TimePGN);
    if (RequestAddress == TimeSource)
        fatalx(1, "request_address = 0x%02X is the source_address too: this device would "
                "ask itself", RequestAddress);
}

// A name the kernel could give an interface.
std::string read_interface(const cConfig &config)
{
    const std::string name = config.getString("interface", "any");
    if (name.size() >= IFNAMSIZ || name.find_first_of("/: \t") != std::string::npos)
        fatalx(1, "interface = '%s' names no interface: at most %d characters, "
                "without '/', ':' or blanks", name.c_str(), IFNAMSIZ - 1);
    return name;
}

LocalFramesPolicy read_local_frames(const cConfig &config)
{
    const std::string text = config.getString("local_frames", "auto");
    if (text == "auto")
        return local_frames_auto;
    if (text == "accept")
        return local_frames_accept;
    if (text == "ignore")
        return local_frames_ignore;
    fatalx(1, "local_frames = '%s' is none of auto, accept and ignore", text.c_str());
}

// A path that fits a Unix socket's address, or "" for none.
std::string read_chrony_socket(const cConfig &config)
{
    const std::string path = config.getString("chrony_socket", "");
    if (path.size() >= sizeof(sockaddr_un::sun_path))
        fatalx(1, "chrony_socket = '%s' is longer than a socket's path can be (%zu "
                "characters)", path.c_str(), sizeof(sockaddr_un::sun_path) - 1);
    return path;
}

}  // namespace

void read_settings(cConfig &config, const std::string &path)
{
    const char *file = path.c_str();
    const bool loaded = config.load(path);
    // Defaults in place of a file that is there would be a surprise.
    if (config.readError() != 0)
        fatalx(1, "%s: %s", file,
               config.readError() == EINVAL    ? "not a regular file"
               : config.readError() == ENOLINK ? "a symbolic link that leads nowhere"
                                               : strerror(config.readError()));
    // A broken file is named, or the user who mistyped a line would never
    // learn why; nor would the user of a misspelt key.
    if (!loaded && config.malformedLine() > 0)
        warnx("%s: line %d is malformed: the whole file is ignored and the "
              "defaults apply", file, config.malformedLine());
    for (const std::string &key : config.keys())
        if (key != "time_pgn" && key != "drift" && key != "source_address" &&
            key != "interface" && key != "local_frames" && key != "frame_timeout" &&
            key != "chrony_socket" && key != "request_address" && key != "request_name" &&
            key != "request_interval")
            warnx("%s: unknown key '%s' ignored", file, key.c_str());

    // strtoul's reading: a 0x prefix optional, the low 16 bits kept (of
    // ULONG_MAX, 0xFFFF, when the number overflows an unsigned long: past 8
    // digits on a 32-bit target), and text without a digit gives 0, which is
    // then named. So is a number above 0xFFFF: 65254, the decimal form of
    // 0xFEE6, would otherwise become 0x5254 without a word. A negative
    // number, which strtoul wraps, is left as it is taken.
    const std::string pgn = config.getString("time_pgn", "0xD500");
    const unsigned long read = hexadecimal_reading(pgn);
    TimePGN = static_cast<uint16_t>(read);
    const bool above = read > 0xFFFF && pgn.find('-') == std::string::npos;
    const long decimal = decimal_reading(pgn);
    if (!has_hex_digit(pgn))
        warnx("%s: time_pgn = '%s' has no hexadecimal digit: 0x0000 applies", file,
              pgn.c_str());
    else if (!unread_part(pgn).empty())
        warnx("%s: time_pgn = '%s' goes on after its number: 0x%04X applies", file,
              pgn.c_str(), TimePGN);
    else if (above && decimal >= 0)
        warnx("%s: time_pgn = '%s' is above 0xFFFF, read as hexadecimal (as decimal it "
              "is 0x%04lX): 0x%04X applies", file, pgn.c_str(), decimal, TimePGN);
    else if (above)
        warnx("%s: time_pgn = '%s' is above 0xFFFF, read as hexadecimal: 0x%04X applies",
              file, pgn.c_str(), TimePGN);

    // A value that is no int gives the default, whatever the default.
    const int drift = config.getInt("drift", 2000);
    if (!config.getString("drift", "").empty() &&
        config.getInt("drift", 0) != config.getInt("drift", 1))
        warnx("%s: drift = '%s' is no whole number of milliseconds: 2000 applies", file,
              config.getString("drift", "").c_str());
    TimeDrift = static_cast<int64_t>(drift);

    // Negative would be a silence that is never said, which 0 asks for
    // plainly.
    const int timeout = config.getInt("frame_timeout", 10);
    if (timeout < 0 || (!config.getString("frame_timeout", "").empty() &&
                        config.getInt("frame_timeout", 0) != config.getInt("frame_timeout", 1))) {
        warnx("%s: frame_timeout = '%s' is no whole number of seconds, 0 or more: 10 applies",
              file, config.getString("frame_timeout", "").c_str());
        FrameTimeout = 10;
    } else {
        FrameTimeout = timeout;
    }
}

void read_source_settings(const cConfig &config, const std::string &path)
{
    for (const char *key : guarding_keys)
        if (config.misplaced(key) > 0)
            fatalx(1, "%s: %s is given where it cannot count (a malformed file, "
                    "a [section], another spelling or a second time)", path.c_str(), key);
    TimeSource = read_address(config, "source_address", "sender");
    TimeInterface = read_interface(config);
    LocalFrames = read_local_frames(config);
    ChronySocket = read_chrony_socket(config);

    RequestAddress = read_address(config, "request_address", "address of this device");
    if (RequestAddress < 0)
        return;
    check_requesting();
    RequestName = read_request_name(config);
    const int interval = config.getInt("request_interval", 60);
    if (interval < 10 || (!config.getString("request_interval", "").empty() &&
                          config.getInt("request_interval", 0) !=
                              config.getInt("request_interval", 1))) {
        warnx("%s: request_interval = '%s' is no whole number of seconds, 10 or more: 60 "
              "applies", path.c_str(), config.getString("request_interval", "").c_str());
        RequestInterval = 60;
    } else {
        RequestInterval = interval;
    }
}
