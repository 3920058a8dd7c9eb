// Listen address, Host header and key (see access.h).
#include "serve/access.h"

#include "account/oauth.h"
#include "cli/m3u.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/crypto.h>

namespace {

constexpr size_t KEY_BYTES = 16;
constexpr size_t MAX_HOST_HEADER = 255;

bool all_digits(const std::string &text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool parse_port(const std::string &text, uint16_t &port) {
    if (!all_digits(text) || text.size() > 5) return false;
    unsigned long value = std::stoul(text);
    if (value > 65535) return false;
    port = uint16_t(value);
    return true;
}

// The 16 bytes of an IPv6 literal, or the 4 of an IPv4 one; empty when `ip` is neither.
std::string address_bytes(const std::string &ip) {
    unsigned char bytes[sizeof(in6_addr)];
    bool v6 = ip.find(':') != std::string::npos;
    if (inet_pton(v6 ? AF_INET6 : AF_INET, ip.c_str(), bytes) != 1) return "";
    return std::string(reinterpret_cast<char *>(bytes), v6 ? sizeof(in6_addr) : sizeof(in_addr));
}

} // namespace

bool is_loopback_ip(const std::string &ip, bool ipv6) {
    std::string bytes = address_bytes(ip);
    if (ipv6) return bytes.size() == 16 && bytes == std::string(15, '\0') + '\1';
    return bytes.size() == 4 && bytes[0] == 127;
}

bool parse_listen(const std::string &text, ListenAddress &out) {
    out = ListenAddress{};
    std::string addr, port;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos) return false;
        addr = text.substr(1, close - 1);
        std::string rest = text.substr(close + 1);
        if (!rest.empty() && (rest[0] != ':' || (port = rest.substr(1)).empty())) return false;
        if (addr.find(':') == std::string::npos) return false;
        out.ipv6 = true;
    } else if (std::count(text.begin(), text.end(), ':') > 1) {
        return false;  // an IPv6 literal needs its brackets
    } else if (all_digits(text)) {
        port = text;
    } else {
        size_t colon = text.find(':');
        addr = text.substr(0, colon);
        if (colon != std::string::npos && (port = text.substr(colon + 1)).empty()) return false;
    }
    if (addr.empty() || addr == "localhost") addr = out.ipv6 ? "::1" : "127.0.0.1";
    if (address_bytes(addr).empty() || (addr.find(':') != std::string::npos) != out.ipv6) return false;
    if (!port.empty() && !parse_port(port, out.port)) return false;
    out.ip = addr;
    out.host = out.ipv6 ? "[" + addr + "]" : addr;
    out.loopback = is_loopback_ip(addr, out.ipv6);
    return true;
}

bool host_header_name(const std::string &value, std::string &name) {
    if (value.empty() || value.size() > MAX_HOST_HEADER) return false;
    std::string host = value, port;
    if (value[0] == '[') {
        size_t close = value.find(']');
        if (close == std::string::npos) return false;
        host = value.substr(1, close - 1);
        std::string rest = value.substr(close + 1);
        if (!rest.empty() && (rest[0] != ':' || !all_digits(port = rest.substr(1)))) return false;
        if (host.find(':') == std::string::npos || address_bytes(host).empty()) return false;
    } else {
        size_t colon = value.find(':');
        if (colon != std::string::npos) {
            host = value.substr(0, colon);
            port = value.substr(colon + 1);
            if (!all_digits(port)) return false;
        }
        bool plain = !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-';
        });
        if (!plain) return false;
    }
    if (port.size() > 5) return false;
    name = lower(host);
    return true;
}

bool host_allowed(const std::string &name, const ListenAddress &listen) {
    if (name == "localhost") return true;
    std::string bytes = address_bytes(name);
    if (bytes.empty()) return false;
    bool v6 = bytes.size() == 16;
    return is_loopback_ip(name, v6) || bytes == address_bytes(listen.ip);
}

bool valid_key(const std::string &key) {
    return key.size() >= 16 && key.size() <= 128 && std::all_of(key.begin(), key.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
           });
}

bool make_key(std::string &key) {
    std::string bytes;
    if (!random_bytes(bytes, KEY_BYTES)) return false;
    key = base64url(bytes);
    return true;
}

bool key_matches(const std::string &given, const std::string &key) {
    // The length of a key is no secret; its characters are.
    return given.size() == key.size() && CRYPTO_memcmp(given.data(), key.data(), key.size()) == 0;
}
