// imgcover --serve: a watch whose view is a web page. The watch's looks are published to the
// page's clients as pushed updates; the page, its script and style, the coverage map and the
// picture (scaled for a window) and the plan's texts are served read-only on fixed routes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "picture.hpp"
#include "view.hpp"

namespace imgcover {

// Where the server listens, and what the page offers.
struct ServeSettings {
    std::string host = "127.0.0.1"; // as given: a name, an IPv4 or IPv6 address (no brackets)
    int port = 0;                   // 0: a free port
    int32_t join = 0;               // the plan's --join
    std::string prefix = "retry";   // the plan's --prefix
    int64_t cell = 0;               // the map's --cell (0: the default)
    int32_t map_width = 512;        // the map's --map-width
    bool picture = false;           // the picture is drawn (needs picture.width)
    PictureOptions picture_options;
};

// Reads "[ADDR:]PORT": an address or name (an IPv6 address in brackets) and a port 0 to 65535.
// False, with a message, when it is not that.
bool parse_listen_address(const std::string& text, std::string& host, int& port,
                          std::string& error);

// True when `host` names this machine's loopback only (localhost, 127.0.0.0/8, ::1).
bool is_loopback(const std::string& host);

// A view that serves the page. The watch's looks update it; finish() hands the last report to
// the page and stops the server.
class ServeView : public View {
  public:
    // The address to open: http://ADDR:PORT/ with the port actually bound.
    virtual std::string url() const = 0;
    // Marks the watch as ended with `report`, the final report, gives the clients a moment to
    // receive it, then stops serving.
    virtual void finish(const std::string& report) = 0;
};

// Binds and starts serving. nullptr, with a message, when the address cannot be bound or this
// build has no server.
std::unique_ptr<ServeView> make_serve_view(const ServeSettings& s, std::string& error);

// The page's files, embedded at build time.
struct WebFile {
    const char* path;         // its route: "/", "/app.js", "/style.css"
    const char* content_type; // with its charset
    const unsigned char* data;
    unsigned long size;
};
extern const WebFile kWebFiles[];
extern const int kWebFileCount;

} // namespace imgcover
