// A stage of a reader's chain that turns whatever a program writes into
// UTF-8. Programs differ: a modern one writes UTF-8 whatever the console's
// code page says, an old one the OEM or the ANSI code page, and some mix
// them in one stream. So bytes that form valid UTF-8 pass unchanged, and
// every other byte is read in the stream's code page.
//
// A character is never split: bytes at the end of what was read that may
// still become one character are held until the next bytes decide, or until
// the stream ends.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

class Utf8Decoder {
public:
    // `codePage` is the one whatever is not UTF-8 is read in: a single- or
    // double-byte code page, or CP_UTF8, which makes every byte that is not
    // part of valid UTF-8 one U+FFFD. UsableCodePage() says which will do.
    explicit Utf8Decoder(UINT codePage);

    static bool UsableCodePage(UINT codePage);

    // Appends the UTF-8 for `data` to `out`, holding back an incomplete
    // character at its end.
    void Decode(const char *data, size_t length, std::string &out);

    // The same into `out`, which has room for MostWritten(length) bytes;
    // returns how many it wrote. A reader decodes every read into one buffer
    // it keeps, without growing a string piece by piece.
    size_t Decode(const char *data, size_t length, char *out);

    // The most bytes Decode writes for `length` bytes, Finish for none: a
    // byte that is not UTF-8 becomes at most three, and what is held
    // counts as read again.
    size_t MostWritten(size_t length) const { return 3 * (m_heldLength + length); }

    // Whether bytes are held back.
    bool Holding() const { return m_heldLength != 0; }

    // Appends what is held, decoded as it stands: nothing more will come.
    void Finish(std::string &out);
    size_t Finish(char *out);

    // How many bytes at the start of `data` are complete, valid UTF-8.
    static size_t ValidUtf8Prefix(const char *data, size_t length);

private:
    // Decodes the character at `bytes` (`available` of them) to `out`,
    // which it moves past what it wrote; returns how many bytes it took,
    // or 0 when more bytes are needed to tell and `final` is false.
    size_t DecodeOne(const unsigned char *bytes, size_t available, bool final, char *&out) const;

    // Keeps the start of a character that the next bytes may finish.
    void Hold(const unsigned char *bytes, size_t length);

    // A character as UTF-8: one UTF-16 unit is at most three bytes.
    struct Encoded {
        unsigned char length;
        char bytes[3];
    };

    const UINT m_codePage;
    // Bytes 0x80 to 0xFF on their own in the code page, as UTF-8, and
    // whether each leads a pair in a double-byte code page: tables made
    // once, so that decoding asks the system only to read a pair.
    Encoded m_single[128];
    bool m_leadByte[128] = {};
    // A character is at most four bytes, and one that is held lacks one.
    unsigned char m_held[4] = {};
    size_t m_heldLength = 0;
};
