#include "ZoqCore/Wire/WireFields.h"
#include "tests/ZoqCore/Wire/WireTestSupport.h"

#include <gtest/gtest.h>

namespace zoq {
namespace {

using test::reasonOf;

std::string reason(const JSONValue& url) {
    return reasonOf([&] { EXPECT_EQ(WireFields::url(url), url); });
}

TEST(WireURL, AcceptsOrdinaryPresignedURLs) {
    for (const char* url : {"https://storage.example.com/key/audio.flac?X-Signature=ab%2Fcd&x=1",
                            "HTTPS://Example.COM",
                            "http://example.com/",
                            "hTTp://localhost:8080/a#frag?x",
                            "https://example.com.",
                            "https://example.com:",
                            "https://example.com:0",
                            "https://example.com:00080/p",
                            "https://127.0.0.1:9000/u",
                            "https://0.0.0.0",
                            "https://[::1]:8443/u",
                            "https://[2001:db8::1]",
                            "https://[::ffff:1.2.3.4]/",
                            "https://0x7f.1",

                            "https://1.2.3.0x4",
                            "https://0x",
                            "https://a-b.c0/",
                            "https://example.com/p;a=1/~u/!$&'()*+,=:@",
                            "https://example.com?",
                            "https://4294967295.example"}) {
        EXPECT_EQ(reason(JSONValue(url)), "ok") << url;
    }
}

TEST(WireURL, SchemeAndCharacters) {
    EXPECT_EQ(reason(JSONValue(3)), "URL scheme");
    EXPECT_EQ(reason(JSONValue("ftp://example.com")), "URL scheme");
    EXPECT_EQ(reason(JSONValue("https:/example.com")), "URL scheme");
    EXPECT_EQ(reason(JSONValue(" https://example.com")), "URL scheme");
    EXPECT_EQ(reason(JSONValue("http\xC5\xBF://example.com")),
              "URL scheme"); // long s folds to "s" in Unicode
    EXPECT_EQ(reason(JSONValue("https://")), "URL characters");
    EXPECT_EQ(reason(JSONValue("https:///path")), "URL characters");
    EXPECT_EQ(reason(JSONValue("https://user@example.com/")), "URL characters");
    EXPECT_EQ(reason(JSONValue("https://example.com/a b")), "URL characters");
    EXPECT_EQ(reason(JSONValue("https://example.com/%zz")), "URL characters");
    EXPECT_EQ(reason(JSONValue("https://example.com/\xC3\xA9")), "URL characters");
    EXPECT_EQ(reason(JSONValue("https://example.com/a\r\nHost: evil")), "URL characters");
    EXPECT_EQ(reason(JSONValue("https://example.com/#a#b")), "URL characters");
    // Characters are checked before the authority's structure.
    EXPECT_EQ(reason(JSONValue("https://a:b:c/%")), "URL characters");
}

TEST(WireURL, AuthorityAndHostNames) {
    EXPECT_EQ(reason(JSONValue("https://a:1:2/")), "authority");
    EXPECT_EQ(reason(JSONValue("https://::1/")), "authority");
    EXPECT_EQ(reason(JSONValue("https://:80/")), "host");
    EXPECT_EQ(reason(JSONValue("https://exa_mple.com")), "host");
    EXPECT_EQ(reason(JSONValue("https://-a.com")), "host");
    EXPECT_EQ(reason(JSONValue("https://a-.com")), "host");
    EXPECT_EQ(reason(JSONValue("https://a..com")), "host");
    EXPECT_EQ(reason(JSONValue("https://example.com..")), "host");
    EXPECT_EQ(reason(JSONValue("https://ex\xC3\xA4mple.com")), "host");
    EXPECT_EQ(reason(JSONValue("https://" + std::string(64, 'a') + ".com")), "host");
    EXPECT_EQ(reason(JSONValue("https://" + std::string(63, 'a') + ".com")), "ok");
    std::string longest;
    while (longest.size() < 253) {
        longest += longest.empty() ? "a" : ".a";
    }
    EXPECT_EQ(reason(JSONValue("https://" + longest)), "ok");
    EXPECT_EQ(reason(JSONValue("https://" + longest + ".")), "ok");
    EXPECT_EQ(reason(JSONValue("https://" + longest + "a")), "host");
}

TEST(WireURL, DottedQuadsAndNumericHosts) {
    EXPECT_EQ(reason(JSONValue("https://010.0.0.1")), "IPv4");
    EXPECT_EQ(reason(JSONValue("https://1.2.3")), "IPv4");
    EXPECT_EQ(reason(JSONValue("https://127.1")), "IPv4");
    EXPECT_EQ(reason(JSONValue("https://1.2.3.4.5")), "IPv4");
    EXPECT_EQ(reason(JSONValue("https://256.1.1.1")), "IPv4");
    EXPECT_EQ(reason(JSONValue("https://1.1.1.0255")), "IPv4");
    EXPECT_EQ(reason(JSONValue("https://4294967296")), "IPv4");
    EXPECT_EQ(reason(JSONValue("https://255.255.255.255")), "ok");
    EXPECT_EQ(reason(JSONValue("https://example.0x7f")), "numeric host");
    EXPECT_EQ(reason(JSONValue("https://example.123")), "numeric host");
    EXPECT_EQ(reason(JSONValue("https://0x100.1")), "numeric host");
    EXPECT_EQ(reason(JSONValue("https://1.0x1000000")), "numeric host");
    EXPECT_EQ(reason(JSONValue("https://1.0xffffff")), "ok");
    EXPECT_EQ(reason(JSONValue("https://1.2.3.4.0x5")), "numeric host");
    EXPECT_EQ(reason(JSONValue("https://09.0x1")), "numeric host"); // 9 is not an octal digit
    EXPECT_EQ(reason(JSONValue("https://0x" + std::string(40, 'f'))), "numeric host");
    EXPECT_EQ(reason(JSONValue("https://0xffffffff")), "ok");
    EXPECT_EQ(reason(JSONValue("https://0x100000000")), "numeric host");
}

TEST(WireURL, BracketedIPv6) {
    EXPECT_EQ(reason(JSONValue("https://[::ffff:01.2.3.4]")), "IPv6 embedded IPv4 leading zero");
    EXPECT_EQ(reason(JSONValue("https://[::ffff:1.2.3.4]")), "ok");
    EXPECT_EQ(reason(JSONValue("https://[fe80::1%25eth0]")), "IPv6 characters");
    EXPECT_EQ(reason(JSONValue("https://[]")), "IPv6 characters");
    EXPECT_EQ(reason(JSONValue("https://[g::1]")), "IPv6 characters");
    EXPECT_EQ(reason(JSONValue("https://[::1")), "IPv6");
    EXPECT_EQ(reason(JSONValue("https://[1:2:3:4:5:6:7:8:9]")), "IPv6");
    EXPECT_EQ(reason(JSONValue("https://[::1.2.3]")), "IPv6");
    EXPECT_EQ(reason(JSONValue("https://[::1]x")), "port");
    EXPECT_EQ(reason(JSONValue("https://[::1]:65536")), "port");
    EXPECT_EQ(reason(JSONValue("https://[::1]:")), "ok");
}

TEST(WireURL, Ports) {
    EXPECT_EQ(reason(JSONValue("https://example.com:65535")), "ok");
    EXPECT_EQ(reason(JSONValue("https://example.com:000000065535")), "ok");
    EXPECT_EQ(reason(JSONValue("https://example.com:65536")), "port");
    EXPECT_EQ(reason(JSONValue("https://example.com:100000")), "port");
    EXPECT_EQ(reason(JSONValue("https://example.com:99999999999999999999999")), "port");
    EXPECT_EQ(reason(JSONValue("https://example.com:8a")), "port");
    EXPECT_EQ(reason(JSONValue("https://example.com:-1")), "port");
    // The host is judged before the port.
    EXPECT_EQ(reason(JSONValue("https://1.2.3:99999")), "IPv4");
}

TEST(WireURL, LongInputsStayLinear) {
    EXPECT_EQ(reason(JSONValue("https://example.com/" + std::string(1 << 20, 'a'))), "ok");
    EXPECT_EQ(reason(JSONValue("https://example.com/" + std::string(1 << 20, 'a') + " ")), "URL characters");
    EXPECT_EQ(reason(JSONValue("https://example.com/?" + std::string(1 << 18, '%'))), "URL characters");
}

} // namespace
} // namespace zoq
