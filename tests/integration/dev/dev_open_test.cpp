// Listing, opening, closing and resetting cameras, through the USB link,
// real libusb and the simulated camera.
#include <cstdlib>
#include <cstring>

#include "common/byteio.h"
#include "dev_sim.h"

namespace {

using namespace devtest;
using tarvo::sim::CameraConfig;

class DevOpen : public SimTest {};

TEST_F(DevOpen, ListsCamerasUpToTheArraySize) {
    make_bus(ti_camera(), 3);
    tarvo_dev_t list[3];
    std::memset(list, 0xAB, sizeof list);
    EXPECT_EQ(tarvo_dev_list(list, 2), 2);
    // The third entry is not written beyond the zeroing of max records.
    EXPECT_EQ(list[2].if_type, 0xAB);

    ASSERT_EQ(tarvo_dev_list(list, 3), 3);
    std::vector<int> ports;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(list[i].lldev, nullptr);
        EXPECT_EQ(list[i].if_type, 1);
        EXPECT_EQ(list[i].if_info.usb_bus_num, 1);
        EXPECT_EQ(list[i].product[0], '\0');
        // Each entry names one of the cameras, by port and address.
        tarvo::sim::Camera c = camera_on_port(list[i].if_info.usb_port_num);
        EXPECT_EQ(list[i].if_info.usb_addr, c.address());
        ports.push_back(list[i].if_info.usb_port_num);
    }
    std::sort(ports.begin(), ports.end());
    EXPECT_EQ(ports, (std::vector<int>{2, 3, 4}));

    EXPECT_EQ(tarvo_dev_list(nullptr, 3), 0);
    EXPECT_EQ(tarvo_dev_list(list, 0), 0);
    EXPECT_TRUE(log_has("[tarvo_dev_list]   wrong params: dev_list=(nil), dev_list_num=3 \n"));
}

TEST_F(DevOpen, OpensAListedCameraAndReadsItsIdentity) {
    CameraConfig cfg = ti_camera();
    cfg.id_text = "UNIT-42";
    cfg.id_block = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    cfg.version = {9, 8, 0x34, 0x12, 5, 4, 3, 2};
    tarvo::sim::Camera cam = make_bus(cfg, 2);
    ASSERT_EQ(tarvo_dev_list(list_, 2), 2);
    // The entry of the second camera: listing follows the bus's order.
    int second = list_[0].if_info.usb_port_num == bus_->camera(1).port() ? 0 : 1;
    tarvo_dev_t *dev = tarvo_dev_open(&list_[second]);
    ASSERT_EQ(dev, &list_[second]);
    opened_.push_back(dev);

    EXPECT_STREQ(dev->product, k_ti_product);
    EXPECT_STREQ(dev->id_text, "UNIT-42");
    EXPECT_EQ(std::memcmp(dev->id_block, cfg.id_block.data(), 18), 0);
    EXPECT_EQ(dev->id_block[18], 0);
    EXPECT_EQ(std::memcmp(dev->version, cfg.version.data(), 8), 0);
    EXPECT_EQ(dev->path_prefix, tarvo_path_get());
    EXPECT_EQ(dev->api_busy, 0);
    EXPECT_EQ(dev->if_info.usb_port_num, bus_->camera(1).port());
    ASSERT_NE(tarvo_dev_get_drv(dev), nullptr);
    EXPECT_STREQ(tarvo_dev_get_drv(dev)->code, "T0");
    EXPECT_EQ(tarvo_dev_get_drv(dev)->dev, dev);
    EXPECT_EQ(bus_->camera(1).stats().opens, 1u);
    EXPECT_EQ(cam.stats().opens, 0u);

    // The context behind the record: open, idle, a reassembler of 10 frames.
    EXPECT_EQ(tarvo::dev::load(ctx(dev)->opened), 1);
    EXPECT_EQ(tarvo::dev::load(ctx(dev)->capturing), 0);
    EXPECT_EQ(tarvo::dev::load(ctx(dev)->cap_stopped), 1u);
    uint32_t size = 0;
    void *buf = &size;
    EXPECT_TRUE(tarvo_cap_get_frame_buffer(dev, &buf, &size));
    EXPECT_EQ(buf, nullptr);
    EXPECT_EQ(size, 3072000u);

    tarvo_dev_close(dev);
    EXPECT_EQ(dev->lldev, nullptr);
    EXPECT_STREQ(dev->product, k_ti_product);  // identity stays
    EXPECT_EQ(tarvo_dev_get_drv(dev), nullptr);
    // The same record opens the same camera again.
    ASSERT_EQ(tarvo_dev_open(dev), dev);
    EXPECT_EQ(bus_->camera(1).stats().opens, 2u);
    EXPECT_TRUE(log_has("[tarvo_dev_open] open tarvo device @ "));
    EXPECT_TRUE(log_has("[tarvo_dev_close] close tarvo device @ "));
}

TEST_F(DevOpen, DefaultRecordOpensOnceUntilClosed) {
    make_bus(ti_camera());
    tarvo_dev_t *dev = tarvo_dev_open(nullptr);
    ASSERT_NE(dev, nullptr);
    opened_.push_back(dev);
    EXPECT_STREQ(dev->product, k_ti_product);
    EXPECT_EQ(dev->if_type, 1);  // the link filled in the identity

    EXPECT_EQ(tarvo_dev_open(nullptr), nullptr);
    EXPECT_TRUE(log_has("[tarvo_dev_open] default device may not close properly!"));
    EXPECT_NE(dev->lldev, nullptr);  // the open record is untouched

    tarvo_dev_close(dev);
    tarvo_dev_t *again = tarvo_dev_open(nullptr);
    EXPECT_EQ(again, dev);
}

TEST_F(DevOpen, ReopeningAnOpenRecordClosesItFirst) {
    tarvo::sim::Camera cam = make_bus(ti_camera());
    tarvo_dev_t *dev = open_first(&rec_);
    ASSERT_NE(dev, nullptr);
    ASSERT_TRUE(tarvo_cap_start(dev));
    EXPECT_TRUE(tarvo_dev_open(dev) == dev);
    EXPECT_TRUE(log_has("[tarvo_dev_open] device not close correctly. close it..\n"));
    EXPECT_EQ(cam.stats().opens, 2u);
    EXPECT_FALSE(tarvo_cap_is_ongoing(dev));
    EXPECT_FALSE(cam.capturing());  // the close stopped the capture
    tarvo_param_item_t item = {};
    item.param_id = TARVO_PARAM_FRAME_RATE;
    EXPECT_TRUE(tarvo_param_batch_get(dev, &item, 1));
    EXPECT_EQ(tarvo::le32(item.param_val), 50u);
}

TEST_F(DevOpen, ProductWithoutDriverIsRefusedAndTheLinkClosed) {
    CameraConfig cfg = ti_camera();
    cfg.product = "TarvoSim-X9-1.0";
    tarvo::sim::Camera cam = make_bus(cfg);
    tarvo_dev_t &rec = rec_;
    EXPECT_EQ(open_first(&rec), nullptr);
    EXPECT_EQ(rec.lldev, nullptr);
    EXPECT_TRUE(
        log_has("[tarvo_dev_open] cannot find driver for device: product=TarvoSim-X9-1.0\n"));

    // Two fields only: no driver either, even with a known code.
    cam.set_param_text(tarvo::sim::k_param_product, "TarvoSim-T0");
    EXPECT_EQ(tarvo_dev_open(&rec), nullptr);

    // A record on the heap that close may release: a failed open frees it
    // (LeakSanitizer would report it otherwise).
    auto *heap = static_cast<tarvo_dev_t *>(std::calloc(1, sizeof(tarvo_dev_t)));
    heap->free_on_close = 1;
    EXPECT_EQ(tarvo_dev_open(heap), nullptr);

    // The link was closed each time: the camera opens once it has a driver.
    cam.set_param_text(tarvo::sim::k_param_product, k_ti_product);
    EXPECT_EQ(tarvo_dev_open(&rec), &rec);
    opened_.push_back(&rec);
    EXPECT_EQ(cam.stats().opens, 4u);
}

TEST_F(DevOpen, IdentityReadFailureFailsTheOpen) {
    tarvo::sim::Camera cam = make_bus(ti_camera());
    cam.refuse_command({0xC0, 4});
    tarvo_dev_t &rec = rec_;
    EXPECT_EQ(open_first(&rec), nullptr);
    EXPECT_EQ(rec.lldev, nullptr);
    EXPECT_TRUE(log_has("[tarvo_dev_open]  cannot get info of device\n"));
    EXPECT_TRUE(log_has("[_tarvo_param_batch_get] get 4 param\n"));

    cam.fail_command({0xC0, 4}, "busy elsewhere");
    EXPECT_EQ(tarvo_dev_open(&rec), nullptr);

    EXPECT_EQ(tarvo_dev_open(&rec), &rec);
    opened_.push_back(&rec);
}

TEST_F(DevOpen, CloseAndResetOnRecordsThatAreNotOpen) {
    make_bus(ti_camera());
    tarvo_dev_t list[1];
    ASSERT_EQ(tarvo_dev_list(list, 1), 1);
    tarvo_dev_close(list);  // listed, never opened: only the log line
    tarvo_dev_close(nullptr);
    EXPECT_EQ(list[0].lldev, nullptr);
    EXPECT_FALSE(tarvo_dev_reset(list, 1));
    EXPECT_TRUE(log_has("[tarvo_dev_reset]  Device handler Is NULL!\r\n"));
    EXPECT_EQ(tarvo_dev_open_by_fd(3), nullptr);
    EXPECT_TRUE(log_has("tarvo_dev_open_by_fd currently only support in android!\n"));
}

TEST_F(DevOpen, ResetPassesTargetsUpToEight) {
    tarvo::sim::Camera cam = make_bus(ti_camera());
    tarvo_dev_t *dev = open_first(&rec_);
    ASSERT_NE(dev, nullptr);
    EXPECT_FALSE(tarvo_dev_reset(dev, 9));
    EXPECT_TRUE(log_has("[tarvo_dev_reset] wrong reset target: 9\n"));
    EXPECT_TRUE(cam.reset_targets().empty());
    EXPECT_TRUE(tarvo_dev_reset(dev, 8));
    ASSERT_EQ(cam.reset_targets().size(), 1u);
    EXPECT_EQ(cam.reset_targets()[0], 8);
    EXPECT_TRUE(log_has("[tarvo_dev_reset] rest device (target=8)\n"));
    EXPECT_EQ(dev->api_busy, 0);

    // The USB interface reset: the camera re-enumerates and the link opens
    // it again behind the same record.
    uint8_t addr = cam.address();
    tarvo_dev_reset(dev, 3);
    EXPECT_NE(cam.address(), addr);
    tarvo_param_item_t item = {};
    item.param_id = TARVO_PARAM_PRODUCT;
    ASSERT_TRUE(tarvo_param_batch_get(dev, &item, 1));
    EXPECT_STREQ(reinterpret_cast<char *>(item.param_val), k_ti_product);
}

}  // namespace
