// Reads brackwyn.dll's version resource the way an installer or a host does,
// through GetFileVersionInfo, and compares it with the project's version.
//
//   brackwyn_version_probe.exe [path\to\brackwyn.dll]
//
// Without a path it reads the brackwyn.dll beside itself. Exit code 0 when
// everything matches; each mismatch is printed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int g_failures = 0;

void Fail(const std::string &what) {
    std::fprintf(stderr, "version_probe: %s\n", what.c_str());
    ++g_failures;
}

std::string DllBesideMe() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of("\\/") + 1) + "brackwyn.dll";
}

// A value of the string table that the translation list points to, the way
// Windows' own property page finds it.
std::string StringValue(std::vector<char> &block, const char *table, const char *name) {
    const std::string query = std::string("\\StringFileInfo\\") + table + "\\" + name;
    char *value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), query.c_str(), reinterpret_cast<void **>(&value), &length) ||
        value == nullptr)
        return "<missing>";
    return std::string(value, strnlen(value, length));
}

} // namespace

int main(int argc, char **argv) {
    const std::string dll = argc > 1 ? argv[1] : DllBesideMe();
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(dll.c_str(), &ignored);
    if (size == 0) {
        Fail(dll + " has no version resource");
        return 1;
    }
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(dll.c_str(), 0, size, block.data())) {
        Fail("GetFileVersionInfo failed on " + dll);
        return 1;
    }

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT fixedLength = 0;
    if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<void **>(&fixed), &fixedLength) ||
        fixedLength < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != VS_FFI_SIGNATURE) {
        Fail("no fixed version block");
        return 1;
    }
    // Installers compare these numbers, not the strings.
    const DWORD versionMs = MAKELONG(BRACKWYN_VERSION_MINOR, BRACKWYN_VERSION_MAJOR);
    const DWORD versionLs = MAKELONG(0, BRACKWYN_VERSION_PATCH);
    if (fixed->dwFileVersionMS != versionMs || fixed->dwFileVersionLS != versionLs)
        Fail("file version numbers differ from " BRACKWYN_VERSION_TEXT);
    if (fixed->dwProductVersionMS != versionMs || fixed->dwProductVersionLS != versionLs)
        Fail("product version numbers differ from " BRACKWYN_VERSION_TEXT);
    if (fixed->dwFileType != VFT_DLL)
        Fail("the file type is not VFT_DLL");

    // The first translation names the string table that readers open.
    WORD *translation = nullptr;
    UINT translationLength = 0;
    if (!VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                        reinterpret_cast<void **>(&translation), &translationLength) ||
        translationLength < 2 * sizeof(WORD)) {
        Fail("no translation list");
        return 1;
    }
    char table[16];
    std::snprintf(table, sizeof(table), "%04X%04X", translation[0], translation[1]);

    const struct {
        const char *name;
        const char *expected;
    } strings[] = {
        {"ProductName", "brackwyn"},
        {"FileVersion", BRACKWYN_VERSION_TEXT},
        {"ProductVersion", BRACKWYN_VERSION_TEXT},
        {"OriginalFilename", "brackwyn.dll"},
        {"LegalCopyright", "Copyright (c) 2026 the brackwyn developers"},
    };
    for (const auto &entry : strings) {
        const std::string value = StringValue(block, table, entry.name);
        if (value != entry.expected)
            Fail(std::string(entry.name) + " is \"" + value + "\", not \"" + entry.expected + "\"");
    }
    // Explorer shows the description in place of the file name.
    const std::string description = StringValue(block, table, "FileDescription");
    if (description.find("brackwyn") == std::string::npos)
        Fail("FileDescription \"" + description + "\" does not name brackwyn");

    if (g_failures == 0)
        std::printf("version_probe: %s is brackwyn %s\n", dll.c_str(), BRACKWYN_VERSION_TEXT);
    return g_failures == 0 ? 0 : 1;
}
