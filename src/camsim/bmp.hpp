// Dark frames as BMP files: a careful reader and a writer.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace camsim {

// Reads an uncompressed BMP (8-bit palette/grey, 24-bit or 32-bit) of exactly
// width x height pixels into one grey byte per pixel, top row first.
// Returns ASI_SUCCESS, ASI_ERROR_INVALID_PATH (missing or unreadable file) or
// ASI_ERROR_INVALID_FILEFORMAT (not a BMP, truncated, unsupported, wrong size).
// Never reads outside the file's data, whatever the file holds.
int load_dark_bmp(const char* path, int width, int height, std::vector<std::uint8_t>& out);

// Writes an 8-bit greyscale BMP (with a grey palette) of width x height pixels,
// top row first in `pixels`. Returns true on success.
bool write_grey_bmp(const char* path, int width, int height, const std::uint8_t* pixels);

}  // namespace camsim
