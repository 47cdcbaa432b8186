// The library's version text, from the generated version header.
#include "tarvo/tarvo_types.h"

#define TARVO_STR2(x) #x
#define TARVO_STR(x) TARVO_STR2(x)

extern "C" TARVO_API const char *tarvo_version(void) {
    return TARVO_STR(TARVO_VERSION_MAJOR) "." TARVO_STR(TARVO_VERSION_MINOR) "." TARVO_STR(
        TARVO_VERSION_PATCH);
}
