// Reads a Windows binary's VERSIONINFO resource through version.dll, as the file
// properties dialog and installers do, and compares it with what the build should have
// put there:
//   read_version FILE NAME=VALUE...
// NAME is a string of the resource (FileVersion, ProductName, ...) or "Fixed", the binary
// file and product versions as a.b.c.d; VALUE "*" stands for any non-empty text. Prints
// what it read; exits 1 on any difference.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::wstring widen(const char *text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring wide(n > 0 ? size_t(n) : 1, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text, -1, &wide[0], n);
    return wide.c_str();
}

std::string narrow(const wchar_t *text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? size_t(n) : 1, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    return out.c_str();
}

std::string dotted(DWORD high, DWORD low) {
    return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." +
           std::to_string(HIWORD(low)) + "." + std::to_string(LOWORD(low));
}

// The value `name` of the resource, "" when absent. Fixed: both binary versions, which
// must agree.
std::string value_of(const std::vector<char> &info, const std::string &name) {
    void *ptr = nullptr;
    UINT len = 0;
    if (name == "Fixed") {
        if (!VerQueryValueW(info.data(), L"\\", &ptr, &len) || len < sizeof(VS_FIXEDFILEINFO)) return "";
        const VS_FIXEDFILEINFO *fixed = static_cast<const VS_FIXEDFILEINFO *>(ptr);
        std::string file = dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS);
        std::string product = dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS);
        return file == product ? file : file + " (product " + product + ")";
    }
    // The strings of the first language and code page that the resource declares.
    if (!VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", &ptr, &len) || len < 4) return "";
    const WORD *translation = static_cast<const WORD *>(ptr);
    wchar_t key[128];
    std::swprintf(key, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translation[0], translation[1],
                  widen(name.c_str()).c_str());
    if (!VerQueryValueW(info.data(), key, &ptr, &len) || len == 0) return "";
    return narrow(static_cast<const wchar_t *>(ptr));
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: read_version FILE NAME=VALUE...\n");
        return 2;
    }
    std::wstring file = widen(argv[1]);
    DWORD size = GetFileVersionInfoSizeW(file.c_str(), nullptr);
    std::vector<char> info(size);
    if (size == 0 || !GetFileVersionInfoW(file.c_str(), 0, size, info.data())) {
        std::printf("%s: no version resource (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    int differences = 0;
    for (int k = 2; k < argc; ++k) {
        const char *eq = std::strchr(argv[k], '=');
        std::string name(argv[k], eq ? size_t(eq - argv[k]) : std::strlen(argv[k]));
        std::string expected = eq ? eq + 1 : "";
        std::string actual = value_of(info, name);
        bool same = expected == "*" ? !actual.empty() : actual == expected;
        std::printf("%-16s %s%s\n", name.c_str(), actual.c_str(),
                    same ? "" : ("   (expected " + expected + ")").c_str());
        differences += same ? 0 : 1;
    }
    return differences ? 1 : 0;
}
