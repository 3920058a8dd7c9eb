#include "capture_io.h"

#include <cstdlib>
#include <cstring>

capture_io::capture_io() = default;

capture_io::~capture_io() {
    // Buffers handed out with a NULL free slot are the module's to release; ours are not
    // leaked when a test fails part-way through.
    if (owned_by_slot_) {
        for (void *ptr : live_) std::free(ptr);
    }
}

capture_io &capture_io::reply(int status, std::string body) {
    scripted_reply r;
    r.status = status;
    r.body = std::move(body);
    return reply(std::move(r));
}

capture_io &capture_io::reply(scripted_reply r) {
    replies_.push_back(std::move(r));
    return *this;
}

quendo_io capture_io::record(bool with_free) {
    owned_by_slot_ = with_free;
    quendo_io io{};
    io.ctx = this;
    io.post = &capture_io::post;
    io.free = with_free ? &capture_io::release : nullptr;
    return io;
}

void capture_io::install(bool with_free) {
    quendo_io io = record(with_free);
    qvdbx_set_io(&io);
}

char *capture_io::hand_out(const std::string &text) {
    char *buf = static_cast<char *>(std::malloc(text.size() + 1));
    std::memcpy(buf, text.c_str(), text.size() + 1);
    ++handed_out;
    if (owned_by_slot_) {
        live_.insert(buf);
    } else {
        unowned.push_back(buf);
    }
    return buf;
}

int capture_io::post(void *ctx, const char *url, const char *body, const char *content_type,
                     char **out_body, int *out_status, char **out_err) {
    auto *self = static_cast<capture_io *>(ctx);
    self->requests.push_back({url, body != nullptr ? body : "<null>",
                              content_type != nullptr ? content_type : "<null>"});
    scripted_reply r;
    if (self->replies_.empty()) {
        if (self->generator) {
            r = self->generator(self->requests.back());
        } else {
            r.body = "{}";
        }
    } else {
        r = std::move(self->replies_.front());
        self->replies_.pop_front();
    }
    *out_status = r.status;
    if (r.has_body) *out_body = self->hand_out(r.body);
    if (r.has_err && out_err != nullptr) *out_err = self->hand_out(r.err);
    return r.rc;
}

void capture_io::release(void *ctx, void *ptr) {
    auto *self = static_cast<capture_io *>(ctx);
    ++self->released;
    if (self->live_.erase(ptr) == 0) self->double_free = true;
    std::free(ptr);
}

void reset_module_state() {
    qvdbx_clear_entries();
    qvdbx_set_io(nullptr);
    qvdbx_set_token(nullptr);
    qvdbx_set_refresh(nullptr, nullptr);
    qvdbx_replace(&g_qv.default_path, nullptr);
    qvdbx_fake_reset();
    g_qv.cancel_requested = 0;
    g_qv.last_code = 0;
    g_qv.last_http_code = 0;
    g_qv.retry_after_s = 0;
    g_qv.last_error[0] = '\0';
}
