#include "capture/range.hpp"

#include "capture/number.hpp"
#include "limits.hpp"

namespace imgrebuild {

NameStatus parse_name_line(const char* line, const char* end, char* na, PageRange& range) {
    int32_t n = 0;
    for (const char* p = line; p < end && *p != '\n'; ++p)
        na[n++] = *p;
    na[n] = '\0';

    // The range is stated by the file's own name, not by the folders that lead to it.
    const char* p = line;
    for (const char* q = line; q < end; ++q) {
        if (*q == '/' || *q == '\\')
            p = q + 1;
    }
    if (next_token(p, end, '_').begin == end)
        return NameStatus::too_few_pieces;
    int32_t* const fields[] = {&range.SSC, &range.SP, &range.ESC, &range.EP};
    for (int32_t* field : fields) {
        const Token piece = next_token(p, end, '_');
        if (piece.begin == piece.end)
            return NameStatus::too_few_pieces;
        const NumberRead number = read_number(piece.begin, piece.end, 10);
        if (number.error != NumberError::ok)
            return NameStatus::not_a_number;
        *field = number.value;
    }
    return NameStatus::ok;
}

std::string capture_name(std::string_view prefix, const PageRange& range) {
    std::string name(prefix);
    for (const int32_t n : {range.SSC, range.SP, range.ESC, range.EP})
        name += '_' + std::to_string(n);
    return name + ".txt";
}

bool compute_range(const PageRange& r, int32_t SC_S, RangeMath& math) {
    math.rangekey = int64_t{r.SSC} + r.SP + r.ESC + r.EP;
    math.npage = page_count(r);
    if (math.npage < 1 || math.npage > kMaxPages)
        return false;
    math.mcomsize = static_cast<int32_t>(math.npage * kPageBytes / kSlotBytes + 1);
    math.base = ((int64_t{r.SSC} - SC_S) * kBlockPages + r.SP) * kPageBytes;
    math.limit = range_end(math);
    return true;
}

} // namespace imgrebuild
