// The OAuth 2 pieces of the sign-in, free of any I/O but the system's random source: the
// PKCE verifier and challenge (RFC 7636, S256), base64url, percent-encoding, the authorize
// URL and the token-request forms.
#pragma once

#include <string>

// `n` bytes of the system's CSPRNG into `out`; false when the random source fails.
bool random_bytes(std::string &out, size_t n);

// base64url of `bytes` without padding (RFC 4648 section 5).
std::string base64url(const std::string &bytes);

// `text` percent-encoded: every byte but ALPHA, DIGIT and "-._~", as the module encodes
// its query values.
std::string pct_encode(const std::string &text);

// SHA-256 of `text` (32 bytes) into `digest`; false when the system's library fails.
bool sha256(const std::string &text, std::string &digest);

// A new code verifier: 32 bytes of the system's CSPRNG, base64url (43 characters); false
// when the random source fails.
bool make_code_verifier(std::string &verifier);

// base64url(SHA-256(verifier)), the S256 code challenge; "" when hashing fails.
std::string code_challenge(const std::string &verifier);

// The page that asks the user to allow access: the no-redirect flow, offline access
// (a refresh token), the S256 challenge.
std::string authorize_url(const std::string &app_key, const std::string &challenge);

// The form bodies of the token endpoint.
std::string code_grant_form(const std::string &code, const std::string &app_key,
                            const std::string &verifier);
std::string refresh_grant_form(const std::string &refresh_token, const std::string &app_key);
