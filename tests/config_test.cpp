// The settings file reader.
#include "config/config.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>

namespace {

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/pgnclock-config-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        path = dir + "/pgnclock.conf";
    }
    void TearDown() override
    {
        remove(path.c_str());
        rmdir(dir.c_str());
    }
    bool load(const std::string &text)
    {
        std::ofstream(path, std::ios::binary) << text;
        return config.load(path);
    }

    std::string dir, path;
    cConfig config;
};

TEST_F(ConfigTest, ReadsTopLevelKeysWithComments)
{
    EXPECT_TRUE(load("# time/date source\n"
                     "; another comment\n"
                     "time_pgn = 0xFEE6\n"
                     "drift=1500 ; inline comment\n"
                     "[other]\n"
                     "drift = 7\n"));
    EXPECT_EQ(config.getString("time_pgn", "0xD500"), "0xFEE6");
    EXPECT_EQ(config.getInt("drift", 2000), 1500);
}

TEST_F(ConfigTest, MissingUnreadableOrMalformedFileLeavesDefaults)
{
    EXPECT_FALSE(config.load(dir + "/absent.conf"));
    EXPECT_EQ(config.getString("time_pgn", "0xD500"), "0xD500");
    EXPECT_EQ(config.getInt("drift", 2000), 2000);
    EXPECT_EQ(config.malformedLine(), 0);

    EXPECT_EQ(config.readError(), 0);
    EXPECT_TRUE(load("drift = 5\n"));
    EXPECT_FALSE(config.load(path + "/below-a-file.conf"));  // missing too
    EXPECT_EQ(config.readError(), 0);

    EXPECT_FALSE(config.load(dir));  // there, but no file to read
    EXPECT_EQ(config.getInt("drift", 2000), 2000);
    EXPECT_EQ(config.malformedLine(), 0);
    EXPECT_EQ(config.readError(), EISDIR);

    // Read, they would hold the daemon at start or never end.
    const std::string fifo = dir + "/fifo.conf", dangling = dir + "/dangling.conf";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(config.load(fifo));
    EXPECT_EQ(config.readError(), EINVAL);
    EXPECT_FALSE(config.load("/dev/zero"));
    EXPECT_EQ(config.readError(), EINVAL);
    remove(fifo.c_str());
    // A link that leads nowhere is a file meant to be there.
    ASSERT_EQ(symlink((dir + "/nowhere").c_str(), dangling.c_str()), 0);
    EXPECT_FALSE(config.load(dangling));
    EXPECT_EQ(config.readError(), ENOLINK);
    remove(dangling.c_str());

    // One bad line discards the keys around it too, and is the one named.
    EXPECT_FALSE(load("drift = 5\nthis line is no setting\ntime_pgn = 0x1234\n"));
    EXPECT_EQ(config.getInt("drift", 2000), 2000);
    EXPECT_EQ(config.getString("time_pgn", "0xD500"), "0xD500");
    EXPECT_EQ(config.malformedLine(), 2);

    EXPECT_FALSE(load("no setting\ndrift = 5\n"));
    EXPECT_EQ(config.malformedLine(), 1);

    EXPECT_FALSE(load("drift = 5\n" + std::string(300, 'x') + " = 1\n"));
    EXPECT_EQ(config.getInt("drift", 2000), 2000);
    EXPECT_EQ(config.malformedLine(), 2);

    EXPECT_TRUE(load("drift = 5\n"));
    EXPECT_EQ(config.malformedLine(), 0);
    EXPECT_EQ(config.readError(), 0);
}

struct RefusedLineCase {
    const char *name;
    std::string text;
    int malformed_line;
    const char *named;  // a key the refused line names, still counted
};

// What the parser would misread without a word is refused: an indented line
// it would join to the value before, a line too long for it whose tail it
// would read as a line of its own.
const RefusedLineCase refused_line_cases[] = {
    {"indented setting", "drift = 500\n    source_address = 0x25\n", 2, "source_address"},
    {"tab-indented setting", "drift = 500\n\tinterface = can0\n", 2, "interface"},
    {"longest line read", "drift = 5 ;" + std::string(187, 'x') + "\n", 0, nullptr},
    {"one character longer", "drift = 5 ;" + std::string(188, 'x') + "\n", 1, "drift"},
    {"indented before a malformed line", "drift = 5\n  x = 1\nno setting\n", 2, "x"},
    {"carriage returns alone", "drift = 5\rsource_address = 0x25\r", 1, "source_address"},
    {"zeros of a power cut", std::string("drift = 5\n\0\0interface = can0\n", 30), 2, "interface"},
    {"a vertical tab's indent", "drift = 5\n\vlocal_frames = accept\n", 2, "local_frames"},
    {"no '=': the key still counts", "local_frames accept\n", 1, "local_frames"},
    {"long line's tail", "time_pgn = 0xD500 ;" + std::string(190, ' ') + "0x000A\n", 1,
     "time_pgn"},
};

TEST_F(ConfigTest, LinesTheParserWouldMisreadAreMalformed)
{
    for (const auto &c : refused_line_cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(load(c.text), c.malformed_line == 0);
        EXPECT_EQ(config.malformedLine(), c.malformed_line);
        if (c.named) {
            EXPECT_EQ(config.misplaced(c.named), 1);
        }
    }
    // Indented comments, blank lines and CRLF ends are fine.
    EXPECT_TRUE(load("drift = 5\r\n   # a note\n  \n\t; another\r\n"));
    EXPECT_EQ(config.getInt("drift", 2000), 5);
}

TEST_F(ConfigTest, BlankThenHashStartsAComment)
{
    EXPECT_TRUE(load("drift = 5000  # five seconds\ntime_pgn = FEE6\t#the standard one\n"
                     "# a whole line\n"));
    EXPECT_EQ(config.getInt("drift", 2000), 5000);
    EXPECT_EQ(config.getString("time_pgn", "0xD500"), "FEE6");
    // Without a blank before it, '#' is part of the value.
    EXPECT_TRUE(load("time_pgn = FEE6#x\n"));
    EXPECT_EQ(config.getString("time_pgn", "0xD500"), "FEE6#x");
}

TEST_F(ConfigTest, EmptyFileOrEmptyValueGivesDefault)
{
    EXPECT_TRUE(load(""));
    EXPECT_EQ(config.getString("time_pgn", "0xD500"), "0xD500");
    EXPECT_TRUE(load("time_pgn =\ndrift = \n"));
    EXPECT_EQ(config.getString("time_pgn", "0xD500"), "0xD500");
    EXPECT_EQ(config.getInt("drift", 2000), 2000);
}

TEST_F(ConfigTest, ReloadForgetsEarlierKeys)
{
    EXPECT_TRUE(load("drift = 5\n"));
    EXPECT_TRUE(load("time_pgn = 0x1234\n"));
    EXPECT_EQ(config.getInt("drift", 2000), 2000);
}

struct IntCase {
    const char *text;
    int expected;  // with default 2000
};

const IntCase int_cases[] = {
    {"1500", 1500},
    {"0", 0},
    {"-1", -1},
    {"+25", 25},
    {"2147483647", 2147483647},
    {"-2147483648", -2147483647 - 1},
    {"2147483648", 2000},
    {"-2147483649", 2000},
    {"99999999999999999999999", 2000},
    {"abc", 2000},
    {"12abc", 2000},
    {"12 34", 2000},
    {"1.5", 2000},
    {"0x10", 2000},
    {"-", 2000},
    {"+-3", 2000},
    {"- 3", 2000},
};

TEST_F(ConfigTest, GetIntTakesOnlyAWholeDecimalNumber)
{
    for (const auto &c : int_cases) {
        SCOPED_TRACE(c.text);
        ASSERT_TRUE(load(std::string("drift = ") + c.text + "\n"));
        EXPECT_EQ(config.getInt("drift", 2000), c.expected);
    }
}

}  // namespace
