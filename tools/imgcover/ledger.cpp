#include "ledger.hpp"

namespace imgcover {

void Ledger::reset(int64_t size) {
    bits_.assign(static_cast<std::size_t>(size), 0);
    other_.clear();
    more_.clear();
}

void Ledger::forget(int64_t o) {
    uint8_t& b = bits_[static_cast<std::size_t>(o)];
    if ((b & kMoreHeld) != 0)
        more_.erase(o);
    b = 0;
}

bool Ledger::any_contested(int64_t first, int64_t last) const {
    uint8_t any = 0;
    for (int64_t o = first; o <= last; ++o)
        any |= bits_[static_cast<std::size_t>(o)];
    return (any & kContested) != 0;
}

void Ledger::place(uint8_t* image, int64_t first, int64_t last, const uint8_t* values, bool again,
                   bool copy) {
    uint8_t* bits = bits_.data();
    // The common cases at once: bytes none placed yet, or bytes given the same values again.
    uint8_t all = 0xFF, any = 0;
    bool same = true;
    for (int64_t o = first; o <= last; ++o) {
        all &= bits[o];
        any |= bits[o];
        same &= image[o] == values[o - first];
    }
    if ((any & kPlaced) == 0) {
        for (int64_t o = first; o <= last; ++o) {
            bits[o] = kPlaced | kTouched;
            image[o] = values[o - first];
        }
    } else if ((all & kPlaced) != 0 && (any & kMoreHeld) == 0 && same && !again && copy) {
        // Earlier sources placed the same values: now two or more did.
        for (int64_t o = first; o <= last; ++o)
            bits[o] = static_cast<uint8_t>((bits[o] & ~kOtherTouched) | kTouched | kMulti);
    } else {
        for (int64_t o = first; o <= last; ++o)
            place_byte(o, image[o], values[o - first], again, copy);
    }
}

void Ledger::place_byte(int64_t o, uint8_t& now, uint8_t v, bool again, bool copy) {
    const std::size_t k = static_cast<std::size_t>(o);
    uint8_t& b = bits_[k];
    if (!again) {
        // No mark on the byte is this source's: let them all go.
        b = static_cast<uint8_t>(b & ~(kTouched | kOtherTouched));
        if ((b & kMoreHeld) != 0) {
            for (Held& h : more_[o])
                h.touched = false;
        }
    }
    if ((b & kPlaced) == 0) {
        b |= kPlaced | kTouched;
        now = v;
        return;
    }
    if (now == v) {
        if ((b & kTouched) == 0 && copy)
            b |= kMulti; // an earlier source placed it too
        b |= kTouched;
        return;
    }
    // Another value: the current one is kept as held before, and `v` becomes current.
    b |= kContested;
    const Held was{now, (b & kTouched) != 0, (b & kMulti) != 0};
    Held next{v, false, false};
    bool found = false;
    if (other_.empty())
        other_.assign(bits_.size(), 0);
    if ((b & kOtherHeld) != 0 && other_[k] == v) {
        next = {v, (b & kOtherTouched) != 0, (b & kOtherMulti) != 0};
        found = true;
        b = static_cast<uint8_t>(b & ~(kOtherTouched | kOtherMulti));
        other_[k] = was.value;
        b |= (was.touched ? kOtherTouched : 0) | (was.multi ? kOtherMulti : 0);
    } else if ((b & kMoreHeld) != 0) {
        for (Held& h : more_[o]) {
            if (h.value == v) {
                next = h;
                h = was;
                found = true;
                break;
            }
        }
    }
    if (!found) {
        if ((b & kOtherHeld) == 0) {
            other_[k] = was.value;
            b |= kOtherHeld | (was.touched ? kOtherTouched : 0) | (was.multi ? kOtherMulti : 0);
        } else {
            more_[o].push_back(was);
            b |= kMoreHeld;
        }
    }
    if (found && !next.touched && copy)
        next.multi = true; // an earlier source placed this value
    b = static_cast<uint8_t>(b & ~(kTouched | kMulti));
    b |= kTouched | (next.multi ? kMulti : 0);
    now = v;
}

} // namespace imgcover
