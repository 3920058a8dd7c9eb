// The conversions through MultiByteToWideChar and WideCharToMultiByte (see utf16.h).
#include "host/utf16.h"

#include <windows.h>

std::wstring utf16_of(const std::string &utf8) {
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring utf16(n > 0 ? size_t(n) : 0, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), &utf16[0], n);
    return utf16;
}

std::string utf8_of(const std::wstring &utf16) {
    int n = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), int(utf16.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(n > 0 ? size_t(n) : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, utf16.data(), int(utf16.size()), &utf8[0], n, nullptr, nullptr);
    return utf8;
}
