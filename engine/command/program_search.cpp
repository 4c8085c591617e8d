#include "engine/command/program_search.h"

#include "engine/command/environment.h"

#include <cstring>
#include <cwchar>
#include <vector>

namespace {

// What CreateProcess and cmd.exe try when PATHEXT is not set.
const wchar_t kDefaultExtensions[] = L".COM;.EXE;.BAT;.CMD";

bool IsFile(const std::wstring &path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A variable of the run's block when it has one, else of the host's.
std::wstring Variable(const wchar_t *name, const std::wstring *block) {
    if (block == nullptr) {
        const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
        if (size == 0)
            return std::wstring();
        std::wstring value(size, L'\0');
        value.resize(GetEnvironmentVariableW(name, &value[0], size));
        return value;
    }
    const size_t length = std::wcslen(name);
    for (size_t start = 0; start < block->size() && (*block)[start] != L'\0';) {
        size_t end = block->find(L'\0', start);
        if (end == std::wstring::npos)
            end = block->size();
        const wchar_t *entry = block->c_str() + start;
        if (end - start > length && entry[length] == L'=' &&
            CompareStringOrdinal(entry, static_cast<int>(length), name, static_cast<int>(length),
                                 TRUE) == CSTR_EQUAL)
            return std::wstring(entry + length + 1, end - start - length - 1);
        start = end + 1;
    }
    return std::wstring();
}

// A list such as PATH or PATHEXT, split at ';'. A folder of PATH may be
// quoted, since it may hold the separator.
std::vector<std::wstring> Split(const std::wstring &list) {
    std::vector<std::wstring> items;
    std::wstring item;
    bool quoted = false;
    for (wchar_t c : list + L";") {
        if (c == L'"') {
            quoted = !quoted;
        } else if (c == L';' && !quoted) {
            if (!item.empty())
                items.push_back(item);
            item.clear();
        } else {
            item += c;
        }
    }
    return items;
}

std::wstring ModuleFolder() {
    const std::wstring path = ModulePath(nullptr);
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring SystemFolder(UINT(WINAPI *query)(LPWSTR, UINT)) {
    wchar_t folder[MAX_PATH];
    const UINT length = query(folder, MAX_PATH);
    return length == 0 || length >= MAX_PATH ? std::wstring() : std::wstring(folder, length);
}

bool HasFolder(const std::wstring &name) {
    return name.find_first_of(L"\\/:") != std::wstring::npos;
}

bool IsRelative(const std::wstring &name) {
    return !(name.size() >= 2 && name[1] == L':') && name[0] != L'\\' && name[0] != L'/';
}

// Where a name without a folder is looked up, in order: never the host's
// current directory, never the run's directory. A relative folder of PATH
// ("." included) would be the current directory again by another name.
std::vector<std::wstring> SearchFolders(const std::wstring *environment) {
    std::vector<std::wstring> folders = {ModuleFolder(), SystemFolder(GetSystemDirectoryW),
                                         SystemFolder(GetWindowsDirectoryW)};
    for (const std::wstring &folder : Split(Variable(L"PATH", environment)))
        if (!IsRelative(folder))
            folders.push_back(folder);
    std::vector<std::wstring> known;
    for (const std::wstring &folder : folders)
        if (!folder.empty())
            known.push_back(folder);
    return known;
}

bool HasExtension(const std::wstring &name) {
    const size_t leaf = name.find_last_of(L"\\/:");
    return name.find(L'.', leaf == std::wstring::npos ? 0 : leaf + 1) != std::wstring::npos;
}

std::wstring FullPath(const std::wstring &path) {
    const DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return path;
    std::wstring full(size, L'\0');
    full.resize(GetFullPathNameW(path.c_str(), size, &full[0], nullptr));
    return full;
}

// The names `name` may stand for, in the order they are tried.
std::vector<std::wstring> Candidates(const std::wstring &name, const std::wstring *environment) {
    if (HasExtension(name))
        return {name};
    std::wstring extensions = Variable(L"PATHEXT", environment);
    if (extensions.empty())
        extensions = kDefaultExtensions;
    std::vector<std::wstring> names;
    for (const std::wstring &extension : Split(extensions))
        names.push_back(name + extension);
    return names;
}

std::string Narrow(const std::wstring &wide, UINT codePage, bool *lossy = nullptr) {
    if (wide.empty())
        return std::string();
    // No best fit: a path must name the file exactly or not at all.
    const DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL *used = codePage == CP_UTF8 ? nullptr : &usedDefault;
    const int size = static_cast<int>(wide.size());
    const int length =
        WideCharToMultiByte(codePage, flags, wide.data(), size, nullptr, 0, nullptr, used);
    std::string text(static_cast<size_t>(length), '\0');
    if (length > 0)
        WideCharToMultiByte(codePage, flags, wide.data(), size, &text[0], length, nullptr, used);
    if (lossy != nullptr)
        *lossy = length <= 0 || usedDefault != FALSE;
    return text;
}

// The first existing file among `name`'s candidates in each of `folders`,
// folder by folder; empty when none.
std::wstring FindIn(const std::vector<std::wstring> &folders, const std::wstring &name,
                    const std::wstring *environment) {
    const std::vector<std::wstring> names = Candidates(name, environment);
    for (const std::wstring &folder : folders) {
        const std::wstring base = folder.empty() ? std::wstring() : folder + L"\\";
        for (const std::wstring &candidate : names) {
            const std::wstring path = FullPath(base + candidate);
            if (IsFile(path))
                return path;
        }
    }
    return std::wstring();
}

// One name: the folders it is looked up in, by what kind of name it is.
std::vector<std::wstring> FoldersFor(const std::wstring &name, const ProgramSearch &search) {
    if (!HasFolder(name))
        return SearchFolders(search.environment);
    if (IsRelative(name))
        return {FullPath(search.directory.empty() ? std::wstring(L".") : search.directory)};
    return {std::wstring()}; // a full path stands for itself
}

std::string Describe(const std::wstring &name, const std::vector<std::wstring> &folders,
                     const ProgramSearch &search) {
    std::wstring text = L"\"" + name + L"\"";
    if (!HasExtension(name)) {
        std::wstring extensions = Variable(L"PATHEXT", search.environment);
        text += L" with " + (extensions.empty() ? std::wstring(kDefaultExtensions) : extensions);
    }
    if (folders.size() == 1 && folders[0].empty())
        return Narrow(text, search.codePage);
    text += L" in ";
    for (size_t i = 0; i < folders.size(); ++i)
        text += (i == 0 ? L"" : L"; ") + folders[i];
    return Narrow(text, search.codePage);
}

// The ends of the prefixes CreateProcess would try, shortest first.
std::vector<size_t> NameEnds(const char *command, size_t &begin) {
    begin = std::strspn(command, " \t");
    const char *name = command + begin;
    if (*name == '"') {
        const char *close = std::strchr(name + 1, '"');
        return {close == nullptr ? std::strlen(command) : static_cast<size_t>(close - command) + 1};
    }
    std::vector<size_t> ends;
    for (const char *p = name; *p != '\0';) {
        p += std::strcspn(p, " \t");
        ends.push_back(static_cast<size_t>(p - command));
        p += std::strspn(p, " \t");
    }
    return ends;
}

} // namespace

bool FindProgram(const char *command, const ProgramSearch &search, FoundProgram &found,
                 std::string &why) {
    size_t begin = 0;
    std::string looked;
    for (size_t end : NameEnds(command, begin)) {
        std::string text(command + begin, end - begin);
        if (!text.empty() && text.front() == '"')
            text = text.substr(1, text.size() - (text.back() == '"' && text.size() > 1 ? 2 : 1));
        std::wstring name;
        if (!ToWide(text.c_str(), search.codePage, name) || name.empty())
            continue;
        const std::vector<std::wstring> folders = FoldersFor(name, search);
        const std::wstring path = FindIn(folders, name, search.environment);
        if (path.empty()) {
            looked += (looked.empty() ? "" : ", nor ") + Describe(name, folders, search);
            continue;
        }
        bool lossy = false;
        found.path = Narrow(path, search.codePage, &lossy);
        found.commandEnd = end;
        if (!lossy)
            return true;
        why = "the program's path, " + found.path +
              ", has characters the ANSI code page lacks (DLLGLUE_UTF8 passes them)";
        return false;
    }
    why = looked.empty() ? "no program was named" : "no program " + looked;
    return false;
}

std::wstring ModulePath(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0)
            return std::wstring();
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        // Cut short: a path longer than MAX_PATH needs more room.
        path.resize(path.size() * 2);
    }
}
