// The interface as an application sees it: only public headers, the shared
// library, and a C translation unit compiled into the same program.
#include <gtest/gtest.h>
#include <tarvo/tarvo.h>
#include <tarvo/tarvo_drv.h>

#include <cstring>

extern "C" int tarvo_c_headers_probe(void);
extern "C" int tarvo_c_outputs_probe(void);

namespace {

TEST(PublicApi, CTranslationUnitSeesTheSameRecords) {
    EXPECT_EQ(tarvo_c_headers_probe(),
              static_cast<int>(sizeof(tarvo_dev_t) + sizeof(tarvo_frame_info_t)) + 1);
}

TEST(PublicApi, CCallersReachTheFrameProducts) {
    tarvo_init("public.log");
    // Point clouds and the colour image work on a record that was never
    // opened; decoding and the filters refuse it.
    EXPECT_EQ(tarvo_c_outputs_probe(), 11111);
    tarvo_uninit();
}

TEST(PublicApi, InitUninitThroughTheSharedLibrary) {
    tarvo_init("public.log");
    EXPECT_STREQ(tarvo_path_get(), ".\\");
    EXPECT_STREQ(tarvo_error_name(-7), "TARVO_ERR_CAP_STALL");
    tarvo_dev_t dev{};
    std::memcpy(dev.product, "cam-T0-1.0", 11);
    const tarvo_drv_t *drv = tarvo_drv_find(&dev);
    ASSERT_NE(drv, nullptr);
    EXPECT_EQ(drv->ops, &g_tarvo_driver_op_ti);
    tarvo_uninit();
}

}  // namespace
