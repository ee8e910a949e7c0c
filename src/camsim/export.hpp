// The library is built with hidden visibility: only what is marked here is exported.
#pragma once

#define CAMSIM_EXPORT extern "C" __attribute__((visibility("default")))
