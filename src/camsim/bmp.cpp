// Dark frames as BMP files.
//
// The reader takes whatever a user points the camera at, so it trusts nothing:
// the whole file is read into memory (up to a size cap) and every field is
// range-checked with 64-bit arithmetic before any pixel is touched.
#include "bmp.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ASICamera2.h"

namespace camsim {

namespace {

constexpr std::uint64_t kMaxFileBytes = 512ull << 20;
constexpr std::int64_t kMaxDimension = 1 << 16;  // larger than any sensor
constexpr std::uint64_t kFileHeader = 14;

std::uint32_t u32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}
std::uint16_t u16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::int32_t i32(const std::uint8_t* p) { return static_cast<std::int32_t>(u32(p)); }

void put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(std::uint8_t* p, std::uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}

// The file's bytes, or an error code. Only regular files are read: a FIFO or a
// device could block or never end.
int read_file(const char* path, std::vector<std::uint8_t>& data) {
    if (path == nullptr || *path == '\0') return ASI_ERROR_INVALID_PATH;
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return ASI_ERROR_INVALID_PATH;
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return ASI_ERROR_INVALID_PATH;
    if (st.st_size < 0) return ASI_ERROR_INVALID_PATH;
    if (static_cast<std::uint64_t>(st.st_size) > kMaxFileBytes) return ASI_ERROR_INVALID_FILEFORMAT;
    data.resize(static_cast<std::size_t>(st.st_size));
    std::size_t got = 0;
    while (got < data.size()) {
        const ssize_t r = ::read(fd, data.data() + got, data.size() - got);
        if (r < 0) {
            if (errno == EINTR) continue;
            return ASI_ERROR_INVALID_PATH;
        }
        if (r == 0) break;  // shrank while reading: what we have is the file
        got += static_cast<std::size_t>(r);
    }
    data.resize(got);
    return ASI_SUCCESS;
}

int parse(const std::vector<std::uint8_t>& f, int width, int height, std::vector<std::uint8_t>& out) {
    constexpr int bad = ASI_ERROR_INVALID_FILEFORMAT;
    const std::uint64_t size = f.size();
    if (size < kFileHeader + 4 || f[0] != 'B' || f[1] != 'M') return bad;
    const std::uint64_t pixel_offset = u32(&f[10]);
    const std::uint64_t header = u32(&f[14]);
    // BITMAPINFOHEADER and its extensions (V2, V3, V4, V5); not the old core header.
    if (header != 40 && header != 52 && header != 56 && header != 108 && header != 124) return bad;
    if (kFileHeader + header > size) return bad;
    const std::uint8_t* h = &f[kFileHeader];
    const std::int64_t w = i32(h + 4);
    const std::int64_t raw_h = i32(h + 8);
    const std::uint16_t planes = u16(h + 12);
    const std::uint16_t bits = u16(h + 14);
    const std::uint32_t compression = u32(h + 16);
    const std::uint32_t colours_used = u32(h + 32);
    const bool top_down = raw_h < 0;
    const std::int64_t rows = top_down ? -raw_h : raw_h;
    if (planes != 1) return bad;
    if (w <= 0 || rows <= 0 || w > kMaxDimension || rows > kMaxDimension) return bad;
    if (bits != 8 && bits != 24 && bits != 32) return bad;

    // Which byte of a 32-bit pixel holds green: BI_RGB, or BI_BITFIELDS with
    // byte-aligned masks (the masks follow a 40-byte header, or sit inside later ones).
    std::uint64_t green_byte = 1;
    std::uint64_t palette_start = kFileHeader + header;
    if (compression == 3 && bits == 32) {
        const std::uint64_t masks = kFileHeader + 40;
        if (masks + 12 > size) return bad;
        const std::uint32_t green_mask = u32(&f[masks + 4]);
        if (green_mask == 0x0000FF00u) green_byte = 1;
        else if (green_mask == 0x00FF0000u) green_byte = 2;
        else if (green_mask == 0x000000FFu) green_byte = 0;
        else if (green_mask == 0xFF000000u) green_byte = 3;
        else return bad;
        if (header == 40) palette_start += 12;
    } else if (compression != 0) {
        return bad;
    }
    if (w != width || rows != height) return bad;

    const std::uint64_t stride = (static_cast<std::uint64_t>(w) * bits + 31) / 32 * 4;
    const std::uint64_t data_bytes = stride * static_cast<std::uint64_t>(rows);
    if (pixel_offset < kFileHeader + header || pixel_offset > size || data_bytes > size - pixel_offset) return bad;

    std::uint8_t palette[256];
    if (bits == 8) {
        const std::uint64_t entries = colours_used == 0 ? 256 : colours_used;
        if (entries > 256) return bad;
        if (palette_start + entries * 4 > pixel_offset) return bad;  // also keeps it inside the file
        std::memset(palette, 0, sizeof palette);
        for (std::uint64_t i = 0; i < entries; ++i) palette[i] = f[palette_start + i * 4 + 1];  // B G R x: green
        for (std::int64_t y = 0; y < rows; ++y) {
            const std::uint8_t* src = &f[pixel_offset + static_cast<std::uint64_t>(y) * stride];
            for (std::int64_t x = 0; x < w; ++x)
                if (src[x] >= entries) return bad;
        }
        out.resize(static_cast<std::size_t>(w * rows));
        for (std::int64_t y = 0; y < rows; ++y) {
            const std::uint8_t* src = &f[pixel_offset + static_cast<std::uint64_t>(y) * stride];
            std::uint8_t* dst = out.data() + (top_down ? y : rows - 1 - y) * w;
            for (std::int64_t x = 0; x < w; ++x) dst[x] = palette[src[x]];
        }
        return ASI_SUCCESS;
    }

    const std::uint64_t px = bits / 8;
    const std::uint64_t g = bits == 32 ? green_byte : 1;
    out.resize(static_cast<std::size_t>(w * rows));
    for (std::int64_t y = 0; y < rows; ++y) {
        const std::uint8_t* src = &f[pixel_offset + static_cast<std::uint64_t>(y) * stride];
        std::uint8_t* dst = out.data() + (top_down ? y : rows - 1 - y) * w;
        for (std::int64_t x = 0; x < w; ++x) dst[x] = src[static_cast<std::uint64_t>(x) * px + g];
    }
    return ASI_SUCCESS;
}

}  // namespace

int load_dark_bmp(const char* path, int width, int height, std::vector<std::uint8_t>& out) {
    std::vector<std::uint8_t> file;
    if (const int rc = read_file(path, file); rc != ASI_SUCCESS) return rc;
    std::vector<std::uint8_t> pixels;
    if (const int rc = parse(file, width, height, pixels); rc != ASI_SUCCESS) return rc;
    out.swap(pixels);
    return ASI_SUCCESS;
}

bool write_grey_bmp(const char* path, int width, int height, const std::uint8_t* pixels) {
    if (path == nullptr || *path == '\0' || pixels == nullptr || width <= 0 || height <= 0 ||
        width > kMaxDimension || height > kMaxDimension)
        return false;
    const std::uint32_t stride = (static_cast<std::uint32_t>(width) + 3u) & ~3u;
    const std::uint32_t offset = 14 + 40 + 256 * 4;
    const std::uint64_t image = static_cast<std::uint64_t>(stride) * static_cast<std::uint32_t>(height);
    if (offset + image > 0xFFFFFFFFull) return false;

    std::vector<std::uint8_t> head(offset, 0);
    head[0] = 'B';
    head[1] = 'M';
    put32(&head[2], static_cast<std::uint32_t>(offset + image));
    put32(&head[10], offset);
    put32(&head[14], 40);
    put32(&head[18], static_cast<std::uint32_t>(width));
    put32(&head[22], static_cast<std::uint32_t>(height));  // positive: bottom-up rows
    put16(&head[26], 1);
    put16(&head[28], 8);
    put32(&head[34], static_cast<std::uint32_t>(image));
    put32(&head[38], 2835);  // 72 dpi
    put32(&head[42], 2835);
    put32(&head[46], 256);
    for (int i = 0; i < 256; ++i) {
        std::uint8_t* e = &head[54 + i * 4];
        e[0] = e[1] = e[2] = static_cast<std::uint8_t>(i);
    }

    std::FILE* fp = std::fopen(path, "wb");
    if (fp == nullptr) return false;
    bool ok = std::fwrite(head.data(), 1, head.size(), fp) == head.size();
    std::vector<std::uint8_t> row(stride, 0);
    for (int y = height - 1; ok && y >= 0; --y) {
        std::memcpy(row.data(), pixels + static_cast<std::size_t>(y) * static_cast<std::size_t>(width),
                    static_cast<std::size_t>(width));
        ok = std::fwrite(row.data(), 1, row.size(), fp) == row.size();
    }
    ok = (std::fclose(fp) == 0) && ok;
    if (!ok) std::remove(path);
    return ok;
}

}  // namespace camsim
