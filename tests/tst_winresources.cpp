// Windows only: checks that the executable named on the command line carries the resources
// resources/kivo.rc.in describes, read back from the file the way Windows reads them. Without
// the 16x16 image the title bar and taskbar scale a large one down; without the manifest the
// dialogs get the old controls and Windows redirects writes beside the executable (kivo.ini)
// into a per-user store; a filled string field would show in the file's properties.
// KIVO_VERSION is the project version, such as "1.0.0.0".

#ifndef KIVO_VERSION
#error "KIVO_VERSION must name the project version, such as \"1.0.0.0\""
#endif

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

// Empty when the check passes, otherwise what is wrong.
using Check = std::function<std::string()>;

std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

// The version as four numbers, missing parts 0, as CMake fills the version block.
std::array<unsigned, 4> ExpectedVersion() {
    std::array<unsigned, 4> parts{};
    const char *p = KIVO_VERSION;
    for (unsigned &part : parts) {
        char *end = nullptr;
        part = static_cast<unsigned>(std::strtoul(p, &end, 10));
        if (*end != '.')
            break;
        p = end + 1;
    }
    return parts;
}

std::string_view ResourceBytes(HMODULE module, LPCSTR name, LPCSTR type) {
    const HRSRC found = FindResourceA(module, name, type);
    if (!found)
        return {};
    const HGLOBAL loaded = LoadResource(module, found);
    const void *data = loaded ? LockResource(loaded) : nullptr;
    if (!data)
        return {};
    return {static_cast<const char *>(data), SizeofResource(module, found)};
}

#pragma pack(push, 2)
struct GroupIconEntry { // GRPICONDIRENTRY: how an icon group lists its images
    BYTE Width;
    BYTE Height;
    BYTE ColorCount;
    BYTE Reserved;
    WORD Planes;
    WORD BitCount;
    DWORD BytesInRes;
    WORD Id;
};
#pragma pack(pop)

std::string CheckSmallIcon(HMODULE module) {
    const std::string_view group = ResourceBytes(module, "IDI_ICON1", RT_GROUP_ICON);
    if (group.size() < 6)
        return "no icon group IDI_ICON1";
    WORD count = 0;
    std::memcpy(&count, group.data() + 4, sizeof count);
    if (group.size() < 6 + count * sizeof(GroupIconEntry))
        return "icon group IDI_ICON1 is cut short";
    for (WORD i = 0; i < count; ++i) {
        GroupIconEntry entry;
        std::memcpy(&entry, group.data() + 6 + i * sizeof entry, sizeof entry);
        if (entry.Width != 16 || entry.Height != 16)
            continue;
        if (ResourceBytes(module, MAKEINTRESOURCEA(entry.Id), RT_ICON).empty())
            return "the 16x16 entry names icon " + std::to_string(entry.Id) + ", which is missing";
        return {};
    }
    return "IDI_ICON1 has " + std::to_string(count) + " images, none 16x16";
}

// A value of the version block, or nothing when it is missing.
const void *QueryVersion(const std::vector<char> &info, const std::string &path, UINT &size) {
    void *value = nullptr;
    size = 0;
    if (info.empty() || !VerQueryValueA(info.data(), path.c_str(), &value, &size))
        return nullptr;
    return value;
}

std::string CheckVersionNumbers(const std::vector<char> &info) {
    UINT size = 0;
    const auto *fixed = static_cast<const VS_FIXEDFILEINFO *>(QueryVersion(info, "\\", size));
    if (!fixed || size < sizeof *fixed || fixed->dwSignature != VS_FFI_SIGNATURE)
        return "no version block";
    const auto text = [](DWORD ms, DWORD ls) {
        return std::to_string(HIWORD(ms)) + "." + std::to_string(LOWORD(ms)) + "." +
               std::to_string(HIWORD(ls)) + "." + std::to_string(LOWORD(ls));
    };
    const auto v = ExpectedVersion();
    const std::string expected = text(MAKELONG(v[1], v[0]), MAKELONG(v[3], v[2]));
    const std::string file = text(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    const std::string product = text(fixed->dwProductVersionMS, fixed->dwProductVersionLS);
    if (file != expected || product != expected)
        return "FILEVERSION " + file + ", PRODUCTVERSION " + product + ", expected " + expected;
    return {};
}

std::string CheckVersionStrings(const std::vector<char> &info) {
    UINT size = 0;
    const auto *translation =
        static_cast<const WORD *>(QueryVersion(info, "\\VarFileInfo\\Translation", size));
    if (!translation || size != 2 * sizeof(WORD))
        return "no single Translation";
    if (translation[0] != 0x0409 || translation[1] != 1252)
        return "Translation " + Hex(translation[0]) + "/" + std::to_string(translation[1]) +
               ", expected 0x0409/1252";
    static const char *const fields[] = {
        "CompanyName",     "FileDescription",  "FileVersion", "InternalName",   "LegalCopyright",
        "LegalTrademarks", "OriginalFilename", "ProductName", "ProductVersion", "Comments"};
    for (const char *field : fields) {
        UINT length = 0;
        const auto *value = static_cast<const char *>(
            QueryVersion(info, std::string("\\StringFileInfo\\040904E4\\") + field, length));
        if (!value)
            return std::string(field) + " is missing from block 040904E4";
        if (length > 0 && value[0] != '\0')
            return std::string(field) + " is \"" + value + "\", expected empty";
    }
    return {};
}

std::string_view Manifest(HMODULE module) {
    return ResourceBytes(module, MAKEINTRESOURCEA(1), RT_MANIFEST);
}

std::string CheckAsInvoker(HMODULE module) {
    const std::string_view manifest = Manifest(module);
    if (manifest.empty())
        return "no manifest with id 1";
    if (manifest.find(R"(level="asInvoker")") == std::string_view::npos)
        return "the manifest does not ask for level=\"asInvoker\"";
    return {};
}

std::string CheckCommonControls(HMODULE module) {
    const std::string_view manifest = Manifest(module);
    if (manifest.empty())
        return "no manifest with id 1";
    const std::size_t name = manifest.find(R"(name="Microsoft.Windows.Common-Controls")");
    const std::size_t start = manifest.rfind("<assemblyIdentity", name);
    const std::size_t end = manifest.find('>', name);
    if (name == std::string_view::npos || start == std::string_view::npos ||
        end == std::string_view::npos)
        return "the manifest names no Microsoft.Windows.Common-Controls assembly";
    if (manifest.substr(start, end - start).find(R"(version="6.0.0.0")") == std::string_view::npos)
        return "the common controls assembly is not version 6.0.0.0";
    return {};
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tst_winresources FILE.exe\n");
        return 2;
    }
    const char *file = argv[1];
    const HMODULE module =
        LoadLibraryExA(file, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (!module) {
        std::printf("cannot open %s for its resources (error %lu)\n", file, GetLastError());
        return 1;
    }
    std::vector<char> info(GetFileVersionInfoSizeA(file, nullptr));
    if (!info.empty() &&
        !GetFileVersionInfoA(file, 0, static_cast<DWORD>(info.size()), info.data()))
        info.clear();

    const std::pair<const char *, Check> checks[] = {
        {"icon IDI_ICON1 has a 16x16 image",
         [&] {
             return CheckSmallIcon(module);
         }},
        {"FILEVERSION and PRODUCTVERSION are " KIVO_VERSION,
         [&] {
             return CheckVersionNumbers(info);
         }},
        {"version strings: block 040904E4, Translation 0x0409/1252, every field empty",
         [&] {
             return CheckVersionStrings(info);
         }},
        {"manifest asks for asInvoker",
         [&] {
             return CheckAsInvoker(module);
         }},
        {"manifest asks for common controls 6.0.0.0",
         [&] {
             return CheckCommonControls(module);
         }},
    };
    int passed = 0;
    int failed = 0;
    for (const auto &[what, check] : checks) {
        const std::string problem = check();
        if (problem.empty()) {
            ++passed;
            std::printf("PASS %s\n", what);
        } else {
            ++failed;
            std::printf("FAIL %s: %s\n", what, problem.c_str());
        }
    }
    FreeLibrary(module);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
