// Reads a pseudo console's output stream: UTF-8 text with the control
// sequences of a terminal among it. Both console hosts that feed one (Wine's
// and Windows' own) write the same grammar with different habits, so this
// follows the grammar rather than either host's habits: C0 controls, ESC
// sequences, CSI sequences with parameters, and strings (OSC, ended by BEL
// or ST; DCS, SOS, PM and APC, ended by ST, or by any ESC as a terminal
// ends them) that are read and dropped.
//
// A sequence or a character may be split anywhere between reads: the parser
// keeps its state between calls. Ground() says whether the bytes so far end
// between two whole items, which is where a raw stream may be cut.
//
// Threads: a parser belongs to its reader's chain, used on that thread only.
#pragma once

#include <cstddef>
#include <cstdint>

// What the parser found, item by item.
class VtEvents {
public:
    virtual ~VtEvents() = default;
    // One character of text; a byte that is not UTF-8 is U+FFFD.
    virtual void Print(char32_t character) = 0;
    // A C0 control other than ESC, CAN and SUB (which belong to the parser).
    virtual void Control(unsigned char control) = 0;
    // ESC followed by `final` (0x30..0x7E); `intermediate` is the first byte
    // between them (0x20..0x2F), or 0.
    virtual void Escape(unsigned char intermediate, unsigned char final) = 0;
    // CSI: `prefix` is a private marker ('<', '=', '>', '?') or 0; `count`
    // parameters, each -1 when left out; `final` ends it.
    virtual void Csi(unsigned char prefix, const int *params, size_t count,
                     unsigned char intermediate, unsigned char final) = 0;
};

class VtParser {
public:
    static constexpr size_t kMaxParams = 16;

    // Reads `length` bytes, reporting each whole item to `events`.
    void Feed(const char *data, size_t length, VtEvents &events);

    // Reads one byte; true when it ended an item and the parser is back
    // between items (a raw stream may be cut right after it).
    bool Step(unsigned char byte, VtEvents &events);

    // Whether no sequence or character is open.
    bool Ground() const { return m_state == State::kGround && m_utf8Needed == 0; }

private:
    enum class State {
        kGround,
        kEscape,
        kEscapeIntermediate,
        kCsi,
        kCsiIgnore,
        kOsc,
        kString, // DCS, SOS, PM, APC: dropped up to ST
    };

    void BeginCsi();
    bool Text(unsigned char byte, VtEvents &events);

    State m_state = State::kGround;
    unsigned char m_intermediate = 0;
    unsigned char m_prefix = 0;
    int m_params[kMaxParams] = {};
    size_t m_paramCount = 0;
    bool m_paramStarted = false;
    // A UTF-8 character under way: its value so far and the bytes it lacks.
    char32_t m_utf8 = 0;
    int m_utf8Needed = 0;
    char32_t m_utf8Min = 0;
};
