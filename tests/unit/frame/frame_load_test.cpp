// Reading frame files: header parsing, frames read one after another on
// one descriptor, the remembered header, and files whose header or length
// does not fit what they hold.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "common/byteio.h"
#include "tarvo/tarvo_frame.h"
#include "test_util.h"

namespace {

using frame_test::bytes_of;
using frame_test::create_fd;
using frame_test::open_read_fd;
using frame_test::write_file;
using tarvo::platform::close_fd;

constexpr float kUntouched = -777.0f;

std::vector<uint8_t> u16_bytes(const std::vector<uint16_t> &v) {
    std::vector<uint8_t> out(v.size() * 2);
    for (size_t i = 0; i < v.size(); ++i) tarvo::put_le16(&out[2 * i], v[i]);
    return out;
}

std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class FrameLoad : public ::testing::Test {
  protected:
    frame_test::LogCapture log{"frame_load_test.log"};
    std::vector<float> dst = std::vector<float>(64, kUntouched);
    int w = -1, h = -1;

    int load_dist(int fd, int len) {
        return tarvo_frame_load_distance(fd, dst.data(), len, &w, &h);
    }
    bool untouched_from(size_t i) const {
        for (; i < dst.size(); ++i)
            if (dst[i] != kUntouched) return false;
        return true;
    }
};

TEST_F(FrameLoad, U16DistanceFramesOneAfterAnother) {
    const std::vector<uint16_t> f1 = {0, 1, 999, 1000, 1234, 65300, 65500, 65535};
    const std::vector<uint16_t> f2 = {8, 7, 6, 5, 4, 3, 2, 1};
    write_file("u16.bin", cat(cat(bytes_of("TQ_DIST,U16,4,2\n"), u16_bytes(f1)), u16_bytes(f2)));
    const int fd = open_read_fd("u16.bin");
    ASSERT_GE(fd, 0);
    ASSERT_EQ(load_dist(fd, 64), 8);
    EXPECT_EQ(w, 4);
    EXPECT_EQ(h, 2);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(dst[i], static_cast<float>(f1[i] / 1000.0)) << i;
    EXPECT_TRUE(untouched_from(8));
    // The second call reads the next 16 bytes without looking for a header.
    ASSERT_EQ(load_dist(fd, 5), 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(dst[i], static_cast<float>(f2[i] / 1000.0)) << i;
    EXPECT_EQ(dst[5], static_cast<float>(f1[5] / 1000.0));
    // The file ends: the read comes back empty.
    EXPECT_EQ(load_dist(fd, 64), 0);
    EXPECT_NE(log.take().find("[ERR] [tarvo_frame_load_distance] read 16 date failed: ret= 0\n"),
              std::string::npos);
    close_fd(fd);
}

TEST_F(FrameLoad, SavedFramesComeBackInEveryFormat) {
    std::vector<float> img = {0.0f, -0.0f, 1.5f, 65.3f, 65.5f, 12.3456f, std::nanf("7"), 1e-3f};
    std::vector<uint32_t> nan_bits(1);
    std::memcpy(nan_bits.data(), &img[6], 4);
    for (int format = 0; format <= 2; ++format) {
        const int fd = create_fd("round.bin");
        ASSERT_EQ(tarvo_frame_save_distance(fd, format, img.data(), 8, 2, 4), 1);
        ASSERT_EQ(tarvo_frame_save_distance(fd, format, img.data() + 4, 4, 2, 2), 1);
        ASSERT_EQ(tarvo::platform::seek_fd(fd, 0, SEEK_SET), 0);
        ASSERT_EQ(load_dist(fd, 64), 8) << format;
        EXPECT_EQ(w, 2);
        EXPECT_EQ(h, 4);
        for (int i = 0; i < 8; ++i) {
            float want;
            if (format == TARVO_FRAME_SAVE_F32) {
                want = img[i];
            } else {
                const float mm = std::isnan(img[i]) ? 0.0f : std::trunc(img[i] * 1000.0f);
                want = static_cast<float>(std::fabs(mm) / 1000.0);
            }
            uint32_t a, b;
            std::memcpy(&a, &dst[i], 4);
            std::memcpy(&b, &want, 4);
            EXPECT_EQ(a, b) << "format " << format << " sample " << i;
        }
        // The appended 2 x 2 frame is read with the 2 x 4 header.
        EXPECT_EQ(load_dist(fd, 64), 0);
        EXPECT_NE(
            log.take().find(format == TARVO_FRAME_SAVE_U16 ? "read 16 date failed: ret= 8\n"
                                                           : "read 32 date failed: ret= 16\n"),
            std::string::npos);
        close_fd(fd);
    }
    EXPECT_EQ(log.take(), "");
}

TEST_F(FrameLoad, U32SampleGoesThroughSinglePrecision) {
    std::vector<uint8_t> data(8);
    tarvo::put_le32(&data[0], 16777217u);  // not a float: becomes 16777216
    tarvo::put_le32(&data[4], 4294967295u);
    write_file("u32.bin", cat(bytes_of("TQ_DIST,U32,2,1\n"), data));
    const int fd = open_read_fd("u32.bin");
    ASSERT_EQ(load_dist(fd, 64), 2);
    EXPECT_EQ(dst[0], static_cast<float>(16777216.0 / 1000.0));
    EXPECT_EQ(dst[1], static_cast<float>(4294967296.0 / 1000.0));
    close_fd(fd);
}

TEST_F(FrameLoad, GrayFilesAreUnscaled) {
    const std::vector<float> gray = {0.0f, 1.0f, 254.9f, 255.0f, 300.0f, 4095.0f};
    int fd = create_fd("gray8.bin");
    ASSERT_EQ(tarvo_frame_save_gray(fd, TARVO_FRAME_SAVE_U8, gray.data(), 6, 3, 2), 1);
    ASSERT_EQ(tarvo::platform::seek_fd(fd, 0, SEEK_SET), 0);
    ASSERT_EQ(tarvo_frame_load_gray(fd, dst.data(), 64, &w, &h), 6);
    EXPECT_EQ(w, 3);
    EXPECT_EQ(h, 2);
    const float want8[] = {0, 1, 254, 255, 44, 255};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(dst[i], want8[i]) << i;
    close_fd(fd);

    fd = create_fd("gray16.bin");
    ASSERT_EQ(tarvo_frame_save_gray(fd, TARVO_FRAME_SAVE_U16, gray.data(), 6, 6, 1), 1);
    ASSERT_EQ(tarvo::platform::seek_fd(fd, 0, SEEK_SET), 0);
    ASSERT_EQ(tarvo_frame_load_gray(fd, dst.data(), 64, nullptr, nullptr), 6);
    const float want16[] = {0, 1, 254, 255, 300, 4095};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(dst[i], want16[i]) << i;
    close_fd(fd);
    EXPECT_EQ(log.take(), "");
}

TEST_F(FrameLoad, HeaderWithoutLineEndIsCutAt256Bytes) {
    // 256 bytes of header text with no line end, then the frame.
    std::string head = "TQ_DIST,U16,2,1,";
    head.append(256 - head.size(), 'x');
    write_file("cut.bin", cat(bytes_of(head), u16_bytes({1500, 2500})));
    int fd = open_read_fd("cut.bin");
    ASSERT_EQ(load_dist(fd, 64), 2);
    EXPECT_EQ(dst[0], 1.5f);
    EXPECT_EQ(dst[1], 2.5f);
    close_fd(fd);

    // A longer line: the data are taken to start at offset 256 all the same.
    std::string longer = head + "zz" + std::string(40, 'y') + "\n";
    std::vector<uint8_t> bytes = bytes_of(longer);
    tarvo::put_le16(&bytes[256], 3000);
    tarvo::put_le16(&bytes[258], 4000);
    write_file("long.bin", bytes);
    fd = open_read_fd("long.bin");
    ASSERT_EQ(load_dist(fd, 64), 2);
    EXPECT_EQ(dst[0], 3.0f);
    EXPECT_EQ(dst[1], 4.0f);
    close_fd(fd);
    EXPECT_EQ(log.take(), "");
}

TEST_F(FrameLoad, HeaderTextIsReadAsScanfWould) {
    const char *accepted[] = {"TQ_DIST,U16, 2,\t1\n", "TQ_DIST,U16,+2,1 trailing\n",
                              "TQ_DIST,U16,002,01\n"};
    for (const char *text : accepted) {
        write_file("scan.bin", cat(bytes_of(text), u16_bytes({10, 20})));
        const int fd = open_read_fd("scan.bin");
        EXPECT_EQ(load_dist(fd, 64), 2) << text;
        EXPECT_EQ(w, 2);
        EXPECT_EQ(h, 1);
        close_fd(fd);
    }
    const std::string refused[] = {"TQ_DIST,U16,2 ,1\n",
                                   "TQ_DIST,U16,2\n",
                                   "TQ_DIST,U16,-2,1\n",
                                   "TQ_DIST,U16,2,-1\n",
                                   "TQ_DIST,U16,99999999999,1\n",
                                   "TQ_DIST,U8,2,1\n",
                                   "tq_dist,U16,2,1\n",
                                   "TQ_GRAY,U16,2,1\n",
                                   std::string("TQ_DIST,U16,\0"
                                               "2,1\n",
                                               17)};
    for (const std::string &text : refused) {
        write_file("scan.bin", cat(bytes_of(text), u16_bytes({10, 20})));
        const int fd = open_read_fd("scan.bin");
        EXPECT_EQ(load_dist(fd, 64), 0) << text;
        EXPECT_NE(log.take().find("[tarvo_frame_load_distance] faile to load TQ file header\n"),
                  std::string::npos)
            << text;
        close_fd(fd);
    }
}

TEST_F(FrameLoad, GrayFileFailsInTheDistanceLoaderAndClearsItsHeader) {
    write_file("d.bin", cat(bytes_of("TQ_DIST,U16,1,1\n"), u16_bytes({1000, 2000, 3000})));
    write_file("g.bin", cat(bytes_of("TQ_GRAY,U8,1,1\n"), {9, 9}));
    const int d = open_read_fd("d.bin");
    const int g = open_read_fd("g.bin");
    ASSERT_EQ(load_dist(d, 64), 1);
    EXPECT_EQ(load_dist(g, 64), 0);
    EXPECT_NE(log.take().find("[ERR] [tarvo_frame_load_distance] faile to load TQ file header\n"),
              std::string::npos);
    // The failed parse cleared the remembered size: nothing more is read.
    dst[0] = kUntouched;
    EXPECT_EQ(load_dist(d, 64), 0);
    EXPECT_EQ(dst[0], kUntouched);
    EXPECT_EQ(log.take(), "");
    // The gray loader has its own header and reads the gray file fine.
    ASSERT_EQ(tarvo::platform::seek_fd(g, 0, SEEK_SET), 0);
    EXPECT_EQ(tarvo_frame_load_gray(g, dst.data(), 64, &w, &h), 1);
    EXPECT_EQ(dst[0], 9.0f);
    close_fd(d);
    close_fd(g);
}

TEST_F(FrameLoad, EmptyFileKeepsTheRememberedHeader) {
    write_file("d.bin", cat(bytes_of("TQ_DIST,U16,1,1\n"), u16_bytes({1000, 2000})));
    write_file("empty.bin", {});
    const int d = open_read_fd("d.bin");
    const int e = open_read_fd("empty.bin");
    ASSERT_EQ(load_dist(d, 64), 1);
    EXPECT_EQ(load_dist(e, 64), 0);
    EXPECT_NE(log.take().find("faile to load TQ file header\n"), std::string::npos);
    EXPECT_EQ(load_dist(d, 64), 1);
    EXPECT_EQ(dst[0], 2.0f);
    close_fd(d);
    close_fd(e);
}

TEST_F(FrameLoad, HeadersClaimingMoreThanTheFileHoldsStayInBounds) {
    struct Case {
        const char *header;
        size_t data;
        const char *msg;
    } cases[] = {
        {"TQ_DIST,F32,65536,65536\n", 8, "read 2147483647 date failed: ret= 8\n"},
        {"TQ_DIST,F32,2147483647,2147483647\n", 100, "date failed: ret= 100\n"},
        {"TQ_DIST,U16,4,2\n", 10, "read 16 date failed: ret= 10\n"},
        {"TQ_DIST,F32,1000,1000\n", 4000, "read 4000000 date failed: ret= 4000\n"},
    };
    for (const Case &c : cases) {
        write_file("big.bin", cat(bytes_of(c.header), std::vector<uint8_t>(c.data, 0x41)));
        const int fd = open_read_fd("big.bin");
        w = h = -1;
        EXPECT_EQ(load_dist(fd, 64), 0) << c.header;
        EXPECT_NE(log.take().find(c.msg), std::string::npos) << c.header;
        EXPECT_TRUE(untouched_from(0)) << c.header;
        EXPECT_EQ(w, -1);
        close_fd(fd);
    }
}

TEST_F(FrameLoad, ZeroSizeOrNoRoomReadsNothing) {
    write_file("zero.bin", bytes_of("TQ_DIST,F32,0,5\n"));
    int fd = open_read_fd("zero.bin");
    EXPECT_EQ(load_dist(fd, 64), 0);
    EXPECT_EQ(log.take(), "");
    close_fd(fd);

    write_file("room.bin", cat(bytes_of("TQ_DIST,U16,1,1\n"), u16_bytes({1000, 2000})));
    fd = open_read_fd("room.bin");
    EXPECT_EQ(tarvo_frame_load_distance(fd, nullptr, 0, &w, &h), 0);
    EXPECT_EQ(tarvo_frame_load_distance(fd, dst.data(), -3, &w, &h), 0);
    EXPECT_TRUE(untouched_from(0));
    EXPECT_EQ(log.take(), "");
    close_fd(fd);
    EXPECT_EQ(tarvo_frame_load_distance(-1, dst.data(), 64, &w, &h), 0);
    EXPECT_EQ(tarvo_frame_load_gray(-1, dst.data(), 64, &w, &h), 0);
}

TEST_F(FrameLoad, FramesLargerThanOneReadBuffer) {
    const int W = 1200, H = 1000;  // 4.8 MB per F32 frame
    std::vector<float> img(W * H);
    for (int i = 0; i < W * H; ++i) img[i] = static_cast<float>(i) * 0.5f;
    const int fd = create_fd("large.bin");
    ASSERT_EQ(tarvo_frame_save_distance(fd, TARVO_FRAME_SAVE_F32, img.data(), W * H, W, H), 1);
    ASSERT_EQ(tarvo_frame_save_distance(fd, TARVO_FRAME_SAVE_F32, img.data(), W * H, W, H), 1);
    ASSERT_EQ(tarvo::platform::seek_fd(fd, 0, SEEK_SET), 0);
    std::vector<float> out(W * H + 8, kUntouched);
    ASSERT_EQ(tarvo_frame_load_distance(fd, out.data(), W * H + 8, &w, &h), W * H);
    EXPECT_EQ(0, std::memcmp(out.data(), img.data(), img.size() * 4));
    EXPECT_EQ(out[W * H], kUntouched);
    // A partial copy of the second frame still leaves the descriptor after it.
    const int part = W * H / 2 + 3;
    std::fill(out.begin(), out.end(), kUntouched);
    ASSERT_EQ(tarvo_frame_load_distance(fd, out.data(), part, &w, &h), part);
    EXPECT_EQ(out[part - 1], img[part - 1]);
    EXPECT_EQ(out[part], kUntouched);
    // "TQ_DIST,F32,1200,1000\n" is 22 bytes.
    EXPECT_EQ(tarvo::platform::seek_fd(fd, 0, SEEK_CUR), 22 + 2 * 4LL * W * H);
    close_fd(fd);
}

}  // namespace
