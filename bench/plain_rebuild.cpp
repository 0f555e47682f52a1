// The plain way to build the same tool: fgets for lines, strtok for tokens, strtol for numbers.
// It follows the same rules and prints the same log, and serves only as the yardstick that
// imgrebuild's speed is measured against. (Unlike imgrebuild it does not read lines longer
// than 19,999 characters in pieces with CR/LF folding across them; framesim never writes any.)
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "plain_model.hpp"

namespace {

char data[20000];
char na[20000];
model::Decoded frame;
int32_t judge[20000], judgeo[20000], result[20000];
unsigned char imagebuf[24000000];

// fgets, with a CR before the final LF dropped as a text-mode read would.
char* read_line(std::FILE* f) {
    if (std::fgets(data, sizeof data, f) == nullptr)
        return nullptr;
    const size_t n = std::strlen(data);
    if (n >= 2 && data[n - 2] == '\r' && data[n - 1] == '\n') {
        data[n - 2] = '\n';
        data[n - 1] = '\0';
    }
    return data;
}

bool head_value(std::FILE* f, int32_t& value) {
    if (read_line(f) == nullptr || std::strtok(data, " ") == nullptr)
        return false;
    const char* second = std::strtok(nullptr, " ");
    return second != nullptr && model::number(second, 10, value);
}

int fail(const char* message) {
    std::printf("%s", message);
    return -1;
}

bool write_output(int32_t outsize, const char* name = "output.bin") {
    std::FILE* f = std::fopen(name, "wb");
    if (f == nullptr)
        return false;
    std::fwrite(imagebuf, 1, static_cast<size_t>(outsize), f);
    std::fclose(f);
    return true;
}

// The image replaces the blank through a new file and a rename, as every build must, so that
// output.bin is never half written.
bool replace_output(int32_t outsize) {
    return write_output(outsize, "output.bin.tmp") &&
           std::rename("output.bin.tmp", "output.bin") == 0;
}

} // namespace

int main() {
    std::printf("Program start ver.3\r\n");
    std::FILE* info = std::fopen("file_info.txt", "r");
    if (info == nullptr)
        return fail("read file open error.\r\n");
    int32_t imagesize = 0, numfile = 0, SC_S = 0;
    if (read_line(info) == nullptr || !head_value(info, imagesize))
        return fail("read file format error.\r\n");
    std::printf("imagesize=%d\r\n", imagesize);
    if (!head_value(info, numfile))
        return fail("read file format error.\r\n");
    std::printf("numfile=%d\r\n", numfile);
    if (!head_value(info, SC_S))
        return fail("read file format error.\r\n");
    std::printf("SC_S=%d\r\n", SC_S);
    if (imagesize < 0 || imagesize > 23998976)
        return fail("imagesize error.\r\n");
    const int32_t outsize = imagesize + 1024;
    std::memset(imagebuf, 0xFF, static_cast<size_t>(outsize));
    if (!write_output(outsize))
        return fail("write file open error.\r\n");

    int64_t rangekeyo = 0;
    for (int32_t i = 0; i < numfile; ++i) {
        std::printf("\r\ni=%d\r\n", i);
        if (read_line(info) == nullptr)
            return fail("read file format error.\r\n");
        std::strcpy(na, data);
        na[std::strcspn(na, "\n")] = '\0';
        int32_t r[4];
        std::strtok(data, "_");
        for (int k = 0; k < 4; ++k) {
            const char* piece = std::strtok(nullptr, "_");
            if (piece == nullptr || !model::number(piece, 10, r[k]))
                return fail("read file format error.\r\n");
        }
        std::printf("na=%s\r\nSSC=%d SP=%d ESC=%d EP=%d\r\n", na, r[0], r[1], r[2], r[3]);
        const int64_t rangekey = int64_t{r[0]} + r[1] + r[2] + r[3];
        const int64_t npage = (int64_t{r[2]} * 1024 + r[3]) - (int64_t{r[0]} * 1024 + r[1]) + 1;
        if (npage < 1 || npage > 12734)
            return fail("range error.\r\n");
        const int32_t mcomsize = static_cast<int32_t>(npage * 256 / 163 + 1);
        std::memset(judge, 0, sizeof(int32_t) * static_cast<size_t>(mcomsize));
        std::printf("mcomsize=%d\r\n", mcomsize);
        std::FILE* f = std::fopen(na, "r");
        if (f == nullptr)
            return fail("read file open error.\r\n");
        const int64_t base = ((int64_t{r[0]} - SC_S) * 1024 + r[1]) * 256;
        const int64_t limit = base + npage * 256;
        for (int lineno = 1;; ++lineno) {
            const bool got = read_line(f) != nullptr;
            if (!got && !std::feof(f))
                return fail("read file read error.\r\n");
            if (std::feof(f))
                break;
            model::decode_in_place(data, frame);
            if (frame.status == model::Frame::not_image)
                std::printf("ID=%x\r\nDATA IS NOT IMAGE DATA\r\nSTOP\r\n",
                            static_cast<unsigned>(frame.id));
            else if (frame.status != model::Frame::ok && frame.status != model::Frame::blank)
                std::printf("line %d is not a valid frame.\r\n", lineno);
            if (frame.status != model::Frame::ok)
                continue;
            const int32_t* rda = frame.rda;
            const int32_t PN = static_cast<int32_t>(((static_cast<uint32_t>(rda[0]) << 16) |
                                                     (static_cast<uint32_t>(rda[1]) << 8) |
                                                     static_cast<uint32_t>(rda[2])) %
                                                    static_cast<uint32_t>(mcomsize));
            judge[PN] = 1;
            result[PN] = 1;
            const int64_t s = base + 163 * int64_t{PN};
            for (int64_t o = s; o <= s + 162 && o <= limit; ++o) {
                if (o >= 0 && o < 24000000)
                    imagebuf[o] = static_cast<unsigned char>(rda[4 + (o - s)]);
            }
        }
        std::fclose(f);
        if (rangekey == rangekeyo) {
            for (int32_t m = 0; m < mcomsize; ++m)
                result[m] = judge[m] | judgeo[m];
        }
        std::memcpy(judgeo, result, sizeof(int32_t) * static_cast<size_t>(mcomsize));
        std::printf("\r\n");
        int32_t loss_num = 0;
        for (int32_t m = 0; m < mcomsize; ++m) {
            if (result[m] == 0) {
                std::printf("PN=%d is lacked.\r\n", m);
                ++loss_num;
            }
        }
        if (loss_num == 0)
            std::printf("loss num = 0.\r\n");
        rangekeyo = rangekey;
        std::memset(result, 0, sizeof result);
        std::printf("loss_num=%d\r\n", loss_num);
    }
    if (!replace_output(outsize))
        return fail("write file open error.\r\n");
    std::fclose(info);
    std::printf("Program is finished.\r\n");
    std::fflush(stdout);
    std::getchar();
    return 0;
}
