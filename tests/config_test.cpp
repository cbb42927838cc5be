// The settings file reader.
#include "config/config.h"

#include <gtest/gtest.h>

#include <unistd.h>

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

    EXPECT_FALSE(config.load(dir));  // a directory
    EXPECT_EQ(config.getInt("drift", 2000), 2000);
    EXPECT_EQ(config.malformedLine(), 0);

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
