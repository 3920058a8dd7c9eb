// Shared start of the flat, backend and handler tests: load state, a capturing transport
// installed, a realistic access token stored, and short builders for scripted replies.
#ifndef QVDBX_TEST_FACE_FIXTURE_H
#define QVDBX_TEST_FACE_FIXTURE_H

#include "capture_io.h"
#include "dropbox_samples.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

constexpr char kToken[] = "sl.u.AGd3Xq9ZtK0vR2mYpLw8bN5cE1fH7jS4oA6iU";
constexpr char kApi[] = "https://api.dropboxapi.com";
constexpr char kNotFound[] =
    R"({"error_summary":"path/not_found/..","error":{".tag":"path","path":{".tag":"not_found"}}})";
constexpr char kExpired[] = R"({"error_summary":"expired_access_token/","error":{".tag":"expired_access_token"}})";

inline scripted_reply http(int status, std::string body) {
    scripted_reply r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

// A failure below HTTP, with the transport's own error text.
inline scripted_reply broken(std::string err) {
    scripted_reply r;
    r.rc = 1;
    r.status = 0;
    r.has_body = false;
    r.has_err = true;
    r.err = std::move(err);
    return r;
}

inline std::string url_of(const char *api_path) {
    return std::string(kApi) + api_path + "?authorization=Bearer%20" + kToken;
}

inline const std::string kCursor1 = dbx::cursor(1);
inline const std::string kCursor2 = dbx::cursor(2);

// First page of /Music: a folder and a file with ids, then a file without one.
inline std::string music_page(bool more = true) {
    return dbx::page({dbx::folder("/Music/Live", dbx::id(1)), dbx::file("/Music/a.mp3", 4096, dbx::id(2)),
                      dbx::file("/Music/b.flac", 0, "")},
                     kCursor1, more);
}

// Its second and last page.
inline std::string music_page2() {
    return dbx::page({dbx::file("/Music/c.mp3", 5120, dbx::id(3)), dbx::file("/Music/d.mp3", 6144, dbx::id(4))},
                     kCursor2, false);
}

inline std::string continue_body(const std::string &cursor) { return R"({"cursor":")" + cursor + "\"}"; }

// The "path" of every element of an items document, in order.
inline std::vector<std::string> item_paths(const char *doc) {
    std::vector<std::string> paths;
    qvdbx_doc_ptr parsed = qvdbx_json_read(doc, std::strlen(doc));
    yyjson_val *items = yyjson_obj_get(yyjson_doc_get_root(parsed.get()), "items");
    size_t index, count;
    yyjson_val *item;
    yyjson_arr_foreach(items, index, count, item) {
        const char *path = yyjson_get_str(yyjson_obj_get(item, "path"));
        paths.push_back(path != nullptr ? path : "<none>");
    }
    return paths;
}

class face_test : public ::testing::Test {
protected:
    void SetUp() override {
        reset_module_state();
        io.install();
        qvdbx_set_token(kToken);
    }
    void TearDown() override { reset_module_state(); }

    // Load state again with `fresh` installed, for one case of a table.
    static capture_io &restart(capture_io &fresh) {
        reset_module_state();
        fresh.install();
        qvdbx_set_token(kToken);
        return fresh;
    }

    capture_io io;
};

#endif
