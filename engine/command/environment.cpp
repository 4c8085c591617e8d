#include "engine/command/environment.h"

#include <algorithm>

namespace {

struct Variable {
    std::wstring name;
    std::wstring entry; // "name=value", as it goes into the block
};

bool SameName(const std::wstring &a, const std::wstring &b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Windows keeps the block sorted by name, without regard to case; the
// hidden "=C:" entries, whose names start with '=', come first.
bool NameOrder(const Variable &a, const Variable &b) {
    return CompareStringOrdinal(a.name.c_str(), static_cast<int>(a.name.size()), b.name.c_str(),
                                static_cast<int>(b.name.size()), TRUE) == CSTR_LESS_THAN;
}

// A name ends at the first '=' after its first character: the hidden
// per-drive entries ("=C:=C:\work") have one in front.
std::vector<Variable> HostVariables() {
    std::vector<Variable> variables;
    wchar_t *block = GetEnvironmentStringsW();
    if (block == nullptr)
        return variables;
    for (const wchar_t *entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
        const std::wstring text(entry);
        const size_t equals = text.find(L'=', 1);
        variables.push_back({text.substr(0, equals), text});
    }
    FreeEnvironmentStringsW(block);
    return variables;
}

std::string Narrow(const std::wstring &text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &narrow[0], length,
                        nullptr, nullptr);
    return narrow;
}

} // namespace

bool ToWide(const char *text, UINT codePage, std::wstring &wide) {
    wide.clear();
    if (text == nullptr || *text == '\0')
        return true;
    const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    const int length = MultiByteToWideChar(codePage, flags, text, -1, nullptr, 0);
    if (length <= 0)
        return false;
    wide.resize(static_cast<size_t>(length));
    MultiByteToWideChar(codePage, flags, text, -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length) - 1); // the NUL
    return true;
}

bool BuildEnvironmentBlock(const std::vector<std::wstring> &entries, bool clear,
                           std::wstring &block, std::string &error) {
    std::vector<Variable> variables;
    if (!clear)
        variables = HostVariables();
    for (const std::wstring &entry : entries) {
        const size_t equals = entry.find(L'=');
        if (equals == std::wstring::npos || equals == 0) {
            error = "environment entry \"" + Narrow(entry) + "\" " +
                    (equals == 0 ? "has an empty name" : "has no '='");
            return false;
        }
        const std::wstring name = entry.substr(0, equals);
        variables.erase(
            std::remove_if(variables.begin(), variables.end(),
                           [&name](const Variable &v) { return SameName(v.name, name); }),
            variables.end());
        if (equals + 1 < entry.size())
            variables.push_back({name, entry});
    }
    std::stable_sort(variables.begin(), variables.end(), NameOrder);
    block.clear();
    for (const Variable &variable : variables) {
        block += variable.entry;
        block += L'\0';
    }
    // An empty block is two NULs; otherwise one more ends it.
    if (variables.empty())
        block += L'\0';
    block += L'\0';
    return true;
}
