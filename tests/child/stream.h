// The byte stream that bw_child's `out`, `err` and `both` modes write, shared
// with the test runner so it can recompute what it should have received.
//
// Each byte is a pure function of its position, not the next state of a
// generator: a test can check a chunk that starts at any offset without
// replaying everything before it, and a chunk that was lost, repeated or
// delivered out of order no longer lines up with the positions after it.
#ifndef BW_CHILD_STREAM_H
#define BW_CHILD_STREAM_H

inline unsigned char bw_stream_byte(unsigned long long index, unsigned seed)
{
    // One well-mixed 64-bit word per 8 bytes; the seed is folded in with a
    // different odd constant so that seed s and seed s+1 (the two streams of
    // `both`) share no run of bytes.
    unsigned long long x = (index >> 3) * 0x9E3779B97F4A7C15ULL +
                           (seed + 1ULL) * 0xD1B54A32D192ED03ULL;
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ULL;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBULL;
    x ^= x >> 31;
    return static_cast<unsigned char>(x >> ((index & 7) * 8));
}

#endif
