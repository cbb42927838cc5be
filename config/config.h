// Settings file reader: an INI file whose keys stand at the top, in no
// section ("time_pgn = 0xD500"). Comments start with '#' or ';', at the start
// of a line or after a blank.
#pragma once

#include <map>
#include <string>
#include <vector>

class cConfig {
public:
    // Reads the file; false when it is missing, unreadable or malformed, in
    // which case no key has a value and every getter returns its default. An
    // indented line (which the parser would join to the one before) and one
    // too long for it (whose tail it would read as another line) are
    // malformed.
    bool load(const std::string &path);

    // The first malformed line of the file last loaded, or 0 when it had none
    // (or could not be read at all).
    int malformedLine() const { return malformed_line; }

    // Why the file last loaded exists but could not be read (an errno
    // value: EINVAL for one that is no regular file nor folder, ENOLINK for
    // a symbolic link that leads nowhere), or 0.
    int readError() const { return read_error; }

    // The keys in force, those at the top of a file that was taken.
    std::vector<std::string> keys() const;

    // How often the file named the key where it does not count: spelt in
    // another case, inside a section, more than once, or anywhere in a file
    // that was then discarded. For a key that must not be lost unnoticed.
    int misplaced(const std::string &key) const;

    // The key's value, or the default when the key is absent or empty.
    std::string getString(const std::string &key,
                          const std::string &default_value) const;

    // The key's value as a decimal int with an optional sign, or the default
    // when the value is absent, not a whole number, or out of int range.
    int getInt(const std::string &key, int default_value) const;

private:
    std::map<std::string, std::string> values;
    std::vector<std::string> names;
    int malformed_line = 0;
    int read_error = 0;
};
