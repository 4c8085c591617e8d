#include "engine/output/terminal_stages.h"

#include <string>

#include "engine/output/vt_parser.h"

namespace {

void AppendUtf8(char32_t c, std::string &out) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

bool StartsWith(const std::string &text, const std::string &start) {
    return text.compare(0, start.size(), start) == 0;
}

// A cell nothing was written to, or that an erase cleared.
constexpr char32_t kEmpty = 0;

bool Blank(char32_t cell) {
    return cell == kEmpty || cell == U' ';
}

// Rows are counted from the first the stream drew, never from the top of
// the screen: the screen scrolls, and a row number of a cursor move is the
// screen's (`m_top` is the number of the screen's first row). Only one row
// is kept: the one being drawn, the first that is not finished. The cursor
// above it is on finished rows, whose drawing is dropped; the cursor below
// it finishes it, and every row between, on its way.
class ScreenTextStage final : public TextStage, private VtEvents {
public:
    ScreenTextStage(Chunker &chunker, DWORD flushMs, const std::atomic<unsigned long> *size)
        : m_chunker(chunker), m_flushMs(flushMs == 0 ? kDefaultFlushMs : flushMs), m_size(size) {
        ReadSize();
    }

    void Push(char *data, size_t length, ULONGLONG now) override {
        m_lastPush = now;
        ReadSize();
        m_parser.Feed(data, length, *this);
    }
    DWORD MsUntilDue(ULONGLONG now) const override {
        if (!m_changed)
            return INFINITE;
        const ULONGLONG due = m_lastPush + m_flushMs;
        return now >= due ? 0 : static_cast<DWORD>(due - now);
    }
    void Flush() override { DeliverUnfinished(); }
    void End() override { DeliverUnfinished(); }

private:
    static constexpr DWORD kDefaultFlushMs = 50;

    void ReadSize() {
        const unsigned long packed = m_size != nullptr ? m_size->load() : 0;
        const unsigned columns = TerminalSize::Columns(packed);
        const unsigned rows = TerminalSize::Rows(packed);
        m_columns = columns != 0 ? columns : TerminalSize::kDefaultColumns;
        m_rows = rows != 0 ? rows : TerminalSize::kDefaultRows;
        if (m_row >= m_rows)
            m_row = m_rows - 1;
        if (m_col > m_columns)
            m_col = m_columns;
    }

    long long CursorRow() const { return m_top + static_cast<long long>(m_row); }
    bool OnLine() const { return CursorRow() == m_line; }

    // The row as it stands: its cells up to the last that is not blank.
    std::string LineText() const {
        std::string text = m_carry;
        size_t end = m_cells.size();
        while (end > 0 && Blank(m_cells[end - 1]))
            --end;
        for (size_t i = 0; i < end; ++i)
            AppendUtf8(m_cells[i] == kEmpty ? U' ' : m_cells[i], text);
        return text;
    }

    void Deliver(std::string &text) {
        if (!text.empty())
            m_chunker.Push(&text[0], text.size());
    }

    // What the host lacks of `text`: the added part, or all of it after a
    // "\r" when what it has was rewritten.
    std::string Change(const std::string &text) const {
        return StartsWith(text, m_sent) ? text.substr(m_sent.size()) : "\r" + text;
    }

    void DeliverUnfinished() {
        if (!m_changed)
            return;
        m_changed = false;
        const std::string text = LineText();
        if (text == m_sent)
            return;
        std::string change = Change(text);
        m_sent = text;
        Deliver(change);
    }

    // The cursor has left the row being drawn downwards. A row the program
    // filled to the last column goes on in the next: the console wrapped
    // it (Wine then ends the row in "\r\n" as if the line had ended).
    void FinishRow() {
        const bool full = m_cells.size() >= m_columns && !Blank(m_cells[m_columns - 1]);
        std::string text = LineText();
        m_cells.clear();
        ++m_line;
        if (full) {
            m_carry = text;
            return;
        }
        std::string line = Change(text) + "\n";
        m_carry.clear();
        m_sent.clear();
        m_changed = false;
        Deliver(line);
    }

    void Settle() {
        while (CursorRow() > m_line)
            FinishRow();
    }

    void LineFeed() {
        if (m_row + 1 >= m_rows)
            ++m_top; // the screen scrolls
        else
            ++m_row;
        Settle();
    }

    // A cursor at the right edge waits there for the next character to
    // wrap it; a move starts from the last column.
    void LeaveWrap() {
        if (m_col >= m_columns)
            m_col = m_columns - 1;
    }

    void MoveTo(unsigned row, unsigned col) {
        m_row = row < m_rows ? row : m_rows - 1;
        m_col = col < m_columns ? col : m_columns - 1;
        Settle();
    }

    // Sets cells [from, to) of the row being drawn to `cell`.
    void Fill(size_t from, size_t to, char32_t cell) {
        if (!OnLine())
            return;
        if (to > m_cells.size())
            to = m_cells.size();
        for (size_t i = from; i < to; ++i) {
            m_cells[i] = cell;
            m_changed = true;
        }
    }

    // A clear screen leaves only empty rows: what was drawn of the row
    // being drawn still goes to the host as a finished line (a log keeps
    // what a screen lost), and the screen's rows are all new rows below it.
    void ClearScreen() {
        if (!m_cells.empty() || !m_carry.empty() || !m_sent.empty()) {
            const long long row = m_line;
            while (m_line == row)
                FinishRow();
        }
        m_top = m_line;
    }

    void Print(char32_t character) override {
        if (m_col >= m_columns) {
            m_col = 0;
            LineFeed();
        }
        Settle();
        if (OnLine()) {
            if (m_cells.size() <= m_col)
                m_cells.resize(m_col + 1, kEmpty);
            m_cells[m_col] = character;
            m_changed = true;
        }
        ++m_col;
    }

    void Control(unsigned char control) override {
        switch (control) {
        case '\r':
            m_col = 0;
            break;
        case '\n':
        case 0x0B:
        case 0x0C:
            LineFeed();
            break;
        case '\b':
            LeaveWrap();
            if (m_col > 0)
                --m_col;
            break;
        case '\t':
            LeaveWrap();
            m_col = (m_col / 8 + 1) * 8;
            if (m_col >= m_columns)
                m_col = m_columns - 1;
            break;
        default:
            break; // BEL and the rest show nothing
        }
    }

    void Escape(unsigned char intermediate, unsigned char final) override {
        if (intermediate != 0)
            return;
        switch (final) {
        case 'D': // index
            LineFeed();
            break;
        case 'E': // next line
            m_col = 0;
            LineFeed();
            break;
        case 'M': // reverse index; a scroll down brings back no row
            if (m_row > 0)
                --m_row;
            break;
        case '7':
            m_savedRow = m_row;
            m_savedCol = m_col;
            break;
        case '8':
            MoveTo(m_savedRow, m_savedCol);
            break;
        case 'c': // reset
            ClearScreen();
            MoveTo(0, 0);
            break;
        default:
            break;
        }
    }

    void Csi(unsigned char prefix, const int *params, size_t count, unsigned char intermediate,
             unsigned char final) override {
        // Private modes (cursor shown or hidden, the alternate screen, focus
        // reports) and anything with an intermediate change no text.
        if (prefix != 0 || intermediate != 0)
            return;
        // A movement's count: left out or 0 means 1.
        const auto n = [&](size_t i) -> unsigned {
            return i < count && params[i] > 0 ? static_cast<unsigned>(params[i]) : 1u;
        };
        const int mode = count > 0 && params[0] > 0 ? params[0] : 0;
        switch (final) {
        case 'A': // up
            LeaveWrap();
            m_row = m_row > n(0) ? m_row - n(0) : 0;
            break;
        case 'B': // down
        case 'e':
            LeaveWrap();
            MoveTo(m_row + n(0), m_col);
            break;
        case 'C': // right
        case 'a':
            LeaveWrap();
            MoveTo(m_row, m_col + n(0));
            break;
        case 'D': // left
            LeaveWrap();
            m_col = m_col > n(0) ? m_col - n(0) : 0;
            break;
        case 'E': // next line
            MoveTo(m_row + n(0), 0);
            break;
        case 'F': // previous line
            m_row = m_row > n(0) ? m_row - n(0) : 0;
            m_col = 0;
            break;
        case 'G': // column
        case '`':
            MoveTo(m_row, n(0) - 1);
            break;
        case 'H': // position
        case 'f':
            MoveTo(n(0) - 1, n(1) - 1);
            break;
        case 'd': // row
            MoveTo(n(0) - 1, m_col);
            break;
        case 'J': // erase in display: the rows below the one being drawn
                  // are empty already
            if (mode == 0)
                Fill(m_col, m_cells.size(), kEmpty);
            else if (mode == 1)
                Fill(0, static_cast<size_t>(m_col) + 1, kEmpty);
            else
                ClearScreen();
            break;
        case 'K': // erase in line
            if (mode == 0)
                Fill(m_col, m_cells.size(), kEmpty);
            else if (mode == 1)
                Fill(0, static_cast<size_t>(m_col) + 1, kEmpty);
            else
                Fill(0, m_cells.size(), kEmpty);
            break;
        case 'X': // erase characters
            Fill(m_col, static_cast<size_t>(m_col) + n(0), kEmpty);
            break;
        case 'P': // delete characters
            if (OnLine() && m_col < m_cells.size()) {
                const size_t end = static_cast<size_t>(m_col) + n(0);
                m_cells.erase(m_cells.begin() + m_col,
                              m_cells.begin() + (end < m_cells.size() ? end : m_cells.size()));
                m_changed = true;
            }
            break;
        case '@': // insert characters
            if (OnLine() && m_col < m_cells.size()) {
                m_cells.insert(m_cells.begin() + m_col, n(0), kEmpty);
                if (m_cells.size() > m_columns)
                    m_cells.resize(m_columns);
                m_changed = true;
            }
            break;
        case 'M': // delete lines: the row's text is gone
            Fill(0, m_cells.size(), kEmpty);
            break;
        case 'S': // scroll up: the cursor's row is a later one
            m_top += n(0);
            Settle();
            break;
        case 's':
            m_savedRow = m_row;
            m_savedCol = m_col;
            break;
        case 'u':
            MoveTo(m_savedRow, m_savedCol);
            break;
        default:
            break; // colours (m), modes (h, l), reports (n), margins (r)
        }
    }

    Chunker &m_chunker;
    const DWORD m_flushMs;
    const std::atomic<unsigned long> *const m_size;
    VtParser m_parser;
    unsigned m_columns = TerminalSize::kDefaultColumns;
    unsigned m_rows = TerminalSize::kDefaultRows;
    long long m_top = 0;
    unsigned m_row = 0;
    // m_columns: at the right edge, waiting to wrap.
    unsigned m_col = 0;
    unsigned m_savedRow = 0;
    unsigned m_savedCol = 0;
    // The row being drawn: its number, its cells, and the text of the rows
    // it continues (wrapped by the console).
    long long m_line = 0;
    std::u32string m_cells;
    std::string m_carry;
    // What the host has of the line, and whether the line changed since.
    std::string m_sent;
    bool m_changed = false;
    ULONGLONG m_lastPush = 0;
};

// Sees items, shows nothing: the raw stage only asks where they end.
class NoEvents final : public VtEvents {
public:
    void Print(char32_t) override {}
    void Control(unsigned char) override {}
    void Escape(unsigned char, unsigned char) override {}
    void Csi(unsigned char, const int *, size_t, unsigned char, unsigned char) override {}
};

class RawTerminalStage final : public TextStage {
public:
    explicit RawTerminalStage(Chunker &chunker) : m_chunker(chunker) {}

    // Everything up to the last whole item goes on; the rest waits for the
    // bytes that finish it.
    void Push(char *data, size_t length, ULONGLONG) override {
        if (length == 0)
            return;
        const size_t scanned = m_held.size();
        m_held.append(data, length);
        size_t start = 0;
        size_t lastSafe = 0;
        for (size_t i = scanned; i < m_held.size(); ++i) {
            m_parser.Step(static_cast<unsigned char>(m_held[i]), m_events);
            if (!m_parser.Ground())
                continue;
            const size_t safe = i + 1;
            if (safe - start > m_chunker.ChunkBytes()) {
                if (lastSafe > start) {
                    m_chunker.DeliverOne(&m_held[start], lastSafe - start);
                    start = lastSafe;
                }
                // One item longer than a chunk: whole, alone.
                if (safe - start > m_chunker.ChunkBytes()) {
                    m_chunker.DeliverOne(&m_held[start], safe - start);
                    start = safe;
                }
            }
            lastSafe = safe;
        }
        if (lastSafe > start)
            m_chunker.DeliverOne(&m_held[start], lastSafe - start);
        m_held.erase(0, lastSafe > start ? lastSafe : start);
    }

    // An item the stream never finished goes on as it is.
    void End() override {
        if (!m_held.empty())
            m_chunker.Push(&m_held[0], m_held.size());
        m_held.clear();
    }

private:
    Chunker &m_chunker;
    VtParser m_parser;
    NoEvents m_events;
    // Bytes of an item not yet whole, then the bytes of the latest read.
    std::string m_held;
};

} // namespace

std::unique_ptr<TextStage> MakeScreenTextStage(Chunker &chunker, DWORD flushMs,
                                               const std::atomic<unsigned long> *size) {
    return std::make_unique<ScreenTextStage>(chunker, flushMs, size);
}

std::unique_ptr<TextStage> MakeRawTerminalStage(Chunker &chunker) {
    return std::make_unique<RawTerminalStage>(chunker);
}
