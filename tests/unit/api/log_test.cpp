// Logger: thresholds, the log file opened by pointer identity, line format.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "tarvo/tarvo_log.h"
#include "test_files.h"

using tarvo_test::read_file;

namespace {

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tq_log_disable();
        ::unlink("tq.log");
        ::unlink("a.log");
    }
    void TearDown() override { tq_log_disable(); }
};

TEST_F(LogTest, IndexAboveTwoChangesNothing) {
    tq_log_enable(0, 2, nullptr);
    EXPECT_EQ(tq_log_enable(3, 0, nullptr), 0);
    testing::internal::CaptureStdout();
    tq_log(1, "DBG", "[%s] hidden\n", "t");  // still below console threshold 2
    tq_log(2, "INF", "[%s] shown\n", "t");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("hidden"), std::string::npos);
    EXPECT_NE(out.find("shown"), std::string::npos);
}

TEST_F(LogTest, NullPathOpensTqLogOnceAndKeepsIt) {
    EXPECT_EQ(tq_log_enable(1, 1, nullptr), 1);
    EXPECT_EQ(access("tq.log", F_OK), 0);
    tq_log(1, "DBG", "[%s] first\n", "t");
    EXPECT_EQ(tq_log_enable(1, 1, nullptr), 1);  // keeps the open file
    tq_log(1, "DBG", "[%s] second\n", "t");
    std::string text = read_file("tq.log");
    EXPECT_NE(text.find("first"), std::string::npos);
    EXPECT_NE(text.find("second"), std::string::npos);
}

TEST_F(LogTest, SamePointerKeepsFileDifferentPointerReopens) {
    static char name_a[] = "a.log";
    static char name_b[] = "a.log";  // same text, another pointer
    ASSERT_EQ(tq_log_enable(1, 1, name_a), 1);
    tq_log(1, "DBG", "[%s] one\n", "t");
    // Remove the file behind the open stream: with the same pointer the
    // stream is kept, so no new file appears.
    ::unlink("a.log");
    ASSERT_EQ(tq_log_enable(1, 1, name_a), 1);
    tq_log(1, "DBG", "[%s] two\n", "t");
    EXPECT_NE(access("a.log", F_OK), 0);
    // Another pointer to the same text closes and reopens: the file returns.
    ASSERT_EQ(tq_log_enable(1, 1, name_b), 1);
    tq_log(1, "DBG", "[%s] three\n", "t");
    std::string text = read_file("a.log");
    EXPECT_EQ(text.find("two"), std::string::npos);
    EXPECT_NE(text.find("three"), std::string::npos);
}

TEST_F(LogTest, UnwritableFileFailsWithMessageAndKeepsThreshold) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(tq_log_enable(1, 0, "no-such-dir/x.log"), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "cannot open file no-such-dir/x.log for write\n");
    // The file output stays off: nothing crashes, nothing is written.
    tq_log(4, "ERR", "[%s] lost\n", "t");
    // A later open with no path opens tq.log at the new threshold 0.
    EXPECT_EQ(tq_log_enable(1, 0, nullptr), 1);
    tq_log(0, "TRC", "[%s] trace line\n", "t");
    EXPECT_NE(read_file("tq.log").find("trace line"), std::string::npos);
}

TEST_F(LogTest, ThresholdsRouteLevelsToTheirOutputs) {
    tq_log_enable(0, 3, nullptr);
    ASSERT_EQ(tq_log_enable(1, 1, nullptr), 1);
    testing::internal::CaptureStdout();
    tq_log(1, "DBG", "[%s] level-one\n", "t");
    tq_log(3, "WRN", "[%s] level-three\n", "t");
    tq_log(0, "TRC", "[%s] level-zero\n", "t");
    tq_log(-1, "XXX", "[%s] negative-level\n", "t");  // passes every threshold
    std::string out = testing::internal::GetCapturedStdout();
    std::string file = read_file("tq.log");
    EXPECT_EQ(out.find("level-one"), std::string::npos);
    EXPECT_NE(file.find("level-one"), std::string::npos);
    EXPECT_NE(out.find("level-three"), std::string::npos);
    EXPECT_NE(file.find("level-three"), std::string::npos);
    EXPECT_EQ(out.find("level-zero"), std::string::npos);
    EXPECT_EQ(file.find("level-zero"), std::string::npos);
    EXPECT_NE(out.find("negative-level"), std::string::npos);
    EXPECT_NE(file.find("negative-level"), std::string::npos);
}

TEST_F(LogTest, NegativeThresholdSilencesOutput) {
    tq_log_enable(0, -1, nullptr);
    testing::internal::CaptureStdout();
    tq_log(4, "ERR", "[%s] error\n", "t");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(LogTest, LineFormatHasStampThreadAndTag) {
    tq_log_enable(0, 5, nullptr);
    ASSERT_EQ(tq_log_enable(1, 0, nullptr), 1);
    tq_log(2, "INF", "[%s] hello %d\n", "fn", 42);
    std::string text = read_file("tq.log");
    std::regex line(
        R"(^\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\[\d+\]\[INF\] \[fn\] hello 42\n$)");
    EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST_F(LogTest, TagIsTakenAsGivenNotDerived) {
    tq_log_enable(0, 5, nullptr);
    ASSERT_EQ(tq_log_enable(1, 0, nullptr), 1);
    tq_log(0, "ERR", "[%s] odd pair\n", "fn");
    EXPECT_NE(read_file("tq.log").find("[ERR] [fn] odd pair"), std::string::npos);
}

TEST_F(LogTest, RawWritesWithoutPrefix) {
    tq_log_enable(0, 0, nullptr);
    ASSERT_EQ(tq_log_enable(1, 0, nullptr), 1);
    testing::internal::CaptureStdout();
    tq_log_raw(1, "raw %s", "text");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "raw text");
    EXPECT_EQ(read_file("tq.log"), "raw text");
}

TEST_F(LogTest, DisableSilencesEverythingAndReportsClose) {
    ASSERT_EQ(tq_log_enable(1, 0, nullptr), 1);
    EXPECT_EQ(tq_log_disable(), 0);  // fclose succeeded
    EXPECT_EQ(tq_log_disable(), 0);  // nothing open
    testing::internal::CaptureStdout();
    tq_log(4, "ERR", "[%s] after disable\n", "t");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(read_file("tq.log").find("after disable"), std::string::npos);
}

TEST(Clock, MicrosecondsAreWholeMillisecondsAndTrackTheSystemClock) {
    for (int i = 0; i < 200; ++i) {
        struct timeval tv = {0, 1};
        EXPECT_EQ(tq_gettimeofday(&tv, nullptr), 0);
        EXPECT_EQ(tv.tv_usec % 1000, 0);
        EXPECT_LT(tv.tv_usec, 1000000);
        struct timeval sys;
        ::gettimeofday(&sys, nullptr);
        EXPECT_LE(std::llabs(static_cast<long long>(sys.tv_sec) - tv.tv_sec), 1);
    }
}

}  // namespace
