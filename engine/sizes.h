// The sizes that decide how bytes move from a child's pipe to the host. In a
// header of their own so that the benchmarks hold their raw baselines to the
// same sizes the library uses.
#pragma once

#include <windows.h>

// Most bytes one chunk handed to a callback holds.
constexpr DWORD kChunkSize = 1024;
// Most bytes one read takes from a pipe. Every read is a round trip to the
// system, so large reads, cut into chunks afterwards, cost far less.
constexpr DWORD kReadSize = 64 * 1024;
// Bytes the system may buffer in each direction of a pipe before a writer
// waits. The size is advisory; a larger buffer lets a child that writes in
// bursts go on while a callback is busy.
constexpr DWORD kPipeBuffer = 64 * 1024;
