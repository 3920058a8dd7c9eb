// UTF-8, the host's text everywhere, to and from the UTF-16 of the Windows API (paths,
// arguments, environment, URLs). Windows only. Ill-formed input converts as the system
// converts it: each bad sequence becomes U+FFFD.
#pragma once

#include <string>

std::wstring utf16_of(const std::string &utf8);
std::string utf8_of(const std::wstring &utf16);
