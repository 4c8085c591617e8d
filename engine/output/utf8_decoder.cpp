#include "engine/output/utf8_decoder.h"

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

// One character of `codePage` as UTF-8 into `out` (room for three bytes);
// returns its length, 0 when the code page has none for these bytes.
size_t ToUtf8(UINT codePage, const unsigned char *bytes, int length, char *out) {
    wchar_t wide[2];
    const int count = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS,
                                          reinterpret_cast<const char *>(bytes), length, wide, 2);
    char utf8[8];
    const int written = count == 1
                            ? WideCharToMultiByte(CP_UTF8, 0, wide, 1, utf8,
                                                  static_cast<int>(sizeof(utf8)), nullptr, nullptr)
                            : 0;
    if (written <= 0 || written > 3)
        return 0;
    std::memcpy(out, utf8, static_cast<size_t>(written));
    return static_cast<size_t>(written);
}

// How many bytes at the start of `word` (as read from memory: Windows is
// little-endian) are ASCII.
size_t AsciiBytes(std::uint64_t word) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    const std::uint64_t high = word & (kOnes << 7);
    if (high == 0)
        return sizeof(word);
    // The lowest high bit, moved to the bottom of its byte, less one: a one
    // in every byte below it, which the multiplication adds up in the top
    // byte.
    const std::uint64_t below = ((high & (~high + 1)) >> 7) - 1;
    return static_cast<size_t>(((below & kOnes) * kOnes) >> 56);
}

// Copies the `length` (1 to 4) bytes of one character. Not memcpy: a call
// of the C library for every character of text that is not ASCII cost
// more than deciding what the character is.
void CopyCharacter(char *out, const void *from, size_t length) {
    const auto *bytes = static_cast<const char *>(from);
    out[0] = bytes[0];
    if (length > 1)
        out[1] = bytes[1];
    if (length > 2)
        out[2] = bytes[2];
    if (length > 3)
        out[3] = bytes[3];
}

} // namespace

bool Utf8Decoder::UsableCodePage(UINT codePage) {
    // A character of more than two bytes (UTF-7, the GB18030 family) would
    // need a decoder of its own; UTF-8 is one by itself.
    CPINFO info{};
    return codePage == CP_UTF8 || (GetCPInfo(codePage, &info) && info.MaxCharSize <= 2);
}

Utf8Decoder::Utf8Decoder(UINT codePage) : m_codePage(codePage) {
    // Under CP_UTF8 every byte that is not part of valid UTF-8 is one U+FFFD.
    const bool utf8 = codePage == CP_UTF8;
    CPINFO info{};
    const bool doubleByte = !utf8 && GetCPInfo(codePage, &info) && info.MaxCharSize == 2;
    for (unsigned value = 0x80; value <= 0xFF; ++value) {
        const unsigned char single = static_cast<unsigned char>(value);
        Encoded &text = m_single[value - 0x80];
        text.length =
            static_cast<unsigned char>(utf8 ? 0 : ToUtf8(codePage, &single, 1, text.bytes));
        if (text.length == 0) {
            std::memcpy(text.bytes, kReplacement, 3);
            text.length = 3;
        }
        m_leadByte[value - 0x80] = doubleByte && IsDBCSLeadByteEx(codePage, single);
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
                              char *&out) const {
    const int sequence = SequenceLength(bytes, available);
    if (sequence > 0) {
        CopyCharacter(out, bytes, static_cast<size_t>(sequence));
        out += sequence;
        return static_cast<size_t>(sequence);
    }
    if (sequence == 0 && !final)
        return 0;
    // Not UTF-8, so not ASCII: the tables cover the byte.
    const size_t index = bytes[0] - 0x80u;
    if (m_leadByte[index]) {
        if (available < 2 && !final)
            return 0;
        if (available >= 2) {
            const size_t written = ToUtf8(m_codePage, bytes, 2, out);
            if (written != 0) {
                out += written;
                return 2;
            }
        }
    }
    const Encoded &single = m_single[index];
    CopyCharacter(out, single.bytes, single.length);
    out += single.length;
    return 1;
}

void Utf8Decoder::Hold(const unsigned char *bytes, size_t length) {
    std::memcpy(m_held, bytes, length);
    m_heldLength = length;
}

size_t Utf8Decoder::Decode(const char *data, size_t length, char *out) {
    char *const start = out;
    const auto *bytes = reinterpret_cast<const unsigned char *>(data);
    size_t at = 0;
    if (m_heldLength != 0) {
        // The held bytes with enough of what follows to finish their
        // character (four bytes at most); a character that is still not
        // complete took all of `data` into `joined`.
        unsigned char joined[sizeof(m_held) + 4];
        const size_t held = m_heldLength;
        const size_t added = length < 4 ? length : 4;
        std::memcpy(joined, m_held, held);
        std::memcpy(joined + held, data, added);
        m_heldLength = 0;
        size_t used = 0;
        while (used < held) {
            const size_t taken = DecodeOne(joined + used, held + added - used, false, out);
            if (taken == 0) {
                Hold(joined + used, held + added - used);
                return static_cast<size_t>(out - start);
            }
            used += taken;
        }
        at = used - held;
    }
    while (at < length) {
        // Eight bytes at a time, copied as they are scanned, up to the first
        // that is not ASCII: most text is mostly ASCII. All eight are
        // written, which the room for three bytes a byte allows.
        std::uint64_t word;
        if (length - at >= sizeof(word)) {
            std::memcpy(&word, bytes + at, sizeof(word));
            std::memcpy(out, &word, sizeof(word));
            const size_t ascii = AsciiBytes(word);
            out += ascii;
            at += ascii;
            if (ascii == sizeof(word))
                continue;
        } else if (bytes[at] < 0x80) {
            *out++ = static_cast<char>(bytes[at++]);
            continue;
        }
        // Characters of two bytes, as most letters beyond ASCII are, go on
        // at once, and so does a byte that cannot start one in UTF-8 and
        // stands alone in the code page. A word of Cyrillic or Greek is a
        // run of them, taken in a loop of its own: going round the main
        // loop for each cost nearly twice as much, in mispredicted branches.
        const unsigned char lead = bytes[at];
        if (lead >= 0xC2 && lead <= 0xDF) {
            const size_t before = at;
            while (length - at >= 2 && bytes[at] >= 0xC2 && bytes[at] <= 0xDF &&
                   (bytes[at + 1] & 0xC0) == 0x80) {
                out[0] = static_cast<char>(bytes[at]);
                out[1] = static_cast<char>(bytes[at + 1]);
                out += 2;
                at += 2;
            }
            if (at != before)
                continue;
        } else if ((lead < 0xC2 || lead > 0xF4) && !m_leadByte[lead - 0x80]) {
            const Encoded &single = m_single[lead - 0x80];
            std::memcpy(out, single.bytes, sizeof(single.bytes));
            out += single.length;
            ++at;
            continue;
        }
        const size_t taken = DecodeOne(bytes + at, length - at, false, out);
        if (taken == 0) {
            // An incomplete character is at most three bytes.
            Hold(bytes + at, length - at);
            break;
        }
        at += taken;
    }
    return static_cast<size_t>(out - start);
}

void Utf8Decoder::Decode(const char *data, size_t length, std::string &out) {
    const size_t base = out.size();
    out.resize(base + MostWritten(length));
    out.resize(base + Decode(data, length, &out[0] + base));
}

size_t Utf8Decoder::Finish(char *out) {
    char *const start = out;
    for (size_t at = 0; at < m_heldLength;)
        at += DecodeOne(m_held + at, m_heldLength - at, true, out);
    m_heldLength = 0;
    return static_cast<size_t>(out - start);
}

void Utf8Decoder::Finish(std::string &out) {
    const size_t base = out.size();
    out.resize(base + MostWritten(0));
    out.resize(base + Finish(&out[0] + base));
}
