// The served view of a watch: the page's state kept under a lock for the HTTP threads, the
// pictures drawn on a thread of their own, and an HTTP server with fixed read-only routes that
// bounds every connection: its request's size and time, how many there are, and how long an
// idle one is kept.
#include "serve.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string_view>

#include "map.hpp"
#include "text.hpp"

#ifdef IMGCOVER_HAVE_HTTPLIB
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include <httplib.h>

#include "page_state.hpp"
#include "plan.hpp"
#endif

namespace imgcover {

namespace {

// An IPv4 address in dotted decimal, or an IPv6 address (without brackets).
bool is_ip_literal(const std::string& host) {
#ifdef IMGCOVER_HAVE_HTTPLIB
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
#else
    return !host.empty() && host.find_first_not_of("0123456789.:abcdefABCDEF") == std::string::npos;
#endif
}

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

bool parse_listen_address(const std::string& text, std::string& host, int& port,
                          std::string& error) {
    std::string port_text = text;
    host = "127.0.0.1";
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = "--serve: an IPv6 address goes in brackets before the port: [::1]:8080";
            return false;
        }
        host = text.substr(1, close - 1);
        port_text = text.substr(close + 2);
        if (!is_ip_literal(host) || host.find(':') == std::string::npos) {
            error = "--serve: not an IPv6 address in brackets: " + text;
            return false;
        }
    } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
        if (text.find(':') != colon) {
            error = "--serve: an IPv6 address goes in brackets before the port: [::1]:8080";
            return false;
        }
        host = text.substr(0, colon);
        port_text = text.substr(colon + 1);
        const auto name_char = [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.';
        };
        if (host.empty() || !std::all_of(host.begin(), host.end(), name_char)) {
            error = "--serve: the address must be a host name or an IP address, not '" + host + "'";
            return false;
        }
    }
    int value = -1;
    const char* end = port_text.data() + port_text.size();
    const auto [ptr, ec] = std::from_chars(port_text.data(), end, value);
    if (port_text.empty() || ec != std::errc() || ptr != end || value < 0 || value > 65535) {
        error = "--serve: the port must be a number from 0 to 65535, not '" + port_text + "'";
        return false;
    }
    port = value;
    return true;
}

bool is_loopback(const std::string& host) {
    const std::string h = lower(host);
    if (h == "localhost" || h == "::1")
        return true;
    if (h.rfind("127.", 0) == 0 && is_ip_literal(h))
        return true;
    return false;
}

#ifndef IMGCOVER_HAVE_HTTPLIB

std::unique_ptr<ServeView> make_serve_view(const ServeSettings&, std::string& error) {
    error = "--serve: this build has no server (it was built without the HTTP library); "
            "use --watch, or run imgcover --serve on a Linux station";
    return nullptr;
}

#else

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Bounds of the server. A request (its line and headers; no route takes a body) is at most
// kRequestBytes and must arrive within kRequestTime; a connection waits kIdleTime for its next
// request; at most kMaxConnections are handled at once (the oldest idle one makes room for a
// new one) and kMaxStreams of them carry pushed updates; a write that cannot go on for
// kWriteTime ends its connection.
constexpr size_t kRequestBytes = 16 * 1024;
constexpr auto kRequestTime = 10s;
constexpr auto kIdleTime = 5s;
constexpr size_t kMaxConnections = 64;
constexpr size_t kMaxWaiting = 64;
constexpr int kMaxStreams = 32;
constexpr auto kWriteTime = 5s;
constexpr size_t kRequestsPerConnection = 100;
constexpr int kBacklog = 256;
// A stream with nothing new sends a comment this often, so that a dead client is noticed.
constexpr auto kStreamBeat = 15s;
// How long finish() waits for the clients to receive the last state.
constexpr auto kFarewell = 2s;
// The picture on the page is scaled to at most this many pixels a side.
constexpr int64_t kPagePictureWide = 1024, kPagePictureHigh = 1536;

int milliseconds_until(Clock::time_point t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - Clock::now());
    return static_cast<int>(std::clamp<int64_t>(ms.count(), 0, 60'000));
}

// Waits until `fd` has `events` or `until` passes; false on timeout or a dead connection.
bool wait_for(int fd, short events, Clock::time_point until) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, milliseconds_until(until));
        if (n > 0)
            return (p.revents & (events | POLLHUP | POLLERR)) != 0;
        if (n == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

std::string address_text(const sockaddr_storage& a) {
    char buf[INET6_ADDRSTRLEN] = "";
    if (a.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, buf, sizeof buf);
    else if (a.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(a).sin6_addr, buf, sizeof buf);
    return buf;
}

int port_of(const sockaddr_storage& a) {
    if (a.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
    if (a.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
    return -1;
}

// The connections being handled, so that an idle one can be ended to make room, and all of
// them when the server stops.
class Connections {
  public:
    void add(int fd) {
        const std::lock_guard<std::mutex> lock(m_);
        open_[fd] = {Clock::now(), false, false};
    }
    void remove(int fd) {
        const std::lock_guard<std::mutex> lock(m_);
        open_.erase(fd);
    }
    // A connection's request was read: it is busy until its answer is written.
    void busy(int fd, bool on) {
        const std::lock_guard<std::mutex> lock(m_);
        const auto it = open_.find(fd);
        if (it != open_.end()) {
            it->second.busy = on;
            it->second.since = Clock::now();
        }
    }
    // Ends the connection that has waited longest for a request; false when none waits.
    bool end_oldest_idle() {
        const std::lock_guard<std::mutex> lock(m_);
        auto oldest = open_.end();
        for (auto it = open_.begin(); it != open_.end(); ++it) {
            if (!it->second.busy && !it->second.ended &&
                (oldest == open_.end() || it->second.since < oldest->second.since))
                oldest = it;
        }
        if (oldest == open_.end())
            return false;
        oldest->second.ended = true;
        ::shutdown(oldest->first, SHUT_RDWR);
        return true;
    }
    void end_all() {
        const std::lock_guard<std::mutex> lock(m_);
        for (auto& [fd, c] : open_) {
            c.ended = true;
            ::shutdown(fd, SHUT_RDWR);
        }
    }

  private:
    struct Connection {
        Clock::time_point since;
        bool busy;
        bool ended;
    };
    std::mutex m_;
    std::map<int, Connection> open_;
};

// What the thread that handles a connection knows of it.
struct Current {
    int fd = -1;
    bool close_after = false; // the request is answered, then the connection ends
};
thread_local Current* current = nullptr;
thread_local bool refusing = false;

// The HTTP library's stream over a connection, bounding what a request may send and how long
// it may take, and how long a write may wait.
class BoundedStream : public httplib::Stream {
  public:
    explicit BoundedStream(int fd) : fd_(fd) {}

    void begin_request() {
        budget_ = kRequestBytes;
        until_ = Clock::now() + kRequestTime;
    }
    bool failed() const { return failed_; }
    bool has_buffered() const { return at_ < end_; }

    bool is_readable() const override { return at_ < end_ || wait_for(fd_, POLLIN, until_); }
    bool is_writable() const override { return wait_for(fd_, POLLOUT, Clock::now() + kWriteTime); }
    ssize_t read(char* ptr, size_t size) override {
        if (at_ == end_) {
            if (budget_ == 0 || !wait_for(fd_, POLLIN, until_)) {
                failed_ = true;
                return -1;
            }
            const ssize_t n = ::recv(fd_, buf_, std::min(sizeof buf_, budget_), 0);
            if (n <= 0) {
                failed_ = true;
                return n < 0 ? -1 : 0;
            }
            budget_ -= static_cast<size_t>(n);
            at_ = 0;
            end_ = static_cast<size_t>(n);
        }
        const size_t n = std::min(size, end_ - at_);
        std::memcpy(ptr, buf_ + at_, n);
        at_ += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const char* ptr, size_t size) override {
        size_t done = 0;
        while (done < size) {
            if (!wait_for(fd_, POLLOUT, Clock::now() + kWriteTime))
                return -1;
            const ssize_t n = ::send(fd_, ptr + done, size - done, MSG_NOSIGNAL);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0)
                return -1;
            done += static_cast<size_t>(n);
        }
        return static_cast<ssize_t>(size);
    }
    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        ::getpeername(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        ip = address_text(a);
        port = port_of(a);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage a{};
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        ip = address_text(a);
        port = port_of(a);
    }
    socket_t socket() const override { return fd_; }

  private:
    int fd_;
    char buf_[4096];
    size_t at_ = 0, end_ = 0;
    size_t budget_ = kRequestBytes;
    Clock::time_point until_ = Clock::now() + kRequestTime;
    bool failed_ = false;
};

// The threads that handle connections: one each, at most kMaxConnections; a connection that
// finds them all taken ends the oldest idle one and waits for a thread, newest first; of too
// many waiting, the oldest is closed unheard.
class ConnectionThreads : public httplib::TaskQueue {
  public:
    explicit ConnectionThreads(Connections& c) : connections_(c) {}
    ~ConnectionThreads() override { shutdown(); }

    void enqueue(std::function<void()> fn) override {
        std::function<void()> refused;
        {
            const std::lock_guard<std::mutex> lock(m_);
            if (stopping_) {
                refused = std::move(fn);
            } else if (idle_ > jobs_.size()) {
                jobs_.push_back(std::move(fn));
                cv_.notify_one();
            } else if (threads_.size() < kMaxConnections) {
                jobs_.push_back(std::move(fn));
                threads_.emplace_back([this] { work(); });
            } else {
                // All taken: the connection that has waited longest for a request makes room,
                // and the newest waiting is handled first; too many waiting, the oldest of
                // them is closed.
                connections_.end_oldest_idle();
                if (jobs_.size() >= kMaxWaiting) {
                    refused = std::move(jobs_.front());
                    jobs_.pop_front();
                }
                jobs_.push_back(std::move(fn));
            }
        }
        if (refused) {
            // Handled here with the refusal flag: the connection is closed without a word.
            refusing = true;
            refused();
            refusing = false;
        }
    }

    void shutdown() override {
        {
            const std::lock_guard<std::mutex> lock(m_);
            if (stopping_ && threads_.empty())
                return;
            stopping_ = true;
        }
        connections_.end_all();
        cv_.notify_all();
        for (std::thread& t : threads_)
            t.join();
        threads_.clear();
    }

  private:
    Connections& connections_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    size_t idle_ = 0;
    bool stopping_ = false;

    void work() {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock<std::mutex> lock(m_);
                ++idle_;
                cv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                --idle_;
                if (jobs_.empty())
                    return;
                fn = std::move(jobs_.back()); // the newest connection first
                jobs_.pop_back();
            }
            try {
                fn();
            } catch (...) {
                // A connection that failed is closed by the library; the thread goes on.
            }
        }
    }
};

// The HTTP library's server with our own handling of a connection: bounded requests and idle
// waits that end as soon as the server stops.
class BoundedServer : public httplib::Server {
  public:
    Connections connections;
    std::atomic<bool> stopping{false};

    // A backlog of connections not yet taken that a burst of clients does not overflow (the
    // library's own is 5): those that find it full wait for their connection to be retried.
    void deepen_backlog() { ::listen(svr_sock_, kBacklog); }

  private:
    bool process_and_close_socket(socket_t sock) override {
        if (refusing) {
            ::close(sock);
            return false;
        }
        connections.add(sock);
        Current here;
        here.fd = sock;
        current = &here;
        BoundedStream stream(sock);
        bool ok = false;
        for (size_t n = 0; n < kRequestsPerConnection && !stopping; ++n) {
            if (!stream.has_buffered() && !wait_for(sock, POLLIN, Clock::now() + kIdleTime))
                break;
            if (stopping)
                break;
            stream.begin_request();
            bool closed = false;
            ok = process_request(stream, n + 1 == kRequestsPerConnection, closed, nullptr);
            connections.busy(sock, false);
            if (!ok || closed || here.close_after || stream.failed())
                break;
        }
        current = nullptr;
        connections.remove(sock);
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return ok;
    }
};

// A copy of what the pictures need of an analysis.
struct PictureInput {
    Analysis a;
    uint64_t version = 0;
};

// The picture of the page: the image scaled down by a whole factor so that it fits
// kPagePictureWide x kPagePictureHigh, each pixel the average of the covered pixels it stands
// for, a hole when any of them is one, unsettled when any is; drawn as the picture is.
bool scaled_picture_png(const Analysis& a, const PictureOptions& p, std::string& png,
                        int64_t& factor, std::string& error) {
    int64_t wide = 0, rows = 0;
    png.clear();
    if (!picture_layout(a, p, wide, rows, error))
        return false;
    factor = std::max<int64_t>({1, (wide + kPagePictureWide - 1) / kPagePictureWide,
                                (rows + kPagePictureHigh - 1) / kPagePictureHigh});
    if (factor == 1)
        return picture_png(a, p, png, error);
    if (rows == 0)
        return true;
    const int channels = p.pixel == Pixel::gray8 ? 1 : 3;
    const int64_t size = a.head.imagesize;
    const int64_t pixels = (size - p.offset + channels - 1) / channels;
    const int64_t w = std::max<int64_t>(1, wide / factor);
    const int64_t h = (rows + factor - 1) / factor;
    Analysis s;
    s.head = a.head;
    s.image.assign(static_cast<size_t>(w * h * channels), 0xFF);
    s.coverage.assign(s.image.size(), 0);
    int64_t used = 0;
    std::vector<int64_t> sum(static_cast<size_t>(channels));
    for (int64_t y = 0; y < h; ++y) {
        for (int64_t x = 0; x < w; ++x) {
            int64_t count = 0, seen = 0;
            bool hole = false, unsettled = false;
            std::fill(sum.begin(), sum.end(), 0);
            for (int64_t sy = y * factor; sy < std::min(rows, (y + 1) * factor); ++sy) {
                for (int64_t sx = x * factor; sx < std::min(wide, (x + 1) * factor); ++sx) {
                    const int64_t px = sy * wide + sx;
                    if (px >= pixels)
                        break;
                    ++seen;
                    const int64_t at = p.offset + px * channels;
                    const int n = static_cast<int>(std::min<int64_t>(channels, size - at));
                    bool covered = true;
                    for (int c = 0; c < n; ++c) {
                        const uint8_t cov = a.coverage[static_cast<size_t>(at + c)];
                        covered = covered && (cov & kCovered) != 0;
                        unsettled = unsettled || (cov & kUnsettled) != 0;
                    }
                    if (!covered) {
                        hole = true;
                        continue;
                    }
                    for (int c = 0; c < n; ++c)
                        sum[static_cast<size_t>(c)] += a.image[static_cast<size_t>(at + c)];
                    ++count;
                }
            }
            if (seen == 0)
                continue;
            const int64_t k = (y * w + x) * channels;
            used = std::max(used, k + channels);
            for (int c = 0; c < channels; ++c) {
                s.image[static_cast<size_t>(k + c)] =
                    count > 0 ? static_cast<uint8_t>(sum[static_cast<size_t>(c)] / count) : 0xFF;
                s.coverage[static_cast<size_t>(k + c)] = static_cast<uint8_t>(
                    hole ? 0 : (kCovered | kFirstTry | (unsettled ? kUnsettled : 0)));
            }
        }
    }
    s.head.imagesize = used;
    PictureOptions q = p;
    q.width = static_cast<int32_t>(w);
    q.offset = 0;
    return picture_png(s, q, png, error);
}

// The view that serves the page.
class ServerView : public ServeView {
  public:
    explicit ServerView(const ServeSettings& s) : settings_(s), plain_(make_plain_view()) {
        std::random_device rd;
        nonce_ = format("%08x", rd());
        start_ = Clock::now();
        state_.picture_enabled(s.picture);
    }

    ~ServerView() override { stop(); }

    bool start(std::string& error) {
        routes();
        server_.new_task_queue = [this] { return new ConnectionThreads(server_.connections); };
        int port = settings_.port;
        if (port == 0) {
            port = server_.bind_to_any_port(settings_.host);
        } else if (!server_.bind_to_port(settings_.host, port)) {
            port = -1;
        }
        if (port <= 0) {
            error = "--serve: cannot listen on " + settings_.host + " port " +
                    std::to_string(settings_.port) +
                    " (in use, not an address of this machine, or not allowed)";
            return false;
        }
        port_ = port;
        server_.deepen_backlog();
        allowed_hosts();
        listener_ = std::thread([this] { server_.listen_after_bind(); });
        painter_ = std::thread([this] { paint(); });
        // stop() ends only a server that runs: wait until it does.
        for (const auto until = Clock::now() + 10s; !server_.is_running() && Clock::now() < until;)
            std::this_thread::sleep_for(1ms);
        return true;
    }

    std::string url() const override {
        const bool v6 = settings_.host.find(':') != std::string::npos;
        return "http://" + (v6 ? "[" + settings_.host + "]" : settings_.host) + ":" +
               std::to_string(port_) + "/";
    }

    void show(const Analysis& a, const Header& h, bool news) override {
        plain_->show(a, h, news);
        const double now = std::chrono::duration<double>(Clock::now() - start_).count();
        const bool analysed = !a.image.empty();
        const int receiving = analysed ? growth_.update(a, now) : -1;
        const bool growing = growth_.growing(now, 5.0);
        std::vector<Request> plan;
        if (analysed)
            plan = make_plan(a, settings_.join, settings_.prefix);
        bool offer = false;
        {
            const std::lock_guard<std::mutex> lock(m_);
            state_.update(a, h, analysed, news || !state_.has_texts(), plan, receiving, growing);
            stale_ = stale_ || (analysed && news) || (analysed && pictured_ == 0);
            // The pictures are drawn while a page is open, from the latest look, one drawing
            // at a time.
            offer = stale_ && streams_ > 0 && !painting_ && !pending_.has_value();
        }
        cv_.notify_all();
        if (offer)
            offer_pictures(a);
    }

    Command wait(double seconds) override { return plain_->wait(seconds); }

    void finish(const std::string& report) override {
        {
            const std::lock_guard<std::mutex> lock(m_);
            state_.end();
            final_report_ = report;
        }
        cv_.notify_all();
        // Waits, briefly, for every stream to have written the last state.
        {
            std::unique_lock<std::mutex> lock(m_);
            cv_.wait_for(lock, kFarewell, [this] {
                return std::all_of(sent_.begin(), sent_.end(),
                                   [this](const auto& v) { return *v >= state_.version(); });
            });
        }
        stop();
    }

  private:
    ServeSettings settings_;
    std::unique_ptr<View> plain_;
    BoundedServer server_;
    int port_ = 0;
    std::string nonce_;
    Clock::time_point start_;
    std::set<std::string> hosts_;
    bool any_ip_ = false;
    std::thread listener_, painter_;

    std::mutex m_;
    std::condition_variable cv_;
    PageState state_;
    GrowthTracker growth_;
    bool stopping_ = false;
    int streams_ = 0;
    // The version each stream has written.
    std::set<std::shared_ptr<uint64_t>> sent_;
    std::string final_report_;
    std::shared_ptr<const std::string> map_, picture_;
    int64_t picture_factor_ = 1;
    uint64_t pictured_ = 0; // the version the pictures were drawn from
    bool stale_ = false;    // the pictures are older than the last look
    bool painting_ = false;
    std::optional<PictureInput> pending_;

    void stop() {
        {
            const std::lock_guard<std::mutex> lock(m_);
            if (stopping_ && !listener_.joinable())
                return;
            stopping_ = true;
        }
        cv_.notify_all();
        server_.stopping = true;
        server_.stop();
        if (listener_.joinable())
            listener_.join();
        if (painter_.joinable())
            painter_.join();
    }

    // The host names a request may give: the address served, and for loopback its other
    // names; for a wildcard address, any IP address and this machine's name.
    void allowed_hosts() {
        const std::string h = lower(settings_.host);
        hosts_.insert(h.find(':') != std::string::npos ? "[" + h + "]" : h);
        if (is_loopback(h)) {
            hosts_.insert("localhost");
            hosts_.insert("127.0.0.1");
            hosts_.insert("[::1]");
        }
        if (h == "0.0.0.0" || h == "::" || h.empty()) {
            any_ip_ = true;
            hosts_.insert("localhost");
            char name[256] = "";
            if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0')
                hosts_.insert(lower(name));
        }
    }

    // Whether a Host header names this server (its port is not compared: a tunnel may bring
    // the page to another port).
    bool host_allowed(const std::string& header) const {
        std::string name = lower(header);
        if (!name.empty() && name[0] == '[') {
            const size_t close = name.find(']');
            if (close == std::string::npos)
                return false;
            name = name.substr(0, close + 1);
        } else if (const size_t colon = name.find(':'); colon != std::string::npos) {
            name = name.substr(0, colon);
        }
        if (hosts_.count(name) != 0)
            return true;
        if (!any_ip_)
            return false;
        const std::string bare =
            name.size() > 2 && name[0] == '[' ? name.substr(1, name.size() - 2) : name;
        return is_ip_literal(bare);
    }

    void offer_pictures(const Analysis& a) {
        PictureInput in;
        try {
            in.a.dir = a.dir;
            in.a.head = a.head;
            in.a.captures.reserve(a.captures.size());
            for (const Capture& c : a.captures) {
                Capture copy;
                copy.status = c.status;
                copy.range = c.range;
                copy.math = c.math;
                in.a.captures.push_back(std::move(copy));
            }
            in.a.coverage = a.coverage;
            if (settings_.picture)
                in.a.image = a.image;
        } catch (...) {
            return; // no memory for a copy: the next look tries again
        }
        const std::lock_guard<std::mutex> lock(m_);
        in.version = state_.version();
        pending_ = std::move(in);
        stale_ = false;
        cv_.notify_all();
    }

    // Draws the pictures of the latest analysis offered, one at a time.
    void paint() {
        for (;;) {
            std::optional<PictureInput> in;
            {
                std::unique_lock<std::mutex> lock(m_);
                cv_.wait(lock, [this] { return stopping_ || pending_.has_value(); });
                if (stopping_)
                    return;
                in = std::move(pending_);
                pending_.reset();
                painting_ = true;
            }
            std::string map, picture, error;
            int64_t factor = 1;
            bool drew_map = false, drew_picture = false;
            try {
                drew_map = map_png(in->a, settings_.cell, settings_.map_width, map, error);
                if (settings_.picture)
                    drew_picture = scaled_picture_png(in->a, settings_.picture_options, picture,
                                                      factor, error) &&
                                   !picture.empty();
            } catch (...) {
                // No memory for a picture: the page keeps the last one.
            }
            {
                const std::lock_guard<std::mutex> lock(m_);
                if (drew_map)
                    map_ = std::make_shared<const std::string>(std::move(map));
                if (drew_picture) {
                    picture_ = std::make_shared<const std::string>(std::move(picture));
                    picture_factor_ = factor;
                }
                pictured_ = in->version;
                painting_ = false;
                if (drew_map || drew_picture)
                    state_.pictures_drawn(drew_map, drew_picture, factor);
            }
            cv_.notify_all();
        }
    }

    static void headers(httplib::Response& res) { res.set_header("Cache-Control", "no-store"); }

    void routes() {
        // Reusing an address (after a server that ended), never a port another one listens on.
        server_.set_socket_options([](socket_t sock) {
            const int yes = 1;
            ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });
        server_.set_keep_alive_max_count(kRequestsPerConnection);
        server_.set_payload_max_length(0);
        server_.set_default_headers(
            {{"Content-Security-Policy",
              "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
              "connect-src 'self'; base-uri 'none'; form-action 'none'; "
              "frame-ancestors 'none'"},
             {"X-Content-Type-Options", "nosniff"},
             {"Referrer-Policy", "no-referrer"},
             {"X-Frame-Options", "DENY"}});
        server_.set_pre_routing_handler(
            [this](const httplib::Request& req, httplib::Response& res) {
                if (current != nullptr)
                    server_.connections.busy(current->fd, true);
                if (req.method != "GET" && req.method != "HEAD") {
                    if (current != nullptr)
                        current->close_after = true;
                    res.status = 405;
                    res.set_header("Allow", "GET, HEAD");
                    res.set_content("method not allowed: this server only shows\n",
                                    "text/plain; charset=utf-8");
                    return httplib::Server::HandlerResponse::Handled;
                }
                if (!req.has_header("Host") || !host_allowed(req.get_header_value("Host"))) {
                    if (current != nullptr)
                        current->close_after = true;
                    res.status = 421;
                    res.set_content("this server does not serve that host name\n",
                                    "text/plain; charset=utf-8");
                    return httplib::Server::HandlerResponse::Handled;
                }
                return httplib::Server::HandlerResponse::Unhandled;
            });
        server_.set_error_handler([](const httplib::Request&, httplib::Response& res) {
            if (res.status == 404)
                res.set_content("not found\n", "text/plain; charset=utf-8");
        });
        server_.set_exception_handler(
            [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
                res.status = 500;
                res.set_content("internal error\n", "text/plain; charset=utf-8");
            });
        for (int k = 0; k < kWebFileCount; ++k) {
            const WebFile& f = kWebFiles[k];
            server_.Get(f.path, [&f](const httplib::Request&, httplib::Response& res) {
                headers(res);
                res.set_content(reinterpret_cast<const char*>(f.data), f.size, f.content_type);
            });
        }
        server_.Get("/state.json", [this](const httplib::Request&, httplib::Response& res) {
            headers(res);
            const std::lock_guard<std::mutex> lock(m_);
            res.set_content(state_.changes_since(0), "application/json");
        });
        const auto text = [this](std::string PageTexts::*member, const char* file) {
            return [this, member, file](const httplib::Request&, httplib::Response& res) {
                headers(res);
                const std::lock_guard<std::mutex> lock(m_);
                if (!state_.has_texts()) {
                    res.status = 404;
                    res.set_content("no analysis yet\n", "text/plain; charset=utf-8");
                    return;
                }
                res.set_header("Content-Disposition",
                               std::string("attachment; filename=\"") + file + "\"");
                res.set_content(state_.texts().*member, "text/plain; charset=utf-8");
            };
        };
        server_.Get("/plan.txt", text(&PageTexts::plan, "plan.txt"));
        server_.Get("/next-info.txt", text(&PageTexts::next_info, "file_info.txt"));
        server_.Get("/report.txt", [this](const httplib::Request&, httplib::Response& res) {
            headers(res);
            const std::lock_guard<std::mutex> lock(m_);
            res.set_content(state_.ended() ? final_report_ : state_.texts().report,
                            "text/plain; charset=utf-8");
        });
        const auto png = [this](std::shared_ptr<const std::string> ServerView::*member) {
            return [this, member](const httplib::Request&, httplib::Response& res) {
                headers(res);
                std::shared_ptr<const std::string> bytes;
                {
                    const std::lock_guard<std::mutex> lock(m_);
                    bytes = this->*member;
                }
                if (!bytes) {
                    res.status = 404;
                    res.set_content("not drawn\n", "text/plain; charset=utf-8");
                    return;
                }
                res.set_content_provider(
                    bytes->size(), "image/png",
                    [bytes](size_t offset, size_t length, httplib::DataSink& sink) {
                        return sink.write(bytes->data() + offset, length);
                    });
            };
        };
        server_.Get("/map.png", png(&ServerView::map_));
        server_.Get("/picture.png", png(&ServerView::picture_));
        server_.Get("/events", [this](const httplib::Request& req, httplib::Response& res) {
            events(req, res);
        });
    }

    // The stream of updates: the state as it is, then what changed after every look that
    // changed something; a client that falls behind gets the latest state, never a backlog.
    void events(const httplib::Request& req, httplib::Response& res) {
        headers(res);
        uint64_t since = 0;
        const std::string last = req.get_header_value("Last-Event-ID");
        if (last.rfind(nonce_ + ".", 0) == 0) {
            const std::string v = last.substr(nonce_.size() + 1);
            uint64_t n = 0;
            const auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
            if (ec == std::errc() && ptr == v.data() + v.size())
                since = n;
        }
        {
            const std::lock_guard<std::mutex> lock(m_);
            if (streams_ >= kMaxStreams || stopping_) {
                res.status = 503;
                res.set_content("too many pages open\n", "text/plain; charset=utf-8");
                return;
            }
            ++streams_;
        }
        if (since > 0) {
            const std::lock_guard<std::mutex> lock(m_);
            if (since > state_.version())
                since = 0;
        }
        auto sent = std::make_shared<uint64_t>(since);
        {
            const std::lock_guard<std::mutex> lock(m_);
            sent_.insert(sent);
        }
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, sent, first = true](size_t, httplib::DataSink& sink) mutable {
                std::string out;
                bool done = false;
                uint64_t made = 0;
                {
                    std::unique_lock<std::mutex> lock(m_);
                    cv_.wait_for(lock, kStreamBeat,
                                 [&] { return stopping_ || state_.version() > *sent || first; });
                    // A server that stops still sends the last state it has.
                    if (stopping_ && state_.version() <= *sent)
                        return false;
                    if (first)
                        out = "retry: 2000\n";
                    first = false;
                    if (state_.version() > *sent) {
                        std::string data = state_.changes_since(*sent);
                        data.insert(
                            data.size() - 1,
                            format(",\"t\":%.1f",
                                   std::chrono::duration<double>(Clock::now() - start_).count()));
                        out += "id: " + nonce_ + "." + std::to_string(state_.version()) +
                               "\nevent: state\ndata: " + data;
                        out += "\n\n";
                    } else if (out.empty()) {
                        out = ": beat\n\n";
                    } else {
                        out += "\n";
                    }
                    made = state_.version();
                    done = state_.ended();
                }
                if (!sink.write(out.data(), out.size()))
                    return false;
                {
                    // Written: finish() stops once every stream has written the last state.
                    const std::lock_guard<std::mutex> lock(m_);
                    *sent = std::max(*sent, made);
                }
                cv_.notify_all();
                if (done)
                    sink.done();
                return true;
            },
            [this, sent](bool) {
                {
                    const std::lock_guard<std::mutex> lock(m_);
                    --streams_;
                    sent_.erase(sent);
                }
                cv_.notify_all();
            });
    }
};

} // namespace

std::unique_ptr<ServeView> make_serve_view(const ServeSettings& s, std::string& error) {
    auto view = std::make_unique<ServerView>(s);
    if (!view->start(error))
        return nullptr;
    return view;
}

#endif

} // namespace imgcover
