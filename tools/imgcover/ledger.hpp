// The ledger of placed values: what the frames placed on every byte of an image, in the order
// the rebuild places them, so that contested and confirmed bytes can be told apart without
// keeping the frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace imgcover {

// Placements come source by source: a source (one listing of a capture) places all its frames
// before the next source places any. The image the placements go to holds each byte's current
// value: the last value placed on it. Per byte the ledger keeps which values were placed, and for
// each whether the current source placed it and whether two or more sources did.
class Ledger {
  public:
    // Forgets every placement: `size` bytes, none placed.
    void reset(int64_t size);

    // Places values[0 .. last - first] on bytes first to last of `image`, recording them.
    // `again`: the source placing them placed these bytes before (its frame's slot came again);
    // otherwise none of them was placed by this source yet. `copy`: the source is a copy of its
    // own; false for one that gives again what an earlier source gave (the same file read again),
    // whose values confirm nothing.
    void place(uint8_t* image, int64_t first, int64_t last, const uint8_t* values, bool again,
               bool copy);

    // Forgets every value placed on byte `o`, as if none had been.
    void forget(int64_t o);

    // Some frame placed a value on byte `o`.
    bool placed(int64_t o) const { return (bits_[static_cast<std::size_t>(o)] & kPlaced) != 0; }
    // Frames placed different values on byte `o`.
    bool contested(int64_t o) const {
        return (bits_[static_cast<std::size_t>(o)] & kContested) != 0;
    }
    // Two or more sources that are copies placed byte `o`'s current value.
    bool multi(int64_t o) const { return (bits_[static_cast<std::size_t>(o)] & kMulti) != 0; }
    // Some byte from first to last is contested.
    bool any_contested(int64_t first, int64_t last) const;
    // Bytes the ledger covers.
    int64_t size() const { return static_cast<int64_t>(bits_.size()); }

  private:
    static constexpr uint8_t kPlaced = 1;     // some frame placed a value on it
    static constexpr uint8_t kTouched = 2;    // the current source placed the current value
    static constexpr uint8_t kMulti = 4;      // two or more sources placed the current value
    static constexpr uint8_t kContested = 8;  // frames placed different values on it
    static constexpr uint8_t kOtherHeld = 16; // `other_` holds a value placed before
    static constexpr uint8_t kOtherTouched = 32;
    static constexpr uint8_t kOtherMulti = 64;
    static constexpr uint8_t kMoreHeld = 128; // `more_` holds further values

    // A value a byte held that is neither its current nor its other one, with its marks.
    struct Held {
        uint8_t value;
        bool touched;
        bool multi;
    };

    // Records that the current source put `v` on byte `o`, whose current value is `now`.
    void place_byte(int64_t o, uint8_t& now, uint8_t v, bool again, bool copy);

    std::vector<uint8_t> bits_; // per byte: the bits above
    // Per byte, made when the first byte is contested: the value it held before its current one
    // (valid with kOtherHeld).
    std::vector<uint8_t> other_;
    std::map<int64_t, std::vector<Held>> more_; // bytes with kMoreHeld
};

} // namespace imgcover
