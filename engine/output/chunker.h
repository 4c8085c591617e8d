// The last stage of a reader's chain: cuts what reaches it into the chunks a
// host's callback receives, at most the run's chunk size each (kChunkSize
// unless the host chose another), each followed by a NUL that is not counted.
#pragma once

#include <cstddef>

#include "engine/os/sizes.h"

// Where chunks go once cut: the reader's relay to the host.
class ChunkSink {
public:
    virtual ~ChunkSink() = default;
    // `text[length]` is a NUL for the duration of the call.
    virtual void Deliver(const char *text, size_t length) = 0;
};

class Chunker {
public:
    // With `keepCharacters` the text is UTF-8 and a chunk ends early rather
    // than split a character; with `keepLineEnds` it ends early rather than
    // part a "\r\n". Without either, every chunk but a stream's last holds
    // exactly `chunkBytes` bytes, which hosts of plain bytes have always seen.
    // With `keepCharacters`, `chunkBytes` is at least 4, so that a chunk
    // holds any character.
    Chunker(ChunkSink &sink, bool keepCharacters, bool keepLineEnds, size_t chunkBytes = kChunkSize)
        : m_sink(sink), m_keepCharacters(keepCharacters), m_keepLineEnds(keepLineEnds),
          m_chunkBytes(chunkBytes) {}

    size_t ChunkBytes() const { return m_chunkBytes; }

    // Delivers all of `data` in chunks. The NULs are written in place, each
    // over the byte after its chunk, which is put back afterwards: no copy.
    // So `data` is written to, and `data[length]` must be writable (it is
    // left as it was).
    void Push(char *data, size_t length);

    // How many bytes of `data` the first chunk takes: all when they fit,
    // otherwise at most ChunkBytes(), ending where the options allow.
    size_t FirstChunk(const char *data, size_t length) const;

    // Delivers `data` as one chunk; `length` is at most ChunkBytes().
    void DeliverOne(char *data, size_t length);

private:
    ChunkSink &m_sink;
    const bool m_keepCharacters;
    const bool m_keepLineEnds;
    const size_t m_chunkBytes;
};
