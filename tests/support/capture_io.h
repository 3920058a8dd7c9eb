// A scripted, capturing transport for tests: answers posts from a queue of canned
// replies, records every request, and counts each buffer it hands out and each release
// through its free slot, so tests can prove that every buffer is released exactly once.
#ifndef QVDBX_TEST_CAPTURE_IO_H
#define QVDBX_TEST_CAPTURE_IO_H

#include "qvdbx_internal.h"

#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

struct captured_request {
    std::string url;
    std::string body;
    std::string content_type;
};

struct scripted_reply {
    int rc = 0;              // what post returns
    int status = 200;        // the status output
    bool has_body = true;    // leave the body output NULL when false
    std::string body;
    bool has_err = false;    // hand out an error text
    std::string err;
};

class capture_io {
public:
    capture_io();
    ~capture_io();

    // Queues a reply; when the queue is empty a post answers 200 with "{}".
    capture_io &reply(int status, std::string body);
    capture_io &reply(scripted_reply r);

    // The record to install; `with_free` false leaves the free slot NULL, in which case
    // the module must release buffers with the standard free().
    quendo_io record(bool with_free = true);
    void install(bool with_free = true);

    // When set, answers each post that finds the queue empty (instead of 200 "{}").
    std::function<scripted_reply(const captured_request &)> generator;

    std::vector<captured_request> requests;
    size_t handed_out = 0;     // buffers placed into body or err outputs
    size_t released = 0;       // buffers released through the free slot
    bool double_free = false;  // a pointer released twice, or never handed out
    // Buffers handed out while the free slot is NULL; the module releases them with the
    // standard free(), which only a sanitizer can see.
    std::vector<void *> unowned;

    // Every buffer handed out has been released through the free slot.
    bool all_released() const { return live_.empty() && !double_free; }

private:
    static int post(void *ctx, const char *url, const char *body, const char *content_type,
                    char **out_body, int *out_status, char **out_err);
    static void release(void *ctx, void *ptr);
    char *hand_out(const std::string &text);

    std::deque<scripted_reply> replies_;
    std::set<void *> live_;
    bool owned_by_slot_ = true;
};

// Empties every piece of global state the module keeps, so tests start from load state.
void reset_module_state();

#endif
