#include "capture/line_reader.hpp"

#include <algorithm>
#include <cstring>

namespace imgrebuild {

namespace {

// The helper's states: waiting for a request, asked to read, done reading, asked to end.
constexpr int32_t kIdle = 0;
constexpr int32_t kAsked = 1;
constexpr int32_t kDone = 2;
constexpr int32_t kQuit = 3;

// The helper thread: one read per request, until asked to end.
void ahead_work(ReadAhead* a) {
    for (;;) {
        int32_t s = a->state.load(std::memory_order_acquire);
        while (s != kAsked && s != kQuit) {
            a->state.wait(s, std::memory_order_acquire);
            s = a->state.load(std::memory_order_acquire);
        }
        if (s == kQuit)
            return;
        a->got = std::fread(a->into, 1, static_cast<size_t>(a->chunk), a->file);
        a->error = std::ferror(a->file) != 0;
        a->state.store(kDone, std::memory_order_release);
        a->state.notify_one();
    }
}

// Asks the helper (idle) to read `chunk` bytes of `file` into `into`.
void ahead_ask(ReadAhead& a, std::FILE* file, unsigned char* into, int32_t chunk) {
    a.file = file;
    a.into = into;
    a.chunk = chunk;
    a.state.store(kAsked, std::memory_order_release);
    a.state.notify_one();
}

// Waits until the helper has made the read it was asked for, if any; it is idle after.
void ahead_wait(ReadAhead& a) {
    for (int32_t s = a.state.load(std::memory_order_acquire); s == kAsked;
         s = a.state.load(std::memory_order_acquire))
        a.state.wait(kAsked, std::memory_order_acquire);
    a.state.store(kIdle, std::memory_order_relaxed);
}

// Makes sure a byte is waiting in the current refill; false at the end of the file or on a
// failed read.
bool refill(LineReader& r) {
    if (r.pos < r.fill)
        return true;
    if (r.at_end || r.failed)
        return false;
    size_t got = 0;
    bool error = false;
    if (r.ahead != nullptr) {
        // The helper's read becomes the current refill, and it starts on the next one in the
        // buffer just handled, unless this one found the end or a failure.
        ReadAhead& a = *r.ahead;
        ahead_wait(a);
        got = a.got;
        error = a.error;
        r.data = a.into;
        if (got > 0)
            ahead_ask(a, r.file, a.into == a.buf ? r.buf : a.buf, r.chunk);
    } else {
        got = std::fread(r.buf, 1, static_cast<size_t>(r.chunk), r.file);
        error = got == 0 && std::ferror(r.file) != 0;
        r.data = r.buf;
    }
    r.pos = 0;
    r.fill = static_cast<int32_t>(got);
    r.taken += static_cast<int64_t>(got);
    if (got > 0)
        return true;
    if (error)
        r.failed = true;
    else
        r.at_end = true;
    return false;
}

} // namespace

bool ahead_start(ReadAhead& ahead) {
    ahead.state.store(kIdle);
    try {
        ahead.worker = std::thread(ahead_work, &ahead);
    } catch (...) {
        return false;
    }
    return true;
}

void ahead_stop(ReadAhead& ahead) {
    if (!ahead.worker.joinable())
        return;
    ahead_wait(ahead);
    ahead.state.store(kQuit, std::memory_order_release);
    ahead.state.notify_one();
    ahead.worker.join();
}

ReadAhead::~ReadAhead() {
    ahead_stop(*this);
}

void reader_open(LineReader& reader, std::FILE* file, int32_t chunk, ReadAhead* ahead) {
    reader.file = file;
    reader.chunk = std::clamp(chunk, 1, kReadChunk);
    reader.pos = 0;
    reader.fill = 0;
    reader.at_end = false;
    reader.failed = false;
    reader.taken = 0;
    reader.ahead = ahead;
    reader.data = reader.buf;
    if (ahead != nullptr)
        ahead_ask(*ahead, file, ahead->buf, reader.chunk);
}

void reader_close(LineReader& reader) {
    if (reader.ahead != nullptr)
        ahead_wait(*reader.ahead);
    reader.ahead = nullptr;
}

ReadStatus read_line(LineReader& r, char* data, int32_t& length) {
    constexpr int32_t kMax = kLineCap - 1;
    int32_t n = 0;
    bool done = false;
    while (!done && n < kMax && refill(r)) {
        // A CR that ended the previous chunk pairs with an LF that starts this one.
        if (n > 0 && data[n - 1] == '\r' && r.data[r.pos] == '\n') {
            data[n - 1] = '\n';
            ++r.pos;
            break;
        }
        const unsigned char* from = r.data + r.pos;
        const int32_t room = kMax - n;
        // Look one byte past the room: a CR LF there still fits, as the CR is dropped.
        const int32_t window = std::min(r.fill - r.pos, room + 1);
        const auto* lf = static_cast<const unsigned char*>(std::memchr(from, '\n', window));
        int32_t take = std::min(window, room); // bytes consumed, and stored as they are
        if (lf != nullptr) {
            const int32_t upto = static_cast<int32_t>(lf - from) + 1;
            if (upto >= 2 && from[upto - 2] == '\r') {
                std::memcpy(data + n, from, static_cast<size_t>(upto - 2));
                data[n + upto - 2] = '\n';
                n += upto - 1;
                r.pos += upto;
                break;
            }
            done = upto <= room; // else the line feed starts the next piece
            take = std::min(upto, room);
        }
        std::memcpy(data + n, from, static_cast<size_t>(take));
        n += take;
        r.pos += take;
    }
    // A piece that ends in a CR at the limit still looks at the next byte: a line feed there
    // is folded into it, and the end of the file there is reached.
    if (!done && n == kMax && data[n - 1] == '\r' && refill(r) && r.data[r.pos] == '\n') {
        data[n - 1] = '\n';
        ++r.pos;
    }
    data[n] = '\0';
    length = n;
    if (r.failed)
        return ReadStatus::failed;
    if (r.at_end)
        return n == 0 ? ReadStatus::no_line : ReadStatus::last_line;
    return ReadStatus::line;
}

const char* text_end(const char* data, int32_t length) {
    const void* nul = std::memchr(data, '\0', static_cast<size_t>(length));
    return nul != nullptr ? static_cast<const char*>(nul) : data + length;
}

} // namespace imgrebuild
