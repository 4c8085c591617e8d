// Texts for the child in UTF-16, and the environment block it is given.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Converts `text` from `codePage` to UTF-16. False for text that is not
// valid in that code page: UTF-8 is checked strictly, since a bad byte would
// otherwise become U+FFFD and the child would get something else.
bool ToWide(const char *text, UINT codePage, std::wstring &wide);

// The child's environment block: the host's own (or none, with `clear`)
// with `entries` applied in order. "NAME=value" sets NAME, "NAME=" removes
// it; names compare without regard to case, and the last entry for a name
// wins. The host's hidden "=C:"-style entries stay unless `clear`. Entries
// are sorted as Windows requires. False, with `error` saying which entry and
// why, for an entry without '=' or with an empty name.
bool BuildEnvironmentBlock(const std::vector<std::wstring> &entries, bool clear,
                           std::wstring &block, std::string &error);
