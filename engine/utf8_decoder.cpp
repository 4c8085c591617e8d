#include "engine/utf8_decoder.h"

#include <cstdint>
#include <cstring>

namespace {

const char kReplacement[] = "\xEF\xBF\xBD"; // U+FFFD

// The length of the UTF-8 sequence at `bytes`: its length when it is
// complete and valid (no overlong form, no surrogate, nothing above
// U+10FFFF), 0 when the bytes there are a valid start that `available` cuts
// short, -1 when they are not UTF-8.
int SequenceLength(const unsigned char *bytes, size_t available) {
    const unsigned char lead = bytes[0];
    if (lead < 0x80)
        return 1;
    int length = 0;
    unsigned char low = 0x80;  // the second value's range, narrower after
    unsigned char high = 0xBF; // some leads
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return -1;
    }
    for (int i = 1; i < length; ++i) {
        if (static_cast<size_t>(i) >= available)
            return 0;
        const unsigned char value = bytes[i];
        if (i == 1 ? (value < low || value > high) : (value < 0x80 || value > 0xBF))
            return -1;
    }
    return length;
}

// One character of `codePage` as UTF-8; empty when the code page has none
// for these bytes.
std::string ToUtf8(UINT codePage, const unsigned char *bytes, int length) {
    wchar_t wide[2];
    const int count = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS,
                                          reinterpret_cast<const char *>(bytes), length, wide, 2);
    char utf8[8];
    const int written = count == 1
                            ? WideCharToMultiByte(CP_UTF8, 0, wide, 1, utf8,
                                                  static_cast<int>(sizeof(utf8)), nullptr, nullptr)
                            : 0;
    return std::string(utf8, written > 0 ? static_cast<size_t>(written) : 0);
}

} // namespace

bool Utf8Decoder::UsableCodePage(UINT codePage) {
    // A character of more than two bytes (UTF-7, the GB18030 family) would
    // need a decoder of its own; UTF-8 is one by itself.
    CPINFO info{};
    return codePage == CP_UTF8 || (GetCPInfo(codePage, &info) && info.MaxCharSize <= 2);
}

Utf8Decoder::Utf8Decoder(UINT codePage) : m_codePage(codePage) {
    if (codePage == CP_UTF8)
        return;
    CPINFO info{};
    m_doubleByte = GetCPInfo(codePage, &info) && info.MaxCharSize == 2;
    for (unsigned value = 0x80; value <= 0xFF; ++value) {
        const unsigned char single = static_cast<unsigned char>(value);
        std::string &text = m_single[value - 0x80];
        text = ToUtf8(codePage, &single, 1);
        if (text.empty())
            text = kReplacement;
    }
}

size_t Utf8Decoder::ValidUtf8Prefix(const char *data, size_t length) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(data);
    size_t at = 0;
    while (at < length) {
        // Eight ASCII bytes at a time: most text is mostly ASCII.
        std::uint64_t word;
        if (length - at >= sizeof(word)) {
            std::memcpy(&word, bytes + at, sizeof(word));
            if ((word & 0x8080808080808080ULL) == 0) {
                at += sizeof(word);
                continue;
            }
        }
        const int sequence = SequenceLength(bytes + at, length - at);
        if (sequence <= 0)
            break;
        at += static_cast<size_t>(sequence);
    }
    return at;
}

size_t Utf8Decoder::DecodeOne(const unsigned char *bytes, size_t available, bool final,
                              std::string &out) {
    const int sequence = SequenceLength(bytes, available);
    if (sequence > 0) {
        out.append(reinterpret_cast<const char *>(bytes), static_cast<size_t>(sequence));
        return static_cast<size_t>(sequence);
    }
    if (sequence == 0 && !final)
        return 0;
    if (m_codePage == CP_UTF8) {
        out += kReplacement;
        return 1;
    }
    if (m_doubleByte && IsDBCSLeadByteEx(m_codePage, bytes[0])) {
        if (available < 2 && !final)
            return 0;
        if (available >= 2) {
            const std::string pair = ToUtf8(m_codePage, bytes, 2);
            if (!pair.empty()) {
                out += pair;
                return 2;
            }
        }
    }
    out += m_single[bytes[0] - 0x80];
    return 1;
}

void Utf8Decoder::Decode(const char *data, size_t length, std::string &out) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(data);
    size_t at = 0;
    if (!m_held.empty()) {
        // The held bytes with enough of what follows to finish their
        // character (four bytes at most); a character that is still not
        // complete took all of `data` into `joined`.
        std::string joined = m_held;
        joined.append(data, length < 4 ? length : 4);
        const size_t held = m_held.size();
        m_held.clear();
        const auto *start = reinterpret_cast<const unsigned char *>(joined.data());
        size_t used = 0;
        while (used < held) {
            const size_t taken = DecodeOne(start + used, joined.size() - used, false, out);
            if (taken == 0) {
                m_held = joined.substr(used);
                return;
            }
            used += taken;
        }
        at = used - held;
    }
    while (at < length) {
        const size_t valid = ValidUtf8Prefix(data + at, length - at);
        out.append(data + at, valid);
        at += valid;
        if (at == length)
            break;
        const size_t taken = DecodeOne(bytes + at, length - at, false, out);
        if (taken == 0) {
            m_held.assign(data + at, length - at);
            break;
        }
        at += taken;
    }
}

void Utf8Decoder::Finish(std::string &out) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(m_held.data());
    for (size_t at = 0; at < m_held.size();)
        at += DecodeOne(bytes + at, m_held.size() - at, true, out);
    m_held.clear();
}
