#include "transport/live_io_util.h"

#include "transport/live_io.h"

#include <cstdlib>
#include <cstring>

char *live_dup_text(const char *text) {
    size_t n = std::strlen(text) + 1;
    char *copy = static_cast<char *>(std::malloc(n));
    if (copy) std::memcpy(copy, text, n);
    return copy;
}

std::string live_target(const std::string &origin, const char *url) {
    size_t n = sizeof DROPBOX_API_ORIGIN - 1;
    if (!origin.empty() && std::strncmp(url, DROPBOX_API_ORIGIN, n) == 0) return origin + (url + n);
    return url;
}

LiveBody::~LiveBody() { std::free(data_); }

bool LiveBody::append(const char *bytes, size_t n) {
    if (n > LIVE_MAX_BODY - len_) {
        over_cap_ = true;
        return false;
    }
    if (len_ + n + 1 > cap_) {
        size_t cap = cap_ ? cap_ : 4096;
        while (cap < len_ + n + 1) cap *= 2;
        char *grown = static_cast<char *>(std::realloc(data_, cap));
        if (!grown) return false;
        data_ = grown;
        cap_ = cap;
    }
    std::memcpy(data_ + len_, bytes, n);
    len_ += n;
    data_[len_] = '\0';
    return true;
}

char *LiveBody::release() {
    char *out = data_;
    data_ = nullptr;
    len_ = cap_ = 0;
    return out;
}
