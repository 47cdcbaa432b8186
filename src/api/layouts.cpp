// Layouts that cross the public interface or the wire. A change here breaks
// applications built against an earlier header, or the camera.
#include <cstddef>

#include "tarvo/tarvo.h"
#include "tarvo/tarvo_drv.h"

static_assert(sizeof(bool) == 1);
static_assert(sizeof(tarvo_ll_if_info_t) == 44);
static_assert(offsetof(tarvo_ll_if_info_t, usb_bus_num) == 4);
static_assert(offsetof(tarvo_ll_if_info_t, usb_speed) == 7);
static_assert(offsetof(tarvo_ll_if_info_t, if_reserved) == 8);

static_assert(offsetof(tarvo_ll_dev_t, priv) == 0);
static_assert(offsetof(tarvo_ll_dev_t, if_info) == sizeof(void *));
static_assert(offsetof(tarvo_ll_dev_t, ops) == 56);
static_assert(offsetof(tarvo_ll_dev_t, if_type) == 64);

static_assert(offsetof(tarvo_dev_t, if_info) == sizeof(void *));
static_assert(offsetof(tarvo_dev_t, product) == 52);
static_assert(offsetof(tarvo_dev_t, id_text) == 84);
static_assert(offsetof(tarvo_dev_t, id_block) == 116);
static_assert(offsetof(tarvo_dev_t, version) == 148);
static_assert(offsetof(tarvo_dev_t, path_prefix) == 160);
static_assert(offsetof(tarvo_dev_t, if_type) == 168);
static_assert(offsetof(tarvo_dev_t, api_busy) == 170);

static_assert(sizeof(tarvo_frame_info_t) == 20);
static_assert(offsetof(tarvo_frame_info_t, frame_idx) == 6);
static_assert(offsetof(tarvo_frame_info_t, frame_bpp) == 16);
static_assert(offsetof(tarvo_frame_t, frame_data) == 24);

static_assert(sizeof(tq_frame_hdr_t) == 20);
static_assert(offsetof(tq_frame_hdr_t, drv_info) == 12);

static_assert(offsetof(tarvo_param_item_t, param_val_len) == 4);
static_assert(offsetof(tarvo_param_item_t, param_val) == 5);
static_assert(TARVO_LL_PARAM_ITEM_SIZE == 2 + sizeof(((tarvo_param_item_t *)0)->param_val));

static_assert(sizeof(tarvo_drv_t) == 5 * sizeof(void *));
static_assert(sizeof(tarvo_drv_ops_t) == 11 * sizeof(void *));
static_assert(sizeof(tarvo_ll_ops_t) == 17 * sizeof(void *));
static_assert(offsetof(tq_cmap_t, palette) == 24);
