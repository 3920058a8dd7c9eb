// The command-line host's pure helpers: the PKCE pieces against RFC 7636 and RFC 4648,
// the playlist's extension matching and M3U text.
#include "account/oauth.h"
#include "cli/m3u.h"

#include <gtest/gtest.h>

TEST(Base64url, Rfc4648VectorsWithoutPaddingInTheUrlAlphabet) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""}, {"f", "Zg"}, {"fo", "Zm8"}, {"foo", "Zm9v"}, {"foob", "Zm9vYg"},
        {"fooba", "Zm9vYmE"}, {"foobar", "Zm9vYmFy"}, {"\xfb\xff", "-_8"}};
    for (const auto &[bytes, text] : cases) EXPECT_EQ(base64url(bytes), text) << text;
}

TEST(Pkce, Rfc7636AppendixB) {
    const unsigned char octets[] = {116, 24, 223, 180, 151, 153, 224, 37, 79, 250, 96, 125, 216, 173, 187, 186,
                                    22, 212, 37, 77, 105, 214, 191, 240, 91, 88, 5, 88, 83, 132, 141, 121};
    std::string verifier = base64url(std::string(reinterpret_cast<const char *>(octets), sizeof octets));
    EXPECT_EQ(verifier, "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk");
    EXPECT_EQ(code_challenge(verifier), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST(Pkce, VerifiersAreFresh43CharacterTexts) {
    std::string a, b;
    ASSERT_TRUE(make_code_verifier(a));
    ASSERT_TRUE(make_code_verifier(b));
    EXPECT_EQ(a.size(), 43u);
    EXPECT_EQ(a.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
    EXPECT_NE(a, b);
}

TEST(PctEncode, OnlyUnreservedBytesStay) {
    EXPECT_EQ(pct_encode("Bearer a+b/c~d.e_f-g"), "Bearer%20a%2Bb%2Fc~d.e_f-g");
    EXPECT_EQ(pct_encode("\xc3\xa9&="), "%C3%A9%26%3D");
}

TEST(Playlist, PlayableByExtensionInAnyCase) {
    const std::pair<const char *, bool> cases[] = {
        {"01 Hunter.flac", true}, {"a.MP3", true}, {"b.Opus", true}, {"film.mkv", true}, {"x.aif", true},
        {"cover.jpg", false}, {"notes.mp3.txt", false}, {"mp3", false}, {".mp3", false}, {"a.", false}};
    for (const auto &[name, playable] : cases) EXPECT_EQ(is_playable(name), playable) << name;
}

TEST(Playlist, ExtendedM3uWithExpiryAndOneLineNames) {
    std::string text = m3u_document({{"01 Intro.flac", "https://a/1"}, {"two\nlines\r.mp3", "https://a/2"}}, 0);
    EXPECT_EQ(text, "#EXTM3U\n# the links expire at 1970-01-01T04:00:00Z (4 hours after they were made)\n"
                    "#EXTINF:-1,01 Intro.flac\nhttps://a/1\n#EXTINF:-1,two lines .mp3\nhttps://a/2\n");
}
