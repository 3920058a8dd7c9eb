// File reading, atomic replacement and private folders (see files.h).
#include "host/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#if defined(_WIN32)
#  include "host/utf16.h"

#  include <windows.h>
#else
#  include <fcntl.h>
#  include <sys/stat.h>
#  include <unistd.h>
#endif


std::string parent_dir(const std::string &path) {
#if defined(_WIN32)
    size_t cut = path.find_last_of("/\\");
#else
    size_t cut = path.find_last_of('/');
#endif
    if (cut == std::string::npos) return "";
    return cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
}

#if defined(_WIN32)

namespace {

std::string last_error_text(const std::string &what) {
    return what + " (Windows error " + std::to_string(GetLastError()) + ")";
}

} // namespace

bool write_file_atomically(const std::string &path, const std::string &text, int,
                           std::string &error) {
    std::wstring target = utf16_of(path), temp = utf16_of(path + ".tmp");
    HANDLE file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error = last_error_text("cannot create " + path + ".tmp");
        return false;
    }
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), DWORD(text.size()), &written, nullptr) &&
              written == text.size() && FlushFileBuffers(file);
    CloseHandle(file);
    if (ok) ok = MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) {
        error = last_error_text("cannot write " + path);
        DeleteFileW(temp.c_str());
    }
    return ok;
}

bool make_private_dir(const std::string &dir, std::string &error) {
    // Under %APPDATA% the folder already belongs to the user alone.
    for (size_t at = dir.find_first_of("/\\", 3);; at = dir.find_first_of("/\\", at + 1)) {
        std::string part = dir.substr(0, at);
        if (!CreateDirectoryW(utf16_of(part).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            error = last_error_text("cannot create the folder " + part);
            return false;
        }
        if (at == std::string::npos) return true;
    }
}

bool remove_file(const std::string &path) {
    return DeleteFileW(utf16_of(path).c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

#else

namespace {

bool write_all(int fd, const std::string &text) {
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// The rename itself reaches the disk only with its folder.
void sync_dir(const std::string &dir) {
    int fd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

} // namespace

bool write_file_atomically(const std::string &path, const std::string &text, int mode,
                           std::string &error) {
    std::string pattern = path + ".XXXXXX";
    std::vector<char> temp(pattern.begin(), pattern.end());
    temp.push_back('\0');
    int fd = mkstemp(temp.data());  // created with mode 0600
    if (fd < 0) {
        error = "cannot create a file next to " + path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = fchmod(fd, mode_t(mode)) == 0 && write_all(fd, text) && fsync(fd) == 0;
    int saved = errno;
    ok = close(fd) == 0 && ok;
    if (ok && rename(temp.data(), path.c_str()) == 0) {
        sync_dir(parent_dir(path));
        return true;
    }
    error = "cannot write " + path + ": " + std::strerror(ok ? errno : saved);
    unlink(temp.data());
    return false;
}

bool make_private_dir(const std::string &dir, std::string &error) {
    for (size_t at = dir.find('/', 1);; at = dir.find('/', at + 1)) {
        std::string part = dir.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create the folder " + part + ": " + std::strerror(errno);
            return false;
        }
        if (at == std::string::npos) break;
    }
    // An existing folder of ours may have looser permissions.
    if (chmod(dir.c_str(), 0700) != 0) {
        error = "cannot make " + dir + " private: " + std::strerror(errno);
        return false;
    }
    return true;
}

bool remove_file(const std::string &path) { return unlink(path.c_str()) == 0 || errno == ENOENT; }

#endif

bool read_file(const std::string &path, std::string &out) {
#if defined(_WIN32)
    // The ANSI code page cannot name every path; a UTF-16 name can (a user's %APPDATA%).
    std::ifstream in(utf16_of(path).c_str(), std::ios::binary);
#else
    std::ifstream in(path, std::ios::binary);
#endif
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    out = text.str();
    return !in.bad();
}
