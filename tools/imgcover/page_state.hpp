// What the served page shows of a watch, kept between looks: the header's figures, one row per
// capture with its bar and marks, the texts to download, and which parts changed at which
// version, so that a client is sent only what changed since the version it has.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "plan.hpp"
#include "view.hpp"

namespace imgcover {

// Cells of a capture's bar on the page.
inline constexpr int kPageBarCells = 120;

// One part of the page as JSON text, and the version at which it last changed.
struct PagePart {
    std::string json;
    uint64_t changed = 0;
};

// The texts the page offers as downloads, as of one look.
struct PageTexts {
    std::string plan;      // plan_text of the plan
    std::string next_info; // the run description for the rebuild after the resend
    std::string report;    // the report for a person
};

// The state of the page. Not thread-safe: the server guards it.
class PageState {
  public:
    // Takes in a look: the figures, the captures' rows, and, when `fresh`, the texts made from
    // `plan`. `receiving`: the capture being received (-1: none), `growing`: it grew lately.
    // Bumps the version when anything differs from what the page showed.
    void update(const Analysis& a, const Header& h, bool analysed, bool fresh,
                const std::vector<Request>& plan, int receiving, bool growing);
    // Marks the watch as ended: the page keeps its last state and says so.
    void end();
    // Says whether the page will have a picture of the image (a map it always has).
    void picture_enabled(bool on);
    // Notes that new pictures of the page were drawn; the picture scaled 1:`scale`.
    void pictures_drawn(bool map, bool picture, int64_t scale);

    uint64_t version() const { return version_; }
    // Everything that changed after `since` (0: all of it), as one JSON object with "v", the
    // version it brings the client to.
    std::string changes_since(uint64_t since) const;
    const PageTexts& texts() const { return texts_; }
    // True once the texts were made from an analysis.
    bool has_texts() const { return has_texts_; }
    bool ended() const { return ended_; }

  private:
    uint64_t version_ = 1;
    uint64_t pending_ = 0; // the version the current update is writing
    PagePart header_, report_, pictures_;
    std::vector<PagePart> rows_;
    uint64_t count_changed_ = 0; // when the number of rows last changed
    PageTexts texts_;
    bool ended_ = false;
    bool has_texts_ = false;
    int receiving_ = -1;   // the capture being received at the last update
    bool growing_ = false; // and whether it grew lately
    uint64_t map_drawn_ = 0, picture_drawn_ = 0;
    int64_t scale_ = 1;
    bool picture_enabled_ = false;
    void put_pictures();

    // Puts `json` into `part`, marking it changed when it differs.
    void put(PagePart& part, std::string json);
    void begin() { pending_ = version_ + 1; }
    void commit(bool changed) {
        if (changed)
            version_ = pending_;
    }
};

// The capture being received: the last one whose frames grew, remembered across looks, with
// the time it last grew.
class GrowthTracker {
  public:
    // Notes the looks' frame counts; the index of the capture being received (-1: none).
    int update(const Analysis& a, double now_seconds);
    // True while the capture being received grew within the last `seconds`.
    bool growing(double now_seconds, double seconds) const;

  private:
    std::vector<int64_t> frames_;
    int receiving_ = -1;
    double grew_at_ = -1e300;
};

} // namespace imgcover
