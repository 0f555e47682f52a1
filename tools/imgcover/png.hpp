// PNG files of 8-bit RGB pictures, written row by row straight into their bytes: the one PNG
// writer of every picture imgcover draws. Rows are unfiltered and go through zlib's deflate,
// so the bytes are the same wherever the same zlib builds them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <zlib.h>

namespace imgcover {

// How the rows are deflated: at zlib's fastest level (flat colours shrink many times), or
// stored as they are (the fastest to write; for pictures of received data, which barely shrink).
enum class Compression { fastest, stored };

// Bytes of deflate output a chunk of pixel data holds at most.
inline constexpr size_t kIdatBytes = size_t{1} << 16;

// A PNG being written: the signature and IHDR at once, the rows one at a time into IDAT chunks
// of at most kIdatBytes, and IEND when it is finished. Every chunk carries the CRC of its type
// and data, and the zlib stream ends with the Adler-32 of the rows.
class PngWriter {
  public:
    // Starts a picture of `width` x `height` pixels (both 1 to 2^31 - 1). Throws
    // std::bad_alloc when zlib has no memory.
    PngWriter(int32_t width, int32_t height, Compression level);
    ~PngWriter();
    PngWriter(const PngWriter&) = delete;
    PngWriter& operator=(const PngWriter&) = delete;

    // Appends the next row: `width` pixels of three bytes, red, green, blue.
    void row(const uint8_t* rgb);
    // The PNG bytes, once `height` rows are in; throws std::logic_error when some are not.
    std::string finish();

  private:
    z_stream z_{};
    std::string out_;
    std::string pending_; // deflate output not yet in a chunk
    size_t stride_;
    int32_t rows_left_;
    void deflate_into(const unsigned char* p, size_t n, int flush);
    void chunk(const char* type, const unsigned char* data, size_t n);
};

// A whole picture as PNG bytes: `width` x `height` RGB pixels, rows packed.
std::string encode_png(int32_t width, int32_t height, const uint8_t* rgb, Compression level);

} // namespace imgcover
