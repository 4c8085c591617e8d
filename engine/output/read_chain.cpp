#include "engine/output/read_chain.h"

ReadChain::ReadChain(const TextOptions &options, ChunkSink &sink)
    : m_chunker(sink, options.utf8, options.lines) {
    if (options.utf8)
        m_decoder.emplace(options.codePage == CP_OEMCP ? GetOEMCP() : options.codePage);
    if (options.lines)
        m_lines.emplace(m_chunker, options.lineFlushMs);
}

void ReadChain::Forward(char *data, size_t length) {
    if (length == 0)
        return;
    if (m_lines)
        m_lines->Push(data, length);
    else
        m_chunker.Push(data, length);
}

char *ReadChain::Room(size_t length) {
    if (m_decoded.size() < length + 1)
        m_decoded.resize(length + 1);
    return m_decoded.data();
}

void ReadChain::FinishHeld() {
    char *out = Room(m_decoder->MostWritten(0));
    Forward(out, m_decoder->Finish(out));
}

void ReadChain::Push(char *data, size_t length, ULONGLONG now) {
    if (length == 0)
        return;
    if (m_lines)
        m_lines->Touch(now);
    // Text that is UTF-8 already goes on as it was read, without a copy.
    if (!m_decoder ||
        (!m_decoder->Holding() && Utf8Decoder::ValidUtf8Prefix(data, length) == length)) {
        Forward(data, length);
        return;
    }
    char *out = Room(m_decoder->MostWritten(length));
    Forward(out, m_decoder->Decode(data, length, out));
}

DWORD ReadChain::MsUntilDue(ULONGLONG now) const {
    // Only part of a line is ever due. The start of a character the decoder
    // holds waits for its rest or for the stream's end, however long the
    // pause: decoded now, it would come out as other characters.
    if (!m_lines || !m_lines->Unfinished())
        return INFINITE;
    return m_lines->MsUntilDue(now);
}

void ReadChain::FlushDue(ULONGLONG now) {
    if (MsUntilDue(now) != 0)
        return;
    // The line goes on as far as its characters are complete.
    m_lines->Flush();
}

void ReadChain::End() {
    if (m_decoder && m_decoder->Holding())
        FinishHeld();
    if (m_lines)
        m_lines->Flush();
}
