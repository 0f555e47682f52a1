// The plain model of the tool's rules: a second implementation that the unit tests, the fuzz
// targets and the benchmarks all compare with (the benchmarks' plain build decodes with it).
// It is written the straightforward way on purpose: a byte-by-byte text-mode stream, lines
// split with strtok and numbers read with strtol, and the payload walk exactly as described
// in the README, with its bound re-taken at every step. Speed is no concern here, beyond the
// frame decoder allocating nothing, so that the plain build is a fair yardstick.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace model {

constexpr int kLineChars = 19999;

enum class Read { line, last_line, no_line };

struct Line {
    Read status;
    std::string bytes; // as read, NULs included
    std::string text() const { return bytes.substr(0, bytes.find('\0')); }
};

// Every read of a file's bytes, up to and including the first that is not `line`.
inline std::vector<Line> read_lines(const std::string& file) {
    size_t i = 0;
    bool eof = false;
    auto getc_text = [&]() -> int {
        if (i >= file.size()) {
            eof = true;
            return EOF;
        }
        const int c = static_cast<unsigned char>(file[i++]);
        if (c == '\r') {
            if (i >= file.size()) {
                eof = true; // the look-ahead found the end of the file: the CR stays
                return c;
            }
            if (file[i] == '\n') {
                ++i;
                return '\n';
            }
        }
        return c;
    };
    std::vector<Line> lines;
    for (;;) {
        std::string s;
        while (static_cast<int>(s.size()) < kLineChars) {
            const int c = getc_text();
            if (c == EOF)
                break;
            s += static_cast<char>(c);
            if (c == '\n')
                break;
        }
        if (eof) {
            lines.push_back({s.empty() ? Read::no_line : Read::last_line, s});
            return lines;
        }
        lines.push_back({Read::line, s});
    }
}

// strtol in `base`, accepted only when it read digits and the value fits 32 signed bits.
inline bool number(const char* token, int base, int32_t& value) {
    errno = 0;
    char* stop = nullptr;
    const long v = std::strtol(token, &stop, base);
    if (stop == token || errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
        return false;
    value = static_cast<int32_t>(v);
    return true;
}

// Tokens of `text` split with strtok at any of `separators`.
inline std::vector<std::string> split(const std::string& text, const char* separators) {
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    std::vector<std::string> tokens;
    for (char* t = std::strtok(buf.data(), separators); t != nullptr;
         t = std::strtok(nullptr, separators))
        tokens.emplace_back(t);
    return tokens;
}

enum class Frame { ok, blank, bad_id, not_image, short_line, bad_token, bad_counter };

struct Decoded {
    Frame status;
    int32_t id = 0;
    int32_t counter = 0;
    int32_t rda[170] = {};
};

// Decodes the NUL-terminated frame line `line` into `d`; strtok writes into the line. Not
// reentrant: the tokens' values are kept in static tables.
inline void decode_in_place(char* line, Decoded& d) {
    constexpr int kMaxTokens = 20000; // a line of 19,999 characters holds fewer
    static int32_t raw[kMaxTokens];
    static bool number_ok[kMaxTokens];
    d.status = Frame::blank;
    if (line[std::strspn(line, " \t\n\v\f\r")] == '\0')
        return;
    const char* t = std::strtok(line, " ");
    if (!number(t, 16, d.id)) {
        d.status = Frame::bad_id;
        return;
    }
    if (d.id != 0xC0 && d.id != 0xC1) {
        d.status = Frame::not_image;
        return;
    }
    int ntok = 1;
    raw[0] = d.id;
    for (; (t = std::strtok(nullptr, " ")) != nullptr && ntok < kMaxTokens; ++ntok)
        number_ok[ntok] = number(t, 16, raw[ntok]);
    int nesc = 0;
    int p = 0;
    for (int k = 19; k <= 19 + 167 + nesc; ++k) {
        if (k >= ntok) {
            d.status = Frame::short_line;
            return;
        }
        if (!number_ok[k]) {
            d.status = Frame::bad_token;
            return;
        }
        const int32_t v = raw[k];
        d.rda[p] = v;
        if (k > 19 && raw[k - 1] == 0xDB && v == 0xDC) {
            d.rda[p - 1] = 0xC0;
            ++nesc;
        } else if (k > 19 && raw[k - 1] == 0xDB && v == 0xDD) {
            d.rda[p - 1] = 0xDB;
            ++nesc;
        } else {
            ++p;
        }
    }
    d.counter = static_cast<int32_t>((static_cast<uint32_t>(d.rda[0]) << 16) |
                                     (static_cast<uint32_t>(d.rda[1]) << 8) |
                                     static_cast<uint32_t>(d.rda[2]));
    d.status = d.counter < 0 ? Frame::bad_counter : Frame::ok;
}

// Decodes the frame line `text`, up to its first NUL.
inline Decoded decode(const std::string& text) {
    std::vector<char> line(text.begin(), text.end());
    line.push_back('\0');
    Decoded d{Frame::blank};
    decode_in_place(line.data(), d);
    return d;
}

enum class Name { ok, too_few_pieces, not_a_number };

inline Name parse_name(const std::string& text, std::string& na, int32_t range[4]) {
    na = text.substr(0, text.find('\n'));
    // Pieces are taken in turn: the first that is missing or not a number decides.
    // The range comes from the text after the last path separator of either kind.
    const size_t sep = text.find_last_of("/\\");
    const std::vector<std::string> pieces =
        split(sep == std::string::npos ? text : text.substr(sep + 1), "_");
    for (size_t k = 1; k < 5; ++k) {
        if (k >= pieces.size())
            return Name::too_few_pieces;
        if (!number(pieces[k].c_str(), 10, range[k - 1]))
            return Name::not_a_number;
    }
    return Name::ok;
}

// The second space-separated token of a head line, read as decimal.
inline bool head_value(const std::string& text, int32_t& value) {
    const std::vector<std::string> tokens = split(text, " ");
    return tokens.size() >= 2 && number(tokens[1].c_str(), 10, value);
}

inline std::string format(const char* f, long long a = 0, long long b = 0, long long c = 0,
                          long long d = 0) {
    char buf[128];
    std::snprintf(buf, sizeof buf, f, a, b, c, d);
    return buf;
}

struct Outcome {
    int status;         // 0 or -1
    std::string log;    // the console log
    bool wrote_output;  // whether output.bin was written at all
    std::string output; // its content when written
};

// Runs the model in the current directory: reads file_info.txt and the captures it names
// with plain fopen/fread. Writes output.bin blank where the tool would, so that a capture
// naming it reads what the tool would read.
inline Outcome run() {
    Outcome o{-1, "Program start ver.3\r\n", false, {}};
    auto slurp = [](const std::string& name, std::string& bytes) -> int {
        std::FILE* f = std::fopen(name.c_str(), "rb");
        if (f == nullptr)
            return 1; // cannot open
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            bytes.append(buf, n);
        const bool failed = std::ferror(f) != 0;
        std::fclose(f);
        return failed ? 2 : 0;
    };
    auto fail = [&o](const char* message) {
        o.log += message;
        o.status = -1;
        return o;
    };

    std::string info_bytes;
    const int info_open = slurp("file_info.txt", info_bytes);
    if (info_open == 1)
        return fail("read file open error.\r\n");
    if (info_open == 2)
        return fail("read file read error.\r\n");
    const std::vector<Line> info = read_lines(info_bytes);
    size_t next = 0;
    if (info[next++].status == Read::no_line)
        return fail("read file format error.\r\n");
    int32_t head[3] = {};
    const char* labels[3] = {"imagesize=%lld\r\n", "numfile=%lld\r\n", "SC_S=%lld\r\n"};
    for (int k = 0; k < 3; ++k) {
        if (next >= info.size() || info[next].status == Read::no_line)
            return fail("read file format error.\r\n");
        if (!head_value(info[next++].text(), head[k]))
            return fail("read file format error.\r\n");
        o.log += format(labels[k], head[k]);
    }
    const int32_t imagesize = head[0], numfile = head[1], SC_S = head[2];
    if (imagesize < 0 || imagesize > 23998976)
        return fail("imagesize error.\r\n");
    const size_t outsize = static_cast<size_t>(imagesize) + 1024;
    static std::string image(24000000, '\0'); // bytes past outsize are never looked at
    std::memset(image.data(), 0xFF, outsize);
    std::FILE* blank = std::fopen("output.bin", "wb");
    std::fwrite(image.data(), 1, outsize, blank);
    std::fclose(blank);
    o.wrote_output = true;
    o.output = image.substr(0, outsize);

    std::vector<int> judgeo(20000, 0);
    long long rangekeyo = 0;
    for (int32_t i = 0; i < numfile; ++i) {
        o.log += format("\r\ni=%lld\r\n", i);
        if (next >= info.size() || info[next].status == Read::no_line)
            return fail("read file format error.\r\n");
        std::string na;
        int32_t r[4];
        if (parse_name(info[next++].text(), na, r) != Name::ok)
            return fail("read file format error.\r\n");
        o.log += "na=" + na + "\r\n" +
                 format("SSC=%lld SP=%lld ESC=%lld EP=%lld\r\n", r[0], r[1], r[2], r[3]);
        const long long key = 0LL + r[0] + r[1] + r[2] + r[3];
        const long long npage = (r[2] * 1024LL + r[3]) - (r[0] * 1024LL + r[1]) + 1;
        if (npage < 1 || npage > 12734)
            return fail("range error.\r\n");
        const int mcomsize = static_cast<int>(npage * 256 / 163 + 1);
        const long long base = ((static_cast<long long>(r[0]) - SC_S) * 1024 + r[1]) * 256;
        const long long limit = base + npage * 256;
        o.log += format("mcomsize=%lld\r\n", mcomsize);

        std::string bytes;
        const int opened = slurp(na, bytes);
        if (opened == 1)
            return fail("read file open error.\r\n");
        if (opened == 2)
            return fail("read file read error.\r\n");
        std::vector<int> judge(static_cast<size_t>(mcomsize), 0);
        const std::vector<Line> lines = read_lines(bytes);
        for (size_t n = 0; n < lines.size() && lines[n].status == Read::line; ++n) {
            const Decoded d = decode(lines[n].text());
            if (d.status == Frame::not_image) {
                o.log += format("ID=%llx\r\nDATA IS NOT IMAGE DATA\r\nSTOP\r\n",
                                static_cast<uint32_t>(d.id));
            } else if (d.status != Frame::ok && d.status != Frame::blank) {
                o.log +=
                    format("line %lld is not a valid frame.\r\n", static_cast<long long>(n + 1));
            }
            if (d.status != Frame::ok)
                continue;
            const int PN = d.counter % mcomsize;
            judge[static_cast<size_t>(PN)] = 1;
            const long long start = base + 163LL * PN;
            for (long long off = start; off < start + 163; ++off) {
                if (off <= limit && off >= 0 && off < 24000000)
                    image[static_cast<size_t>(off)] =
                        static_cast<char>(d.rda[4 + (off - start)] & 0xFF);
            }
        }
        o.log += "\r\n";
        int loss = 0;
        for (int m = 0; m < mcomsize; ++m) {
            int got = judge[static_cast<size_t>(m)];
            if (key == rangekeyo)
                got |= judgeo[static_cast<size_t>(m)];
            judgeo[static_cast<size_t>(m)] = got;
            if (!got) {
                o.log += format("PN=%lld is lacked.\r\n", m);
                ++loss;
            }
        }
        if (loss == 0)
            o.log += "loss num = 0.\r\n";
        o.log += format("loss_num=%lld\r\n", loss);
        rangekeyo = key;
    }
    o.output = image.substr(0, outsize);
    o.log += "Program is finished.\r\n";
    o.status = 0;
    return o;
}

} // namespace model
