// Small JSON helpers of the host (reading members, quoting text).
#include "host/json_text.h"

#include <cstdlib>

const char *str_member(yyjson_val *obj, const char *key) {
    return yyjson_get_str(yyjson_obj_get(obj, key));
}

std::string json_quote(const std::string &text) {
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_doc_set_root(doc, yyjson_mut_strncpy(doc, text.data(), text.size()));
    size_t len = 0;
    char *out = yyjson_mut_write(doc, YYJSON_WRITE_ALLOW_INVALID_UNICODE, &len);
    std::string quoted = out ? std::string(out, len) : "\"\"";
    std::free(out);
    yyjson_mut_doc_free(doc);
    return quoted;
}
