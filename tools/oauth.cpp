// PKCE, encodings and the OAuth forms (see oauth.h). SHA-256 and the random bytes come
// from the system: OpenSSL's libcrypto and getrandom() on Linux, BCrypt on Windows.
#include "oauth.h"

#include <cerrno>

#if defined(_WIN32)
#  include <windows.h>
#  include <bcrypt.h>
#else
#  include <openssl/evp.h>
#  include <sys/random.h>
#endif

namespace {

constexpr size_t VERIFIER_BYTES = 32;

} // namespace

bool random_bytes(std::string &out, size_t n) {
    out.assign(n, '\0');
#if defined(_WIN32)
    return BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&out[0]), ULONG(n),
                           BCRYPT_USE_SYSTEM_PREFERRED_RNG) >= 0;
#else
    for (size_t done = 0; done < n;) {
        ssize_t got = getrandom(&out[done], n - done, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += size_t(got);
    }
    return true;
#endif
}

std::string base64url(const std::string &bytes) {
    static constexpr char ALPHABET[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (unsigned char c : bytes) {
        bits = (bits << 8) | c;
        for (count += 8; count >= 6; count -= 6) out += ALPHABET[(bits >> (count - 6)) & 0x3F];
    }
    if (count > 0) out += ALPHABET[(bits << (6 - count)) & 0x3F];
    return out;
}

std::string pct_encode(const std::string &text) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                          c == '-' || c == '.' || c == '_' || c == '~';
        if (unreserved) out += char(c);
        else out += {'%', HEX[c >> 4], HEX[c & 0x0F]};
    }
    return out;
}

bool sha256(const std::string &text, std::string &digest) {
    digest.assign(32, '\0');
#if defined(_WIN32)
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) >= 0 &&
              BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0) >= 0 &&
              BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char *>(text.data())),
                             ULONG(text.size()), 0) >= 0 &&
              BCryptFinishHash(hash, reinterpret_cast<PUCHAR>(&digest[0]), 32, 0) >= 0;
    if (hash) BCryptDestroyHash(hash);
    if (alg) BCryptCloseAlgorithmProvider(alg, 0);
    return ok;
#else
    unsigned int len = 0;
    return EVP_Digest(text.data(), text.size(), reinterpret_cast<unsigned char *>(&digest[0]), &len,
                      EVP_sha256(), nullptr) == 1 &&
           len == 32;
#endif
}

bool make_code_verifier(std::string &verifier) {
    std::string bytes;
    if (!random_bytes(bytes, VERIFIER_BYTES)) return false;
    verifier = base64url(bytes);
    return true;
}

std::string code_challenge(const std::string &verifier) {
    std::string digest;
    return sha256(verifier, digest) ? base64url(digest) : "";
}

std::string authorize_url(const std::string &app_key, const std::string &challenge) {
    return "https://www.dropbox.com/oauth2/authorize?client_id=" + pct_encode(app_key) +
           "&response_type=code&code_challenge=" + challenge +
           "&code_challenge_method=S256&token_access_type=offline";
}

std::string code_grant_form(const std::string &code, const std::string &app_key,
                            const std::string &verifier) {
    return "grant_type=authorization_code&code=" + pct_encode(code) + "&client_id=" + pct_encode(app_key) +
           "&code_verifier=" + pct_encode(verifier);
}

std::string refresh_grant_form(const std::string &refresh_token, const std::string &app_key) {
    return "grant_type=refresh_token&refresh_token=" + pct_encode(refresh_token) +
           "&client_id=" + pct_encode(app_key);
}
