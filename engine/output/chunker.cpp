#include "engine/output/chunker.h"

namespace {

bool IsContinuationByte(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

} // namespace

size_t Chunker::FirstChunk(const char *data, size_t length) const {
    if (length <= m_chunkBytes)
        return length;
    size_t cut = m_chunkBytes;
    // A chunk begins with the byte at `cut`; in valid UTF-8 a character
    // starts within three bytes before any position.
    if (m_keepCharacters) {
        while (cut > m_chunkBytes - 3 && IsContinuationByte(data[cut]))
            --cut;
    }
    // A chunk never ends up empty, however small the chunk size.
    if (m_keepLineEnds && cut > 1 && data[cut] == '\n' && data[cut - 1] == '\r')
        --cut;
    return cut;
}

void Chunker::DeliverOne(char *data, size_t length) {
    const char next = data[length];
    data[length] = '\0';
    m_sink.Deliver(data, length);
    data[length] = next;
}

void Chunker::Push(char *data, size_t length) {
    while (length > 0) {
        const size_t chunk = FirstChunk(data, length);
        DeliverOne(data, chunk);
        data += chunk;
        length -= chunk;
    }
}
