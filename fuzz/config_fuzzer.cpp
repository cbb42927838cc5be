// Arbitrary settings files through cConfig. The input is the file; the
// text before the first '=' of its first line names one more key to ask
// for, besides the daemon's own. getInt must give back exactly what an
// independent reading of the raw value gives.
#include "config/config.h"

#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string path;
int file = -1;

void check(bool holds, const char *rule, const std::string &key)
{
    if (!holds) {
        fprintf(stderr, "config_fuzzer: broken rule for key '%s': %s\n",
                key.c_str(), rule);
        __builtin_trap();
    }
}

// Whole text = optional sign and decimal digits, within int range.
bool whole_int(const std::string &text, int &result)
{
    size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (!text.empty() && (text[0] == '+' || text[0] == '-'))
        i = 1;
    if (i == text.size())
        return false;
    int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > int64_t{INT_MAX} + 1)
            return false;
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > INT_MAX)
        return false;
    result = static_cast<int>(value);
    return true;
}

std::string trimmed(const std::string &text)
{
    size_t first = 0, last = text.size();
    while (first < last && isspace(static_cast<unsigned char>(text[first])))
        ++first;
    while (last > first && isspace(static_cast<unsigned char>(text[last - 1])))
        --last;
    return text.substr(first, last - first);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Unlinked at once so no run leaves files behind; the /proc path
    // still opens it, at offset 0, as often as needed.
    char name[] = "/tmp/config_fuzzer.XXXXXX";
    file = mkstemp(name);
    if (file < 0 || unlink(name) != 0) {
        perror("config_fuzzer: temporary file");
        abort();
    }
    path = "/proc/self/fd/" + std::to_string(file);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (ftruncate(file, 0) != 0 ||
        pwrite(file, data, size, 0) != static_cast<ssize_t>(size)) {
        perror("config_fuzzer: writing the file");
        abort();
    }
    const std::string text(reinterpret_cast<const char *>(data), size);
    const std::string first_line = text.substr(0, text.find('\n'));
    const std::string own_key = trimmed(first_line.substr(0, first_line.find('=')));

    cConfig config;
    const bool loaded = config.load(path);
    const char *const fallback = "\x01unset";
    for (const std::string &key : {std::string("time_pgn"),
                                   std::string("drift"), own_key}) {
        const std::string raw = config.getString(key, fallback);
        check(loaded || raw == fallback, "a value after a failed load", key);
        check(!raw.empty(), "an empty value instead of the default", key);

        // Two defaults tell "default" apart from a value equal to one.
        int expected = 0;
        const bool number = raw != fallback && whole_int(raw, expected);
        for (const int default_value : {2000, INT_MIN}) {
            const int got = config.getInt(key, default_value);
            check(got == (number ? expected : default_value),
                  "getInt disagrees with the raw value", key);
        }
    }
    return 0;
}
