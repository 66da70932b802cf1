// A second, deliberately different reading of UTF-8 to judge the client's by.
// The client walks byte ranges per lead byte; this one asks, for each prefix
// of a sequence, whether any completion of it could still encode a Unicode
// scalar value in the width its lead byte announces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kelpie::fuzz {

struct OracleFailure {
    std::size_t at;
    std::optional<std::size_t> length;  // none: the input ends inside the sequence
};

inline int announced_width(std::uint8_t lead) {
    if ((lead & 0x80) == 0) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 0;
}

// Could `prefix` (its lead byte announcing `width`) begin a well-formed sequence?
inline bool viable(std::span<const std::uint8_t> prefix, int width) {
    for (std::size_t k = 1; k < prefix.size(); ++k)
        if ((prefix[k] & 0xC0) != 0x80) return false;
    const auto decode = [&](std::uint8_t fill) {
        std::uint32_t cp = prefix[0] & (0xFF >> (width + 1));
        for (int k = 1; k < width; ++k) cp = (cp << 6) | ((k < static_cast<int>(prefix.size()) ? prefix[k] : fill) & 0x3F);
        return cp;
    };
    const std::uint32_t lo = decode(0x80), hi = decode(0xBF);
    const auto meets = [&](std::uint32_t a, std::uint32_t b) { return lo <= b && hi >= a; };
    switch (width) {
        case 2: return meets(0x80, 0x7FF);
        case 3: return meets(0x800, 0xD7FF) || meets(0xE000, 0xFFFF);
        case 4: return meets(0x10000, 0x10FFFF);
        default: return false;
    }
}

inline std::optional<OracleFailure> oracle_failure(std::span<const std::uint8_t> s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const int width = announced_width(s[i]);
        if (width == 1) {
            ++i;
            continue;
        }
        const std::size_t avail = s.size() - i;
        std::size_t good = 0;  // longest viable prefix
        for (int k = 1; k <= width && static_cast<std::size_t>(k) <= avail; ++k) {
            if (!viable(s.subspan(i, static_cast<std::size_t>(k)), width)) break;
            good = static_cast<std::size_t>(k);
        }
        if (width != 0 && good == static_cast<std::size_t>(width)) {
            i += good;
            continue;
        }
        if (width != 0 && good == avail) return OracleFailure{i, std::nullopt};
        return OracleFailure{i, good == 0 ? 1 : good};
    }
    return std::nullopt;
}

// The code points of well-formed UTF-8, decoded one sequence at a time: the
// lead byte's payload bits, then six from each continuation byte.
inline std::u32string oracle_code_points(std::string_view text) {
    std::u32string points;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        const int width = announced_width(lead);
        std::uint32_t cp = width == 1 ? lead : lead & (0xFFu >> (width + 1));
        for (int k = 1; k < width; ++k)
            cp = (cp << 6) | (static_cast<std::uint8_t>(text[i + static_cast<std::size_t>(k)]) & 0x3Fu);
        points.push_back(static_cast<char32_t>(cp));
        i += static_cast<std::size_t>(width);
    }
    return points;
}

// Every ill-formed piece (and an unfinished sequence at the end) becomes U+FFFD.
inline std::string oracle_lossy(std::span<const std::uint8_t> s) {
    std::string out;
    while (!s.empty()) {
        const auto f = oracle_failure(s);
        const std::size_t good = f ? f->at : s.size();
        out.append(reinterpret_cast<const char*>(s.data()), good);
        if (!f) break;
        out += "\xEF\xBF\xBD";
        s = s.subspan(good + f->length.value_or(s.size() - good));
    }
    return out;
}

inline std::string oracle_message(const OracleFailure& f) {
    if (f.length)
        return "UTF-8 error: invalid utf-8 sequence of " + std::to_string(*f.length) + " bytes from index " +
               std::to_string(f.at);
    return "UTF-8 error: incomplete utf-8 byte sequence from index " + std::to_string(f.at);
}

// The joiner's model: carried bytes and this reply's, judged as one. A
// character begun at the end of a lenient reply is carried too, and stays
// lenient: when what follows does not go on with it, or nothing follows, the
// bytes carried so far are one U+FFFD and what follows is judged alone.
struct JoinModel {
    std::vector<std::uint8_t> carry;
    std::string out;
    bool lenient = false;

    void settle(std::span<const std::uint8_t> text) {
        if (!lenient || carry.empty()) return;
        std::vector<std::uint8_t> all = carry;
        all.insert(all.end(), text.begin(), text.end());
        const auto f = oracle_failure(all);
        // Not gone on with: the sequence at the start breaks off, or nothing follows.
        const bool stops = f && f->at == 0 && (f->length || text.empty());
        if (stops) {
            out += "\xEF\xBF\xBD";
            carry.clear();
            lenient = false;
        }
    }

    // The failure, if this reply ends the collection with one.
    std::optional<std::pair<std::string, std::vector<std::uint8_t>>> strict(std::span<const std::uint8_t> text) {
        settle(text);
        const bool was_lenient = lenient;
        std::vector<std::uint8_t> all = carry;
        all.insert(all.end(), text.begin(), text.end());
        const auto f = oracle_failure(all);
        lenient = false;
        if (f && f->length) return std::pair(oracle_message(*f), all);
        const std::size_t good = f ? f->at : all.size();
        out.append(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(good));
        carry.assign(all.begin() + static_cast<std::ptrdiff_t>(good), all.end());
        lenient = was_lenient && good == 0 && !carry.empty();
        return std::nullopt;
    }
    void lossy(std::span<const std::uint8_t> text) {
        std::vector<std::uint8_t> all = carry;
        all.insert(all.end(), text.begin(), text.end());
        // Where an unfinished sequence at the very end starts, if one does.
        std::size_t end = all.size();
        for (std::size_t at = 0; at < all.size();) {
            const auto f = oracle_failure(std::span(all).subspan(at));
            if (!f) break;
            if (!f->length) {
                end = at + f->at;
                break;
            }
            at += f->at + *f->length;
        }
        out += oracle_lossy(std::span(all).first(end));
        carry.assign(all.begin() + static_cast<std::ptrdiff_t>(end), all.end());
        lenient = !carry.empty();
    }
};

}  // namespace kelpie::fuzz
