// The sizes that decide how bytes move from a child's pipe to the host. In a
// header of their own so that the benchmarks hold their raw baselines to the
// same sizes the library uses.
#pragma once

#include <windows.h>

// Most bytes one chunk handed to a callback holds, unless the run asks for
// another size: at most kMaxChunkBytes, so that a host's wrong value cannot
// make the library hold a line of any length.
constexpr DWORD kChunkSize = 1024;
constexpr DWORD kMaxChunkBytes = 1024 * 1024;
// Undelivered text a stream may hold before its reader waits for the host,
// unless the run asks for another bound.
constexpr DWORD kDefaultMaxPendingBytes = 1024 * 1024;

// Most bytes one read takes from a pipe, and the bytes the system may buffer
// in each direction of a pipe before a writer waits. Every read is a round
// trip to the system (under Wine a request to its server, which the writing
// child waits on too), so large reads, cut into chunks afterwards, cost far
// less. A read takes at most what the pipe holds, so the two grow together:
// a child writing 64 KiB blocks moved about a quarter faster at 256 KiB than
// at 64 KiB, 1 MiB gained nothing more, and a child writing 4 KiB blocks was
// as fast at any of them (bench_read_sizes). A read returns as soon as any
// byte is there, so neither size delays a small write. A reader's buffer
// starts at 8 KiB and grows to one read only while reads keep filling it, so
// a quiet run stays small.
constexpr DWORD kReadSize = 256 * 1024;
constexpr DWORD kPipeBuffer = 256 * 1024;
