// tarvo-sim run: the launcher starts the bus and runs a program that sees
// the cameras through its own libusb. The program here is this test binary
// again, in probe mode.
#include <gtest/gtest.h>
#include <libusb.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "run_command.h"

namespace {

std::string g_self;

// Probe mode: lists the cameras, asks the first one for its product text
// and prints one line per camera.
int probe() {
    libusb_context *ctx = nullptr;
    if (libusb_init(&ctx) != 0) return 3;
    libusb_device **list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    std::printf("cameras=%zd\n", n);
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor dd{};
        libusb_get_device_descriptor(list[i], &dd);
        std::string product;
        libusb_device_handle *h = nullptr;
        if (libusb_open(list[i], &h) == 0) {
            uint8_t item[20] = {3};
            if (libusb_control_transfer(h, 0x22, 0xC0, 4, 0, item, 20, 1000) == 20 &&
                libusb_control_transfer(h, 0xA2, 0xC0, 4, 0, item, 20, 1000) == 20)
                product.assign(reinterpret_cast<char *>(item + 2), item[1]);
            if (i == 0 && libusb_claim_interface(h, 0) == 0) {
                // One bulk read of the stream, across processes.
                uint8_t arg[4] = {0, 0, 0, 0};
                std::vector<uint8_t> buf(153600);
                int got = 0;
                if (libusb_control_transfer(h, 0x22, 0xC2, 4, 0, arg, 4, 1000) == 4 &&
                    libusb_bulk_transfer(h, 0x81, buf.data(), static_cast<int>(buf.size()), &got,
                                         3000) == 0)
                    std::printf("stream=%d sync=%02x%02x,%02x%02x\n", got, buf[0], buf[1],
                                buf[1036], buf[1037]);
                libusb_release_interface(h, 0);
            }
            libusb_close(h);
        }
        std::printf("port=%u speed=%d id=%04x:%04x product=%s\n", libusb_get_port_number(list[i]),
                    libusb_get_device_speed(list[i]), dd.idVendor, dd.idProduct, product.c_str());
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    return 0;
}

using Result = tarvo_test::CommandResult;

Result run(const std::string &args) {
    return tarvo_test::run_command(std::string(TARVO_SIM_EXE) + " " + args);
}

}  // namespace

TEST(SimLauncher, ProgramSeesTheConfiguredCameras) {
    Result r =
        run("run --cameras 3 --full-speed --product Probe-T0-7 --unpaced --frame-bytes 1000 "
            "--packet-bytes 1000 -- " +
            g_self + " --probe");
    EXPECT_EQ(r.status, 0) << r.out;
    // Unpaced, the read is filled to the brim with 1036-byte packets.
    EXPECT_NE(r.out.find("stream=153600 sync=fb98,fb98\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("cameras=3\n"), std::string::npos) << r.out;
    for (int port : {2, 3, 4})
        EXPECT_NE(r.out.find("port=" + std::to_string(port) +
                             " speed=2 id=1209:7a7f product=Probe-T0-7\n"),
                  std::string::npos)
            << r.out;
}

TEST(SimLauncher, ExitStatusAndUsage) {
    EXPECT_EQ(run("run -- sh -c 'exit 7'").status, 7);
    EXPECT_EQ(run("run -- sh -c 'test -n \"$UMOCKDEV_DIR\" && test -p "
                  "\"$UMOCKDEV_DIR/dev/bus/usb/001/002\"'")
                  .status,
              0);
    EXPECT_EQ(run("run --cameras 2").status, 2);        // no command
    EXPECT_EQ(run("run --fps ten -- true").status, 2);  // not a number
    EXPECT_EQ(run("run --bogus -- true").status, 2);
    EXPECT_EQ(run("run -- /nonexistent/program").status, 127);
    Result bad = run("run --scene /nonexistent/scene.json -- true");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.out.find("--scene cannot read /nonexistent/scene.json"), std::string::npos)
        << bad.out;
    Result help = run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--frames-per-packet"), std::string::npos);
}

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "--probe") == 0) return probe();
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) g_self.assign(self, static_cast<size_t>(n));
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
