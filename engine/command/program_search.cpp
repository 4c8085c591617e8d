#include "engine/command/program_search.h"

#include "engine/command/environment.h"
#include "engine/os/scoped_handle.h"

#include <algorithm>
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

bool IsSlash(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool IsDriveLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

// "C:tool.exe" and "C:." name drive C's current directory.
bool IsDriveRelative(const std::wstring &name) {
    return name.size() >= 2 && IsDriveLetter(name[0]) && name[1] == L':' &&
           (name.size() == 2 || !IsSlash(name[2]));
}

// Only these stand for the same file whatever the host's current directory
// and drive: "C:\x", "C:/x", "\\server\share\x" and "\\?\" paths. "C:x" is
// relative to drive C's current directory, "\x" to the current drive.
bool IsAbsolute(const std::wstring &name) {
    return (name.size() >= 3 && IsDriveLetter(name[0]) && name[1] == L':' && IsSlash(name[2])) ||
           (name.size() >= 2 && IsSlash(name[0]) && IsSlash(name[1]));
}

// The folders of two lists name the same folder when they differ only in
// case or in a trailing separator.
bool SameFolder(const std::wstring &a, const std::wstring &b) {
    auto trimmed = [](const std::wstring &folder) {
        size_t length = folder.size();
        while (length > 3 && IsSlash(folder[length - 1]))
            --length;
        return static_cast<int>(length);
    };
    return CompareStringOrdinal(a.c_str(), trimmed(a), b.c_str(), trimmed(b), TRUE) == CSTR_EQUAL;
}

// Where a name without a folder is looked up, in order, each folder once:
// never the host's current directory, never the run's directory. A PATH
// folder that is not absolute ("." or "C:." included) would be the host's
// current directory, or its current drive, by another name.
std::vector<std::wstring> SearchFolders(const std::wstring *environment) {
    std::vector<std::wstring> folders = {ModuleFolder(), SystemFolder(GetSystemDirectoryW),
                                         SystemFolder(GetWindowsDirectoryW)};
    for (const std::wstring &folder : Split(Variable(L"PATH", environment)))
        if (IsAbsolute(folder))
            folders.push_back(folder);
    std::vector<std::wstring> known;
    for (const std::wstring &folder : folders) {
        const bool seen = std::any_of(known.begin(), known.end(), [&](const std::wstring &other) {
            return SameFolder(folder, other);
        });
        if (!folder.empty() && !seen)
            known.push_back(folder);
    }
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

// Whether the file holds a program image, whatever its name.
bool IsProgramImage(const std::wstring &path) {
    // Shared every way: a reader must not stand in the way of anyone else.
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    IMAGE_DOS_HEADER header{};
    DWORD read = 0;
    if (!file.IsValid() || !ReadFile(file.Get(), &header, sizeof(header), &read, nullptr) ||
        read != sizeof(header) || header.e_magic != IMAGE_DOS_SIGNATURE || header.e_lfanew <= 0)
        return false;
    LARGE_INTEGER at{};
    at.QuadPart = header.e_lfanew;
    DWORD signature = 0;
    return SetFilePointerEx(file.Get(), at, nullptr, FILE_BEGIN) &&
           ReadFile(file.Get(), &signature, sizeof(signature), &read, nullptr) &&
           read == sizeof(signature) && signature == IMAGE_NT_SIGNATURE;
}

// Whether CreateProcess can start the file: a program or a batch file by its
// name, or a program image under any other. PATHEXT also lists scripts
// (.vbs, .js) that only a shell's file associations open; taken for the
// program, one would hide a program of the same name further on and fail.
bool CanStart(const std::wstring &path) {
    // Windows ignores trailing dots and spaces in a file name.
    size_t end = path.size();
    while (end > 0 && (path[end - 1] == L'.' || path[end - 1] == L' '))
        --end;
    for (const wchar_t *extension : {L".com", L".exe", L".bat", L".cmd"})
        if (end >= 4 &&
            CompareStringOrdinal(path.c_str() + end - 4, 4, extension, 4, TRUE) == CSTR_EQUAL)
            return true;
    return IsProgramImage(path);
}

// Where one name is looked for: in each of `folders` (an empty one: the name
// is a full path), `name` with PATHEXT's extensions when it has none.
struct Lookup {
    std::vector<std::wstring> folders;
    std::wstring name;
    // Not empty: the name cannot be looked up at all, and this says why.
    std::wstring refusal;
};

// The first file that can start among the candidates, folder by folder;
// empty when none. `skipped`: the first file met that cannot.
std::wstring FindIn(const Lookup &lookup, const std::wstring *environment, std::wstring &skipped) {
    const std::vector<std::wstring> names = Candidates(lookup.name, environment);
    for (const std::wstring &folder : lookup.folders) {
        const std::wstring base = folder.empty() ? std::wstring() : folder + L"\\";
        for (const std::wstring &candidate : names) {
            const std::wstring path = FullPath(base + candidate);
            if (!IsFile(path))
                continue;
            if (CanStart(path))
                return path;
            if (skipped.empty())
                skipped = path;
        }
    }
    return std::wstring();
}

// The drive or share a full path lies on: "C:" or "\\server\share", after
// "\\?\" too; empty when it names neither.
std::wstring RootOf(const std::wstring &path) {
    size_t start = 0;
    if (path.size() >= 4 && IsSlash(path[0]) && IsSlash(path[1]) &&
        (path[2] == L'?' || path[2] == L'.') && IsSlash(path[3]))
        start = 4;
    if (path.size() >= start + 2 && IsDriveLetter(path[start]) && path[start + 1] == L':')
        return path.substr(0, start + 2);
    size_t server = 2;
    if (start != 0) {
        if (path.size() < start + 4 ||
            CompareStringOrdinal(path.c_str() + start, 3, L"UNC", 3, TRUE) != CSTR_EQUAL ||
            !IsSlash(path[start + 3]))
            return std::wstring();
        server = start + 4;
    } else if (!IsAbsolute(path)) {
        return std::wstring();
    }
    const size_t share = path.find_first_of(L"\\/", server);
    if (share == std::wstring::npos)
        return path;
    return path.substr(0, path.find_first_of(L"\\/", share + 1));
}

// One name: where it is looked for, by what kind of name it is. `directory`
// is the run's, as a full path. A name relative to a drive's current
// directory or to the current drive means the run's directory or its
// drive: the host's would be wherever its last file dialog went.
Lookup LookupFor(const std::wstring &name, const std::wstring *environment,
                 const std::wstring &directory) {
    if (!HasFolder(name))
        return {SearchFolders(environment), name, {}};
    if (IsAbsolute(name))
        return {{std::wstring()}, name, {}};
    if (IsDriveRelative(name)) {
        const std::wstring root = RootOf(directory);
        if (root.size() >= 2 && root.back() == L':' &&
            CompareStringOrdinal(&root[root.size() - 2], 1, name.c_str(), 1, TRUE) == CSTR_EQUAL)
            return {{directory}, name.substr(2), {}};
        return {{},
                name,
                L"\"" + name + L"\" is relative to drive " + name.substr(0, 2) +
                    L"'s current directory, and the run's directory, " + directory +
                    L", is not on that drive"};
    }
    if (IsSlash(name[0])) {
        const size_t leaf = name.find_first_not_of(L"\\/");
        return {{RootOf(directory)},
                leaf == std::wstring::npos ? std::wstring() : name.substr(leaf),
                {}};
    }
    return {{directory}, name, {}};
}

// Whether a longer prefix, the first word followed by a blank and more, may
// name a file: only where an entry of the first word's folder begins with
// its last part and a blank. One look per folder spares the lookups of every
// longer prefix, in each folder with each extension, which for a command of
// many words would take seconds.
bool LongerMayExist(const Lookup &first, const std::wstring &directory) {
    std::vector<std::wstring> folders = first.folders;
    // "tool sub\x.exe" would be the run directory's.
    if (!HasFolder(first.name))
        folders.push_back(directory);
    for (const std::wstring &folder : folders) {
        const std::wstring path = FullPath((folder.empty() ? L"" : folder + L"\\") + first.name);
        WIN32_FIND_DATAW entry;
        // Not a kernel handle: FindClose, at once, is its only release.
        const HANDLE search = FindFirstFileW((path + L" *").c_str(), &entry);
        if (search != INVALID_HANDLE_VALUE) {
            FindClose(search);
            return true;
        }
    }
    return false;
}

std::string Describe(const Lookup &lookup, const std::wstring &skipped,
                     const ProgramSearch &search) {
    std::wstring text = L"\"" + lookup.name + L"\"";
    if (!HasExtension(lookup.name)) {
        std::wstring extensions = Variable(L"PATHEXT", search.environment);
        text += L" with " + (extensions.empty() ? std::wstring(kDefaultExtensions) : extensions);
    }
    if (lookup.folders.size() != 1 || !lookup.folders[0].empty()) {
        text += L" in ";
        for (size_t i = 0; i < lookup.folders.size(); ++i)
            text += (i == 0 ? L"" : L"; ") + lookup.folders[i];
    }
    if (!skipped.empty())
        text += L" (" + skipped + L" is no program, batch file or program image)";
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
    // Resolved once for every name, as the child's own directory is: the
    // run's, or the host's current one when the run has none.
    const std::wstring directory =
        FullPath(search.directory.empty() ? std::wstring(L".") : search.directory);
    size_t begin = 0;
    std::string looked;
    bool first = true;
    for (size_t end : NameEnds(command, begin)) {
        std::string text(command + begin, end - begin);
        if (!text.empty() && text.front() == '"')
            text = text.substr(1, text.size() - (text.back() == '"' && text.size() > 1 ? 2 : 1));
        std::wstring name;
        if (!ToWide(text.c_str(), search.codePage, name) || name.empty())
            continue;
        const bool firstWord = first;
        first = false;
        const Lookup lookup = LookupFor(name, search.environment, directory);
        if (!lookup.refusal.empty()) {
            if (!firstWord)
                continue;
            why = Narrow(lookup.refusal, search.codePage);
            return false;
        }
        std::wstring skipped;
        const std::wstring path = FindIn(lookup, search.environment, skipped);
        if (!path.empty() && !firstWord) {
            // CreateProcess would have run the first word's program, planted
            // or not, and the child splits its command line at the blank all
            // the same: neither is what the host meant.
            why = "the program's path has blanks: put it in quotes (" +
                  Narrow(path, search.codePage) + ")";
            return false;
        }
        if (path.empty()) {
            looked += (looked.empty() ? "" : ", nor ") + Describe(lookup, skipped, search);
        } else {
            bool lossy = false;
            found.path = Narrow(path, search.codePage, &lossy);
            found.commandEnd = end;
            if (lossy) {
                why = "the program's path, " + found.path +
                      ", has characters the ANSI code page lacks (DLLGLUE_UTF8 passes them)";
                return false;
            }
        }
        // A longer prefix that names a file makes the command ambiguous, so
        // each is tried, unless none can name one.
        if (firstWord && !LongerMayExist(lookup, directory))
            break;
    }
    if (!found.path.empty())
        return true;
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
