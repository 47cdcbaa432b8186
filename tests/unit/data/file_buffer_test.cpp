// Loading a data image file: sizes, short files, the empty-file rule.
#include <gtest/gtest.h>

#include <string>

#include "log_capture.h"
#include "tarvo/tarvo_data.h"
#include "test_files.h"

namespace {

using data_test::LogCapture;

constexpr const char *k_name = "[al_data_build_file_buffer] ";

TEST(DataFileBuffer, LoadsAWholeFileAndLogsEachStep) {
    LogCapture log;
    tarvo_test::write_file("image.bin", std::string("\xAB\x01\x02", 3) + std::string(1000, 'x'));
    int32_t size = -5;
    ASSERT_EQ(al_data_build_file_buffer("image.bin", &size), 1);
    EXPECT_EQ(size, 1003);
    std::string text = log.text();
    EXPECT_NE(text.find(std::string("[INF] ") + k_name + "Loading data image file:image.bin\n"),
              std::string::npos);
    EXPECT_NE(text.find(std::string(k_name) + "File size:1003\n"), std::string::npos);
    EXPECT_NE(text.find(std::string(k_name) + "File read ok,1003,ab\n"), std::string::npos);
    EXPECT_NE(text.find(std::string(k_name) + "Data image file loaded.\n"), std::string::npos);
    EXPECT_EQ(text.find("loading failed"), std::string::npos);
}

TEST(DataFileBuffer, MissingFileAndNullArgumentsFail) {
    LogCapture log;
    int32_t size = 77;
    EXPECT_EQ(al_data_build_file_buffer("no-such-file.bin", &size), -1);
    EXPECT_EQ(size, 77);  // never opened, never touched
    EXPECT_TRUE(log.has("Loading data image file:no-such-file.bin\n"));
    EXPECT_FALSE(log.has("File size:"));
    EXPECT_EQ(al_data_build_file_buffer(nullptr, &size), -1);
    tarvo_test::write_file("one.bin", "1");
    EXPECT_EQ(al_data_build_file_buffer("one.bin", nullptr), -1);
}

TEST(DataFileBuffer, EmptyFileLoadsOnlyWithASizeInHand) {
    LogCapture log;
    tarvo_test::write_file("empty.bin", "");
    int32_t size = 0;
    EXPECT_EQ(al_data_build_file_buffer("empty.bin", &size), -1);
    EXPECT_EQ(size, 0);
    EXPECT_TRUE(log.has("File read ok,0,0\n"));
    EXPECT_TRUE(log.has("Data image file loading failed.\n"));

    log.clear();
    size = 123;
    EXPECT_EQ(al_data_build_file_buffer("empty.bin", &size), 1);
    EXPECT_EQ(size, 0);
    EXPECT_TRUE(log.has("Data image file loaded.\n"));
}

}  // namespace
