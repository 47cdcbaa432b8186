#include "tarvo/tarvo_types.h"

extern "C" TARVO_API const char *tarvo_error_name(int code) {
    static const char *const k_names[14] = {"TARVO_ERR_CAP_UNKNOWN",
                                            "**UNKNOWN**",
                                            "TARVO_ERR_CAP_ERROR",
                                            "TARVO_ERR_CAP_STALL",
                                            "**UNKNOWN**",
                                            "TARVO_ERR_CAP_TIMEOUT",
                                            "**UNKNOWN**",
                                            "**UNKNOWN**",
                                            "**UNKNOWN**",
                                            "**UNKNOWN**",
                                            "OK",
                                            "**UNKNOWN**",
                                            "**UNKNOWN**",
                                            "TARVO_ERR_CAP_FRAME_DISCARD"};
    unsigned idx = static_cast<unsigned>(code) + 10u;
    return idx <= 13u ? k_names[idx] : "**UNKNOWN**";
}
