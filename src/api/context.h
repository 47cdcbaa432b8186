// The library context's part that the start in src/init composes.
#pragma once

namespace tarvo::api {

// Clears the path prefix and sets it to ".\".
void path_reset();

}  // namespace tarvo::api
