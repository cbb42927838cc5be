#include "config.h"

#include <ini.h>
#include <strings.h>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct Parse {
    std::map<std::string, std::string> values;
    std::vector<std::string> names;  // every key the file names, in any section
};

// Hands the parser one line at a time, as fgets would, but refuses what it
// would misread without a word: an indented line, which it joins to the
// value before; a line longer than it reads, whose tail it would take for a
// line of its own; and a line with a control character (a lone carriage
// return that hides the lines after it, the zeros a power cut leaves). Each
// is passed on as an empty line and counted as malformed. The key it names
// is kept, as is the first word of a line the parser will refuse for want of
// a '=', so that a key that must not be lost still shows. A blank followed
// by '#' starts a comment, as ';' does.
struct LineReader {
    FILE *file = nullptr;
    int line = 0;
    int refused_line = 0;  // the first
    int error = 0;
    std::vector<std::string> refused_names;
};

char *read_line(char *buffer, int size, void *stream)
{
    auto &reader = *static_cast<LineReader *>(stream);
    std::string line;
    int c;
    // Enough to tell a line too long, however long it is.
    while ((c = fgetc(reader.file)) != EOF && c != '\n')
        if (line.size() <= static_cast<size_t>(size))
            line += static_cast<char>(c);
    if (c == EOF && ferror(reader.file))
        reader.error = errno;
    if (c == EOF && line.empty())
        return nullptr;
    ++reader.line;

    const size_t text = line.find_first_not_of(" \t\r");
    const bool indented = text != std::string::npos && text > 0 && line[text] != '#' &&
                          line[text] != ';';
    // The line, its end and the terminating zero must fit.
    const bool too_long = line.size() + 2 > static_cast<size_t>(size);
    const size_t content = line.size() - (!line.empty() && line.back() == '\r');
    const bool control = std::any_of(line.begin(), line.begin() + content, [](char ch) {
        return ch != '\t' && static_cast<unsigned char>(ch) < 0x20;
    });
    if (text != std::string::npos && !indented && !too_long && !control &&
        line.find_first_of("=:") == std::string::npos && line[text] != '#' &&
        line[text] != ';' && line[text] != '[')
        reader.refused_names.push_back(line.substr(text, line.find_first_of(" \t\r", text) - text));
    if (indented || too_long || control) {
        if (reader.refused_line == 0)
            reader.refused_line = reader.line;
        // Every setting the line holds: a lone carriage return or a zero
        // may hide several.
        size_t start = 0;
        while (start < line.size()) {
            size_t end = start;
            while (end < line.size() && (line[end] == '\t' || static_cast<unsigned char>(line[end]) >= 0x20))
                ++end;
            const std::string part = line.substr(start, end - start);
            const size_t name_start = part.find_first_not_of(" \t");
            const size_t name_end = part.find_first_of("=:");
            if (name_end != std::string::npos && name_start < name_end) {
                std::string name = part.substr(name_start, name_end - name_start);
                name.erase(name.find_last_not_of(" \t") + 1);
                reader.refused_names.push_back(name);
            }
            start = end + 1;
        }
        line.clear();
    }
    for (size_t hash = line.find('#'); hash != std::string::npos; hash = line.find('#', hash + 1)) {
        if (hash > 0 && (line[hash - 1] == ' ' || line[hash - 1] == '\t')) {
            line.erase(hash);
            break;
        }
    }
    line += '\n';
    line.copy(buffer, line.size());
    buffer[line.size()] = '\0';
    return buffer;
}

// Keys inside a [section] belong to somebody else and are left alone.
int keep_top_level_key(void *user, const char *section, const char *name,
                       const char *value)
{
    auto &parse = *static_cast<Parse *>(user);
    parse.names.push_back(name);
    if (section[0] == '\0')
        parse.values[name] = value;
    return 1;
}

}  // namespace

bool cConfig::load(const std::string &path)
{
    // Half a file is worse than none: a malformed line discards every key.
    Parse parsed;
    bool ok = false;
    malformed_line = 0;
    read_error = 0;
    // Only a regular file is read: a FIFO would hold the daemon at start,
    // a device would never end. A link that leads nowhere is there, broken.
    struct stat about {};
    if (stat(path.c_str(), &about) == 0 && !S_ISREG(about.st_mode)) {
        read_error = S_ISDIR(about.st_mode) ? EISDIR : EINVAL;
    } else if (lstat(path.c_str(), &about) == 0 && S_ISLNK(about.st_mode) &&
               stat(path.c_str(), &about) != 0) {
        read_error = ENOLINK;
    } else if (FILE *file = fopen(path.c_str(), "r")) {
        // The reader's error catches what the parser takes for an empty
        // file, such as a directory or a read error half-way.
        LineReader reader;
        reader.file = file;
        int result = ini_parse_stream(read_line, &reader, keep_top_level_key, &parsed);
        if (reader.refused_line != 0 && (result <= 0 || reader.refused_line < result))
            result = reader.refused_line;
        read_error = reader.error;
        ok = result == 0 && read_error == 0;
        if (result > 0 && read_error == 0)
            malformed_line = result;
        parsed.names.insert(parsed.names.end(), reader.refused_names.begin(),
                            reader.refused_names.end());
        fclose(file);
    } else if (errno != ENOENT && errno != ENOTDIR) {
        read_error = errno;
    }
    values = ok ? std::move(parsed.values) : std::map<std::string, std::string>{};
    names = std::move(parsed.names);
    return ok;
}

std::string cConfig::getString(const std::string &key,
                               const std::string &default_value) const
{
    const auto found = values.find(key);
    if (found == values.end() || found->second.empty())
        return default_value;
    return found->second;
}

int cConfig::getInt(const std::string &key, int default_value) const
{
    const std::string text = getString(key, "");
    if (text.empty())
        return default_value;

    // strtol alone would accept leading blanks, trailing junk and hex-looking
    // prefixes; only the whole text as one decimal number counts.
    const char *start = text.c_str();
    if (!(isdigit(static_cast<unsigned char>(start[0])) ||
          ((start[0] == '+' || start[0] == '-') &&
           isdigit(static_cast<unsigned char>(start[1])))))
        return default_value;
    char *end = nullptr;
    errno = 0;
    const long number = strtol(start, &end, 10);
    if (errno != 0 || *end != '\0' || number < INT_MIN || number > INT_MAX)
        return default_value;
    return static_cast<int>(number);
}

int cConfig::misplaced(const std::string &key) const
{
    int named = 0;
    for (const std::string &name : names)
        named += strcasecmp(name.c_str(), key.c_str()) == 0;
    return named - static_cast<int>(values.count(key));
}

std::vector<std::string> cConfig::keys() const
{
    std::vector<std::string> in_force;
    for (const auto &entry : values)
        in_force.push_back(entry.first);
    return in_force;
}
