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

    // Whether bytes are held back.
    bool Holding() const { return !m_held.empty(); }

    // Appends what is held, decoded as it stands: nothing more will come.
    void Finish(std::string &out);

    // How many bytes at the start of `data` are complete, valid UTF-8.
    static size_t ValidUtf8Prefix(const char *data, size_t length);

private:
    // Decodes the character at `bytes` (`available` of them); returns how
    // many bytes it took, or 0 when more bytes are needed to tell and
    // `final` is false.
    size_t DecodeOne(const unsigned char *bytes, size_t available, bool final, std::string &out);

    const UINT m_codePage;
    bool m_doubleByte = false;
    // Bytes 0x80 to 0xFF on their own in the code page, as UTF-8.
    std::string m_single[128];
    std::string m_held;
};
