// Who may use qvdbx serve: the address it listens on, the key that non-loopback addresses
// require, and the Host header check that keeps web pages from reading the bridge through
// DNS rebinding. Pure: no I/O but the system's random source, no HTTP library.
#pragma once

#include <cstdint>
#include <string>

constexpr uint16_t SERVE_DEFAULT_PORT = 8917;

struct ListenAddress {
    std::string host;  // as written in URLs: "127.0.0.1", "[::1]"
    std::string ip;    // the literal alone: "127.0.0.1", "::1"
    uint16_t port = SERVE_DEFAULT_PORT;
    bool ipv6 = false;
    bool loopback = false;
};

// Reads "ADDR:PORT", "ADDR", ":PORT" or "PORT": ADDR an IPv4 literal, an IPv6 literal in
// brackets or "localhost" (127.0.0.1); the defaults are 127.0.0.1 and SERVE_DEFAULT_PORT.
bool parse_listen(const std::string &text, ListenAddress &out);

// True for 127.0.0.0/8 and ::1 (literals only).
bool is_loopback_ip(const std::string &ip, bool ipv6);

// The name of a Host header value when it is a plain host and optional port: a DNS name,
// an IPv4 literal or an IPv6 literal in brackets, then ":digits". False for anything else
// (user info, paths, spaces, empty).
bool host_header_name(const std::string &value, std::string &name);

// Whether a request that names `name` (from host_header_name) may be answered without a
// key: "localhost", a loopback literal, or the address listened on.
bool host_allowed(const std::string &name, const ListenAddress &listen);

// A key given with --key: 16 to 128 characters of A-Z a-z 0-9 - _ (it is used in URLs as
// it is).
bool valid_key(const std::string &key);

// A fresh key of 128 random bits (22 characters of base64url); false when the system's
// random source fails.
bool make_key(std::string &key);

// `given` equals `key`, compared in time that does not depend on where they differ.
bool key_matches(const std::string &given, const std::string &key);
