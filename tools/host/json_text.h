// The host reads the module's answers, list pages and settings with the same JSON library
// the module uses, linked into the host on its own.
#pragma once

#include <yyjson.h>

#include <string>
#include <string_view>

class JsonDoc {
public:
    explicit JsonDoc(std::string_view text) : doc_(yyjson_read(text.data(), text.size(), 0)) {}
    ~JsonDoc() { yyjson_doc_free(doc_); }
    JsonDoc(const JsonDoc &) = delete;
    JsonDoc &operator=(const JsonDoc &) = delete;
    yyjson_val *root() const { return yyjson_doc_get_root(doc_); }

private:
    yyjson_doc *doc_;
};

// The first member `key` of an object when it is a string, else nullptr.
const char *str_member(yyjson_val *obj, const char *key);

// `text` as a JSON string literal, quotes included.
std::string json_quote(const std::string &text);
