// The path prefix: storage limits and creation of every directory level.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/platform.h"
#include "tarvo/tarvo_log.h"

namespace {

bool is_dir(const std::string &p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(PathCfg, CreatesEachLevelAndKeepsTextExactly) {
    ASSERT_EQ(tarvo_path_cfg("lvl1/lvl2/"), 0);
    EXPECT_TRUE(is_dir("lvl1"));
    EXPECT_TRUE(is_dir("lvl1/lvl2"));
    EXPECT_STREQ(tarvo_path_get(), "lvl1/lvl2/");
}

TEST(PathCfg, BackslashSeparatesLevels) {
    ASSERT_EQ(tarvo_path_cfg("bs1\\bs2\\bs3\\"), 0);
    EXPECT_TRUE(is_dir("bs1/bs2/bs3"));
    EXPECT_STREQ(tarvo_path_get(), "bs1\\bs2\\bs3\\");
}

TEST(PathCfg, DefaultPrefixNamesWorkingDirectory) {
    EXPECT_EQ(tarvo_path_cfg(".\\"), 0);
    EXPECT_STREQ(tarvo_path_get(), ".\\");
    EXPECT_TRUE(tarvo::platform::path_exists(".\\"));
}

TEST(PathCfg, ExistingDirectoryAndNoTrailingSeparator) {
    ASSERT_EQ(tarvo_path_cfg("exists"), 0);
    EXPECT_EQ(tarvo_path_cfg("exists"), 0);
    EXPECT_TRUE(is_dir("exists"));
}

TEST(PathCfg, UncreatableDirectoryReturnsMinusOne) {
    // A regular file in the way of a directory level.
    FILE *f = std::fopen("blocker", "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    EXPECT_EQ(tarvo_path_cfg("blocker/sub/"), -1);
    EXPECT_STREQ(tarvo_path_get(), "blocker/sub/");
}

TEST(PathCfg, LongPathKeepsFirst255Characters) {
    std::string longp(300, 'x');
    tarvo_path_cfg(longp.c_str());  // the name is too long for the file system
    EXPECT_EQ(std::string(tarvo_path_get()), std::string(255, 'x'));
}

TEST(PathCfg, NullPathFailsAndKeepsPrefix) {
    ASSERT_EQ(tarvo_path_cfg("keep/"), 0);
    EXPECT_EQ(tarvo_path_cfg(nullptr), -1);
    EXPECT_STREQ(tarvo_path_get(), "keep/");
}

TEST(Platform, DirSearchMatchesWildcardsInNameOrder) {
    ASSERT_EQ(tarvo_path_cfg("search\\"), 0);
    for (const char *n :
         {"search/calib_and_param_002.bin", "search/calib_and_param_001.bin", "search/other.txt"}) {
        FILE *f = tarvo::platform::open_file(n, "wb");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    tarvo::platform::DirSearch s("search\\calib_and_param_*.bin");
    const char *a = s.first();
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a, "search/calib_and_param_001.bin");
    const char *b = s.next();
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(b, "search/calib_and_param_002.bin");
    EXPECT_EQ(s.next(), nullptr);
    EXPECT_EQ(tarvo::platform::remove_file("search\\other.txt"), 0);
    EXPECT_FALSE(tarvo::platform::path_exists("search/other.txt"));
    EXPECT_EQ(tarvo::platform::remove_file("search/other.txt"), -1);
}

}  // namespace
