/* Every public header must compile as C. */
#include <tarvo/tarvo.h>

int tarvo_c_headers_probe(void);

int tarvo_c_headers_probe(void) {
    tarvo_dev_t dev = {0};
    tarvo_frame_info_t info = {0};
    return (int)sizeof dev + (int)sizeof info + (tarvo_error_name(0) != 0);
}
