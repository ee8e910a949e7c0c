// libFuzzer harness for the dark-frame BMP reader. The expected size is taken from the
// input's own header fields, so inputs get past the size check into the pixel code.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ASICamera2.h"
#include "bmp.hpp"

namespace {

std::int32_t field(const std::uint8_t* data, std::size_t size, std::size_t at) {
    if (at + 4 > size) return 1;
    return static_cast<std::int32_t>(std::uint32_t{data[at]} | std::uint32_t{data[at + 1]} << 8 |
                                     std::uint32_t{data[at + 2]} << 16 | std::uint32_t{data[at + 3]} << 24);
}

struct Scratch {
    std::string path;
    int fd;
    Scratch() {
        const char* dir = std::getenv("TMPDIR");
        path = std::string(dir && *dir ? dir : "/tmp") + "/orlicam-fuzz-bmp-" + std::to_string(::getpid()) + ".bmp";
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        if (fd < 0) std::abort();
    }
    ~Scratch() { ::unlink(path.c_str()); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Scratch scratch;
    if (::ftruncate(scratch.fd, 0) != 0) std::abort();
    if (size && ::pwrite(scratch.fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
    std::int64_t w = field(data, size, 18), h = field(data, size, 22);
    if (h < 0) h = -h;
    if (w <= 0 || w > 4096 || h <= 0 || h > 4096) w = h = 1;
    std::vector<std::uint8_t> out;
    int rc = camsim::load_dark_bmp(scratch.path.c_str(), static_cast<int>(w), static_cast<int>(h), out);
    if (rc == ASI_SUCCESS && out.size() != static_cast<std::size_t>(w * h)) std::abort();  // wrong pixel count
    if (rc != ASI_SUCCESS && rc != ASI_ERROR_INVALID_FILEFORMAT && rc != ASI_ERROR_INVALID_PATH) std::abort();
    return 0;
}
