// SDK result codes as one line a user can act on.
#pragma once

namespace asi {

// "ASI_ERROR_TIMEOUT (the frame did not arrive in time)"; unknown codes are numbered.
const char *describe(int code);

// The code named by `text` ("ASI_ERROR_TIMEOUT", "TIMEOUT" or "11"), or -1.
int code_named(const char *text);

}  // namespace asi
