// Dropbox-shaped answers (metadata, list pages, cursors, temporary links) and small
// host-side helpers. Uses only the public header, so the host-level tests can share it.
#ifndef QVDBX_TEST_DROPBOX_SAMPLES_H
#define QVDBX_TEST_DROPBOX_SAMPLES_H

#include "qvdbx.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace dbx {

inline std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// An id as Dropbox issues it, "id:" prefix included.
inline std::string id(int n) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "id:a4ayc_80_OEAAAAAAAA%03d", n);
    return buf;
}

// A list cursor of realistic length; different `n` give different cursors.
inline std::string cursor(int n) {
    static const char abc[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string c = "AAG";
    for (int i = 0; i < 197; ++i) c += abc[(i * 7 + n * 13) % 64];
    return c;
}

inline std::string link(int n) {
    return "https://uc1a2b3c4d5e6f7a8b9c0d1e2f" + std::to_string(n) +
           ".dl.dropboxusercontent.com/cd/0/get/AbC4xYz_" + cursor(n).substr(0, 120) + "/file";
}

// Metadata members shared by files and folders; "id" is left out when `file_id` is "".
inline std::string common(const char *tag, const std::string &display, const std::string &file_id) {
    std::string name = display.substr(display.rfind('/') + 1);
    std::string meta = std::string(R"({".tag":")") + tag + R"(","name":")" + name +
                       R"(","path_lower":")" + lower(display) + R"(","path_display":")" + display + "\"";
    if (!file_id.empty()) meta += R"(,"id":")" + file_id + "\"";
    return meta;
}

inline std::string file(const std::string &display, long long size, const std::string &file_id) {
    return common("file", display, file_id) +
           R"(,"client_modified":"2023-03-14T09:26:53Z","server_modified":"2023-03-14T09:27:01Z",)"
           R"("rev":"5f6b2a7c1d0e40000000248a3c1e0","size":)" + std::to_string(size) +
           R"(,"is_downloadable":true,)"
           R"("content_hash":"9b1f0c4e2d3a5b6c7d8e9f00112233445566778899aabbccddeeff0011223344"})";
}

inline std::string folder(const std::string &display, const std::string &file_id) {
    return common("folder", display, file_id) + "}";
}

inline std::string page(const std::vector<std::string> &entries, const std::string &next, bool more) {
    std::string body = R"({"entries":[)";
    for (size_t i = 0; i < entries.size(); ++i) body += (i ? "," : "") + entries[i];
    return body + R"(],"cursor":")" + next + R"(","has_more":)" + (more ? "true" : "false") + "}";
}

inline std::string link_answer(const std::string &url) {
    return R"({"metadata":)" + file("/Music/a.mp3", 4096, id(1)) + R"(,"link":")" + url + "\"}";
}

// `s` as a JSON string literal; the samples hold no control characters.
inline std::string quote(const std::string &s) {
    std::string q = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') q += '\\';
        q += c;
    }
    return q + "\"";
}

// A field of a host record, read the way a host reads it: by byte offset.
template <typename T>
T read_at(const void *record, size_t offset) {
    T value;
    std::memcpy(&value, static_cast<const unsigned char *>(record) + offset, sizeof value);
    return value;
}

// A transport that runs `before(n)` inside the n-th post (counted from 0) and then lets
// the wrapped record answer, so a test can act while the module waits on a request.
struct hooked_io {
    quendo_io inner{};
    std::function<void(int)> before;
    int calls = 0;

    quendo_io record() {
        quendo_io io{};
        io.ctx = this;
        io.post = &post;
        io.free = &release;
        return io;
    }
    static int post(void *ctx, const char *url, const char *body, const char *type, char **out,
                    int *status, char **err) {
        auto *self = static_cast<hooked_io *>(ctx);
        if (self->before) self->before(self->calls);
        ++self->calls;
        return self->inner.post(self->inner.ctx, url, body, type, out, status, err);
    }
    static void release(void *ctx, void *ptr) {
        auto *self = static_cast<hooked_io *>(ctx);
        if (self->inner.free != nullptr) {
            self->inner.free(self->inner.ctx, ptr);
        } else {
            std::free(ptr);
        }
    }
};

}  // namespace dbx

#endif
