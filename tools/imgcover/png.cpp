#include "png.hpp"

#include <new>
#include <stdexcept>

namespace imgcover {

namespace {

void put32(std::string& out, uint32_t v) {
    const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
    out.append(b, 4);
}

} // namespace

PngWriter::PngWriter(int32_t width, int32_t height, Compression level)
    : stride_(static_cast<size_t>(width) * 3), rows_left_(height) {
    if (width <= 0 || height <= 0)
        throw std::logic_error("a PNG needs at least one pixel");
    // The window and memory of zlib's defaults, named: the bytes depend on them.
    if (deflateInit2(&z_, level == Compression::fastest ? 1 : 0, Z_DEFLATED, 15, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::bad_alloc();
    // Room for the whole file at once: growing it while deflating would copy it again and again.
    const uLong raw = static_cast<uLong>((stride_ + 1) * static_cast<size_t>(height));
    const size_t bound = deflateBound(&z_, raw);
    out_.reserve(8 + 25 + bound + 12 * (bound / kIdatBytes + 1) + 12);
    pending_.reserve(kIdatBytes);
    out_.append("\x89PNG\r\n\x1a\n", 8);
    unsigned char ihdr[13];
    const uint32_t w = static_cast<uint32_t>(width), h = static_cast<uint32_t>(height);
    for (int k = 0; k < 4; ++k) {
        ihdr[k] = static_cast<unsigned char>(w >> (24 - 8 * k));
        ihdr[4 + k] = static_cast<unsigned char>(h >> (24 - 8 * k));
    }
    ihdr[8] = 8;  // bits a sample
    ihdr[9] = 2;  // RGB
    ihdr[10] = 0; // deflate
    ihdr[11] = 0; // the five filters
    ihdr[12] = 0; // not interlaced
    chunk("IHDR", ihdr, sizeof ihdr);
}

PngWriter::~PngWriter() {
    deflateEnd(&z_);
}

void PngWriter::chunk(const char* type, const unsigned char* data, size_t n) {
    put32(out_, static_cast<uint32_t>(n));
    out_.append(type, 4);
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
    if (n > 0) {
        out_.append(reinterpret_cast<const char*>(data), n);
        crc = crc32_z(crc, data, n);
    }
    put32(out_, static_cast<uint32_t>(crc));
}

// Deflates [p, p + n); every kIdatBytes of output become a chunk, and with Z_FINISH the rest too.
void PngWriter::deflate_into(const unsigned char* p, size_t n, int flush) {
    z_.next_in = const_cast<Bytef*>(p);
    z_.avail_in = static_cast<uInt>(n);
    unsigned char buf[16384];
    for (;;) {
        z_.next_out = buf;
        z_.avail_out = sizeof buf;
        const int status = deflate(&z_, flush);
        if (status == Z_STREAM_ERROR)
            throw std::logic_error("deflate refused its stream");
        pending_.append(reinterpret_cast<const char*>(buf), sizeof buf - z_.avail_out);
        while (pending_.size() >= kIdatBytes) {
            chunk("IDAT", reinterpret_cast<const unsigned char*>(pending_.data()), kIdatBytes);
            pending_.erase(0, kIdatBytes);
        }
        if (flush == Z_FINISH ? status == Z_STREAM_END : z_.avail_out != 0)
            break;
    }
}

void PngWriter::row(const uint8_t* rgb) {
    if (rows_left_ <= 0)
        throw std::logic_error("a PNG row past its height");
    const unsigned char filter = 0; // none
    deflate_into(&filter, 1, Z_NO_FLUSH);
    deflate_into(rgb, stride_, Z_NO_FLUSH);
    --rows_left_;
}

std::string PngWriter::finish() {
    if (rows_left_ != 0)
        throw std::logic_error("a PNG finished before its last row");
    deflate_into(nullptr, 0, Z_FINISH);
    if (!pending_.empty())
        chunk("IDAT", reinterpret_cast<const unsigned char*>(pending_.data()), pending_.size());
    pending_.clear();
    chunk("IEND", nullptr, 0);
    return std::move(out_);
}

std::string encode_png(int32_t width, int32_t height, const uint8_t* rgb, Compression level) {
    PngWriter png(width, height, level);
    const size_t stride = static_cast<size_t>(width) * 3;
    for (int32_t y = 0; y < height; ++y)
        png.row(rgb + static_cast<size_t>(y) * stride);
    return png.finish();
}

} // namespace imgcover
