#include "config.h"

#include <ini.h>
#include <strings.h>

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
    if (FILE *file = fopen(path.c_str(), "r")) {
        // ferror catches what the parser takes for an empty file, such as a
        // directory or a read error half-way.
        const int result = ini_parse_file(file, keep_top_level_key, &parsed);
        ok = result == 0 && !ferror(file);
        if (result > 0 && !ferror(file))
            malformed_line = result;
        fclose(file);
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
