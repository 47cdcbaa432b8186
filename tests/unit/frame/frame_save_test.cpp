// Writing frame files: header lines, appended frames, whole-frame counts,
// the millimetre and gray conversions byte by byte, and refused calls.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "common/byteio.h"
#include "tarvo/tarvo_frame.h"
#include "test_util.h"

namespace {

using frame_test::bytes_of;
using frame_test::create_fd;
using frame_test::read_file;
using tarvo::platform::close_fd;

const float kInf = std::numeric_limits<float>::infinity();

class FrameSave : public ::testing::Test {
  protected:
    frame_test::LogCapture log{"frame_save_test.log"};

    // Saves `values` as one distance frame of n x 1 into a fresh file and
    // returns the bytes after the header.
    std::vector<uint8_t> saved_distance(int format, const std::vector<float> &values,
                                        const std::string &header) {
        const int fd = create_fd("dist.bin");
        EXPECT_GE(fd, 0);
        const int n = static_cast<int>(values.size());
        EXPECT_EQ(tarvo_frame_save_distance(fd, format, values.data(), n, n, 1), 1);
        close_fd(fd);
        std::vector<uint8_t> file = read_file("dist.bin");
        EXPECT_GE(file.size(), header.size());
        EXPECT_EQ(std::string(file.begin(), file.begin() + header.size()), header);
        return std::vector<uint8_t>(file.begin() + header.size(), file.end());
    }
    std::vector<uint8_t> saved_gray(int format, const std::vector<float> &values,
                                    const std::string &header) {
        const int fd = create_fd("gray.bin");
        EXPECT_GE(fd, 0);
        const int n = static_cast<int>(values.size());
        EXPECT_EQ(tarvo_frame_save_gray(fd, format, values.data(), n, n, 1), 1);
        close_fd(fd);
        std::vector<uint8_t> file = read_file("gray.bin");
        EXPECT_GE(file.size(), header.size());
        EXPECT_EQ(std::string(file.begin(), file.begin() + header.size()), header);
        return std::vector<uint8_t>(file.begin() + header.size(), file.end());
    }
};

std::vector<uint32_t> as_u32(const std::vector<uint8_t> &b) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i + 4 <= b.size(); i += 4) out.push_back(tarvo::le32(&b[i]));
    return out;
}
std::vector<uint16_t> as_u16(const std::vector<uint8_t> &b) {
    std::vector<uint16_t> out;
    for (size_t i = 0; i + 2 <= b.size(); i += 2) out.push_back(tarvo::le16(&b[i]));
    return out;
}

TEST_F(FrameSave, F32HeaderOnceThenFramesAppended) {
    std::vector<float> img(320 * 240);
    for (size_t i = 0; i < img.size(); ++i) img[i] = 0.25f + i * 1e-4f;
    const int fd = create_fd("f32.bin");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(tarvo_frame_save_distance(fd, TARVO_FRAME_SAVE_F32, img.data(), 76800, 320, 240), 1);
    std::vector<uint8_t> file = read_file("f32.bin");
    ASSERT_EQ(file.size(), 20u + 307200u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 20), "TQ_DIST,F32,320,240\n");
    for (size_t i = 0; i < img.size(); i += 997) {
        uint32_t bits;
        std::memcpy(&bits, &img[i], 4);
        ASSERT_EQ(tarvo::le32(&file[20 + 4 * i]), bits) << i;
    }
    ASSERT_EQ(tarvo_frame_save_distance(fd, TARVO_FRAME_SAVE_F32, img.data(), 76800, 320, 240), 1);
    close_fd(fd);
    file = read_file("f32.bin");
    ASSERT_EQ(file.size(), 20u + 2 * 307200u);
    EXPECT_EQ(0, std::memcmp(&file[20], &file[20 + 307200], 307200));
    EXPECT_EQ(log.take(), "");
}

TEST_F(FrameSave, OnlyWholeFramesAreWritten) {
    std::vector<float> img(10 * 4, 1.5f);  // 2.5 frames of 4 x 4
    int fd = create_fd("whole.bin");
    ASSERT_EQ(tarvo_frame_save_distance(fd, TARVO_FRAME_SAVE_U16, img.data(), 40, 4, 4), 1);
    close_fd(fd);
    EXPECT_EQ(read_file("whole.bin").size(), std::string("TQ_DIST,U16,4,4\n").size() + 2 * 16 * 2);

    fd = create_fd("short.bin");
    ASSERT_EQ(tarvo_frame_save_distance(fd, TARVO_FRAME_SAVE_U32, img.data(), 15, 4, 4), 1);
    ASSERT_EQ(tarvo_frame_save_distance(fd, TARVO_FRAME_SAVE_U32, img.data(), 0, 4, 4), 1);
    ASSERT_EQ(tarvo_frame_save_distance(fd, TARVO_FRAME_SAVE_U32, nullptr, -5, 4, 4), 1);
    close_fd(fd);
    EXPECT_EQ(read_file("short.bin"), bytes_of("TQ_DIST,U32,4,4\n"));
    EXPECT_EQ(log.take(), "");
}

TEST_F(FrameSave, DistanceMillimetresAsU16) {
    const std::vector<float> v = {65.5f, 70.0f, 0.0f, 1.234f, 0.9f, -0.001f, 65.535f, 65.536f};
    const std::vector<uint16_t> want = {65500, 4464, 0, 1234, 900, 65535, 65535, 0};
    EXPECT_EQ(as_u16(saved_distance(TARVO_FRAME_SAVE_U16, v, "TQ_DIST,U16,8,1\n")), want);
}

TEST_F(FrameSave, DistanceMillimetresAsU32) {
    const std::vector<float> v = {65.5f, 70.0f, 1.234f, -0.5f, 5e6f, 4294967.5f};
    // 5e6 m is 5e9 mm: the low 32 bits of 5000000000. The single-precision
    // product of 4294967.5 m is exactly 2^32 mm: low 32 bits 0.
    const std::vector<uint32_t> want = {65500, 70000, 1234, 0xFFFFFE0Cu, 705032704u, 0};
    EXPECT_EQ(as_u32(saved_distance(TARVO_FRAME_SAVE_U32, v, "TQ_DIST,U32,6,1\n")), want);
}

TEST_F(FrameSave, UnrepresentableMillimetresAreStoredAsZero) {
    const std::vector<float> v = {std::nanf(""), kInf,       -kInf, 3e6f,
                                  -3e6f,         2147483.5f, 1e16f, -1e16f};
    // U16 goes through a 32-bit integer: from 2147483.648 m on it is 0;
    // 2147483.5 m is 2147483520 mm in single precision and still fits.
    const std::vector<uint16_t> want16 = {0, 0, 0, 0, 0, 2147483520u % 65536, 0, 0};
    EXPECT_EQ(as_u16(saved_distance(TARVO_FRAME_SAVE_U16, v, "TQ_DIST,U16,8,1\n")), want16);
    // U32 goes through a 64-bit integer: 3e6 m fits, 1e16 m does not.
    std::vector<uint32_t> got =
        as_u32(saved_distance(TARVO_FRAME_SAVE_U32, v, "TQ_DIST,U32,8,1\n"));
    ASSERT_EQ(got.size(), 8u);
    EXPECT_EQ(got[0], 0u);
    EXPECT_EQ(got[1], 0u);
    EXPECT_EQ(got[2], 0u);
    EXPECT_EQ(got[3], 3000000000u);
    EXPECT_EQ(got[4], static_cast<uint32_t>(-3000000000LL));
    EXPECT_EQ(got[5], 2147483520u);
    EXPECT_EQ(got[6], 0u);
    EXPECT_EQ(got[7], 0u);
}

TEST_F(FrameSave, GrayLevelsAsU8AndU16) {
    const std::vector<float> v = {300.7f, 255.9f, -1.0f, 40000.0f, std::nanf(""), 70000.0f, 0.5f};
    const std::vector<uint8_t> want8 = {44, 255, 255, 0, 0, 0, 0};
    EXPECT_EQ(saved_gray(TARVO_FRAME_SAVE_U8, v, "TQ_GRAY,U8,7,1\n"), want8);
    const std::vector<uint16_t> want16 = {300, 255, 65535, 40000, 0, 4464, 0};
    EXPECT_EQ(as_u16(saved_gray(TARVO_FRAME_SAVE_U16, v, "TQ_GRAY,U16,7,1\n")), want16);
}

TEST_F(FrameSave, GrayWritesOneFrameAndRefusesShortImages) {
    std::vector<float> v(12, 7.0f);
    int fd = create_fd("gray_short.bin");
    // Shorter than one frame: refused before anything is written, so the
    // file never holds a frame of the wrong size.
    ASSERT_EQ(tarvo_frame_save_gray(fd, TARVO_FRAME_SAVE_U8, v.data(), 5, 4, 2), 0);
    EXPECT_EQ(read_file("gray_short.bin"), std::vector<uint8_t>{});
    // Longer than one frame: one frame is written.
    ASSERT_EQ(tarvo_frame_save_gray(fd, TARVO_FRAME_SAVE_U8, v.data(), 12, 4, 2), 1);
    ASSERT_EQ(tarvo_frame_save_gray(fd, TARVO_FRAME_SAVE_U8, v.data(), 8, 4, 2), 1);
    close_fd(fd);
    std::vector<uint8_t> want = bytes_of("TQ_GRAY,U8,4,2\n");
    want.insert(want.end(), 8 + 8, 7);
    EXPECT_EQ(read_file("gray_short.bin"), want);
}

TEST_F(FrameSave, WrongFormatsAndSizesFailBeforeWriting) {
    std::vector<float> v(16, 1.0f);
    const int fd = create_fd("wrong.bin");
    EXPECT_EQ(tarvo_frame_save_gray(fd, 0, v.data(), 16, 4, 4), 0);
    EXPECT_NE(log.take().find("[tarvo_frame_save_gray] wrong gray save format: 0\n"),
              std::string::npos);
    EXPECT_EQ(tarvo_frame_save_gray(fd, 1, v.data(), 16, 4, 4), 0);
    EXPECT_NE(log.take().find("wrong gray save format: 1\n"), std::string::npos);
    EXPECT_EQ(tarvo_frame_save_distance(fd, 3, v.data(), 16, 4, 4), 0);
    EXPECT_NE(log.take().find("[ERR] [tarvo_frame_save_distance] wrong distance save format: 3\n"),
              std::string::npos);
    EXPECT_EQ(tarvo_frame_save_distance(fd, -1, v.data(), 16, 4, 4), 0);
    EXPECT_NE(log.take().find("wrong distance save format: -1\n"), std::string::npos);
    const int sizes[][2] = {{0, 4}, {4, 0}, {0, 0}, {-4, -4}, {-1, 16}};
    for (const auto &s : sizes) {
        EXPECT_EQ(tarvo_frame_save_distance(fd, 0, v.data(), 16, s[0], s[1]), 0);
        EXPECT_NE(log.take().find("[ERR] [tarvo_frame_save_distance] wrong image size"),
                  std::string::npos);
        EXPECT_EQ(tarvo_frame_save_gray(fd, 3, v.data(), 16, s[0], s[1]), 0);
        EXPECT_NE(log.take().find("[ERR] [tarvo_frame_save_gray] wrong image size"),
                  std::string::npos);
    }
    EXPECT_EQ(tarvo_frame_save_distance(fd, 0, nullptr, 16, 4, 4), 0);
    EXPECT_NE(log.take().find("[tarvo_frame_save_distance]"), std::string::npos);
    close_fd(fd);
    EXPECT_TRUE(read_file("wrong.bin").empty());
}

TEST_F(FrameSave, FailedWritesAreReported) {
    std::vector<float> v(16, 1.0f);
    frame_test::write_file("ro.bin", {});
    int fd = frame_test::open_read_fd("ro.bin");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(tarvo_frame_save_distance(fd, TARVO_FRAME_SAVE_F32, v.data(), 16, 4, 4), 0);
    EXPECT_NE(log.take().find("[tarvo_frame_save_distance] faile to save TQ_DIST header\n"),
              std::string::npos);
    EXPECT_EQ(tarvo_frame_save_gray(fd, TARVO_FRAME_SAVE_U8, v.data(), 16, 4, 4), 0);
    EXPECT_NE(log.take().find("[tarvo_frame_save_gray] faile to save TQ_GRAY header\n"),
              std::string::npos);
    // Past the start no header is due, so the frame write is what fails.
    close_fd(fd);
    frame_test::write_file("ro.bin", bytes_of("xx"));
    fd = frame_test::open_read_fd("ro.bin");
    ASSERT_EQ(tarvo::platform::seek_fd(fd, 2, SEEK_SET), 2);
    const struct {
        int format;
        const char *msg;
    } dist[] = {{0, "faile to save TQ_DIST F32 data: 64 bytes\n"},
                {1, "faile to save TQ_DIST U32 data: 64 bytes\n"},
                {2, "faile to save TQ_DIST U16 data: 32 bytes\n"}};
    for (const auto &d : dist) {
        EXPECT_EQ(tarvo_frame_save_distance(fd, d.format, v.data(), 16, 4, 4), 0);
        EXPECT_NE(log.take().find(d.msg), std::string::npos) << d.msg;
    }
    EXPECT_EQ(tarvo_frame_save_gray(fd, TARVO_FRAME_SAVE_U16, v.data(), 16, 4, 4), 0);
    EXPECT_NE(log.take().find("faile to save TQ_GRAY U16 data: 32 bytes\n"), std::string::npos);
    EXPECT_EQ(tarvo_frame_save_gray(fd, TARVO_FRAME_SAVE_U8, v.data(), 16, 4, 4), 0);
    EXPECT_NE(log.take().find("faile to save TQ_GRAY U8 data: 16 bytes\n"), std::string::npos);
    EXPECT_EQ(tarvo_frame_save_distance(-1, TARVO_FRAME_SAVE_F32, v.data(), 16, 4, 4), 0);
    close_fd(fd);
}

}  // namespace
