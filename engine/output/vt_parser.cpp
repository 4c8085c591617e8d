#include "engine/output/vt_parser.h"

namespace {

constexpr unsigned char kEsc = 0x1B;
constexpr unsigned char kBel = 0x07;
constexpr unsigned char kCan = 0x18;
constexpr unsigned char kSub = 0x1A;
constexpr char32_t kReplacement = 0xFFFD;
// A parameter larger than any screen is as good as the largest.
constexpr int kParamLimit = 65535;

} // namespace

void VtParser::Feed(const char *data, size_t length, VtEvents &events) {
    for (size_t i = 0; i < length; ++i)
        Step(static_cast<unsigned char>(data[i]), events);
}

void VtParser::BeginCsi() {
    m_state = State::kCsi;
    m_prefix = 0;
    m_intermediate = 0;
    m_paramCount = 0;
    m_paramStarted = false;
}

// Text in the ground state: a character of UTF-8, perhaps over several
// bytes. A byte that cannot continue the character under way ends it as
// U+FFFD and is read again on its own.
bool VtParser::Text(unsigned char byte, VtEvents &events) {
    if (m_utf8Needed != 0) {
        if ((byte & 0xC0) == 0x80) {
            m_utf8 = (m_utf8 << 6) | (byte & 0x3F);
            if (--m_utf8Needed != 0)
                return false;
            const bool valid =
                m_utf8 >= m_utf8Min && m_utf8 <= 0x10FFFF && (m_utf8 < 0xD800 || m_utf8 > 0xDFFF);
            events.Print(valid ? m_utf8 : kReplacement);
            return true;
        }
        m_utf8Needed = 0;
        events.Print(kReplacement);
        return Step(byte, events);
    }
    if (byte < 0x80) {
        events.Print(byte);
        return true;
    }
    if (byte >= 0xC2 && byte <= 0xDF) {
        m_utf8 = byte & 0x1F;
        m_utf8Needed = 1;
        m_utf8Min = 0x80;
    } else if (byte >= 0xE0 && byte <= 0xEF) {
        m_utf8 = byte & 0x0F;
        m_utf8Needed = 2;
        m_utf8Min = 0x800;
    } else if (byte >= 0xF0 && byte <= 0xF4) {
        m_utf8 = byte & 0x07;
        m_utf8Needed = 3;
        m_utf8Min = 0x10000;
    } else {
        events.Print(kReplacement);
        return true;
    }
    return false;
}

bool VtParser::Step(unsigned char byte, VtEvents &events) {
    // ESC, CAN and SUB act in every state, and a character under way ends
    // before them.
    if (byte == kEsc || byte == kCan || byte == kSub) {
        // A string ends at any ESC, which starts a sequence of its own: ST
        // (ESC and a backslash) ends it properly, and anything else after ESC is what a
        // terminal reads too. Wine drops the BEL that ends a program's own
        // OSC; its next sequence ends the string instead of everything
        // after it being swallowed.
        // A string's bytes are not printed, so no character of it is cut.
        const bool inString = m_state == State::kOsc || m_state == State::kString;
        if (!inString && m_utf8Needed != 0) {
            m_utf8Needed = 0;
            events.Print(kReplacement);
        }
        if (byte == kEsc) {
            m_state = State::kEscape;
            m_intermediate = 0;
            return false;
        }
        m_state = State::kGround;
        return true;
    }
    switch (m_state) {
    case State::kGround:
        if (byte < 0x20 && m_utf8Needed == 0) {
            events.Control(byte);
            return true;
        }
        if (byte == 0x7F && m_utf8Needed == 0)
            return true;
        return Text(byte, events);
    case State::kEscape:
    case State::kEscapeIntermediate:
        if (byte < 0x20) {
            events.Control(byte);
            return false;
        }
        if (byte <= 0x2F) {
            if (m_intermediate == 0)
                m_intermediate = byte;
            m_state = State::kEscapeIntermediate;
            return false;
        }
        if (m_state == State::kEscape) {
            switch (byte) {
            case '[':
                BeginCsi();
                return false;
            case ']':
                m_state = State::kOsc;
                return false;
            case 'P': // DCS
            case 'X': // SOS
            case '^': // PM
            case '_': // APC
                m_state = State::kString;
                return false;
            default:
                break;
            }
        }
        m_state = State::kGround;
        if (byte != 0x7F)
            events.Escape(m_intermediate, byte);
        return true;
    case State::kCsi:
    case State::kCsiIgnore:
        if (byte < 0x20) {
            events.Control(byte);
            return false;
        }
        if (byte >= 0x40 && byte <= 0x7E) {
            const bool ignored = m_state == State::kCsiIgnore;
            m_state = State::kGround;
            if (!ignored) {
                if (m_paramStarted && m_paramCount < kMaxParams)
                    ++m_paramCount;
                events.Csi(m_prefix, m_params, m_paramCount, m_intermediate, byte);
            }
            return true;
        }
        if (m_state == State::kCsiIgnore)
            return false;
        if (byte >= '0' && byte <= '9') {
            if (m_paramCount >= kMaxParams)
                return false;
            int &value = m_params[m_paramCount];
            if (!m_paramStarted || value < 0)
                value = 0;
            m_paramStarted = true;
            value = value * 10 + (byte - '0');
            if (value > kParamLimit)
                value = kParamLimit;
        } else if (byte == ';' || byte == ':') {
            // A sub-parameter (':') counts as a parameter of its own: only
            // colours use them, and colours are dropped.
            if (m_paramCount < kMaxParams) {
                if (!m_paramStarted)
                    m_params[m_paramCount] = -1;
                ++m_paramCount;
            }
            m_paramStarted = false;
        } else if (byte >= '<' && byte <= '?') {
            if (m_paramCount != 0 || m_paramStarted || m_prefix != 0)
                m_state = State::kCsiIgnore;
            else
                m_prefix = byte;
        } else if (byte <= 0x2F) {
            m_intermediate = byte;
        } else {
            m_state = State::kCsiIgnore;
        }
        return false;
    case State::kOsc:
        if (byte == kBel) {
            m_state = State::kGround;
            return true;
        }
        return false;
    case State::kString:
        return false;
    }
    return false;
}
