// libFuzzer harness: each input is a sequence of calls over the simulator's C entry
// points (see tests/native/driver.hpp), run on both cameras from a freshly reset library.
#include <cstdint>
#include <cstdlib>

#include "../native/driver.hpp"

namespace {

class Input final : public drive::Bytes {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t next() override { return pos_ < size_ ? data_[pos_++] : 0; }
    bool more() const { return pos_ < size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    camsim_reset();
    for (int cam = 0; cam < 2; ++cam) {  // small regions and short exposures keep each input quick
        ASIOpenCamera(cam);
        ASIInitCamera(cam);
        ASISetROIFormat(cam, 32, 16, 1, ASI_IMG_RAW8);
        ASISetControlValue(cam, ASI_EXPOSURE, 100, ASI_FALSE);
    }
    Input in(data, size);
    while (in.more())
        if (!drive::step(in, 2)) std::abort();
    camsim_reset();
    return 0;
}
