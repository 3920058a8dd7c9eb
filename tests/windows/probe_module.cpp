// A deliberately wrong module, to show that the DLL checks fail when they should: one
// listed name, one C++ (decorated) export, and the C++ runtime taken from its DLL.
#include <string>

extern "C" __declspec(dllexport) const char *qvdbx_version() { return "probe"; }

__declspec(dllexport) std::string qvdbx_probe_echo(const std::string &text) { return text + "!"; }
