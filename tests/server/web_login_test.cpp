// The parts of the report page's login that stand on their own: requests
// read with bounds, response heads that nothing can be smuggled into,
// sessions and the slowing down of guesses.
#include "server/http_request.h"
#include "server/login_throttle.h"
#include "server/web_crypto.h"
#include "server/web_response.h"
#include "server/web_sessions.h"

#include <gtest/gtest.h>

namespace lorvent::server {
namespace {

using namespace std::chrono_literals;

TEST(HttpRequestTest, ReadsWhatThePageNeedsAndRefusesTheRest) {
    const HttpRequest request =
        ParseRequestHead("POST /login?lang=en HTTP/1.1\r\nHost: x\r\ncOOKIE: a=1; b=2\r\n"
                         "Cookie: c=3\r\nContent-Length: 42\r\n\r\n");
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/login");
    EXPECT_EQ(request.query, "lang=en");
    EXPECT_EQ(request.contentLength, 42u);
    EXPECT_EQ(CookieValue(request.cookies, "b"), "2");
    EXPECT_EQ(CookieValue(request.cookies, "c"), "3");
    EXPECT_EQ(CookieValue(request.cookies, "d"), "");

    const std::pair<std::string, int> refused[] = {
        {"hello\r\n\r\n", 400},
        {"GET / SPDY/3\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nContent-Length: 4097\r\n\r\n", 413},
        {"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n", 413},
        {"POST / HTTP/1.1\r\nContent-Length: 4x\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 501},
        {"GET / HTTP/1.1\r\nHost: x\r\n folded\r\n\r\n", 400},
    };
    for (const auto& [head, status] : refused) {
        try {
            ParseRequestHead(head);
            ADD_FAILURE() << head << " was taken";
        } catch (const BadRequest& bad) {
            EXPECT_EQ(bad.status, status) << head;
        }
    }
}

TEST(HttpRequestTest, FormValuesAreDecoded) {
    const std::string form = "user=anna&password=p%C3%A1s+w%26rd%3D&next=%2F&bad=%4&empty=";
    EXPECT_EQ(FormValue(form, "password"), "pás w&rd=");
    EXPECT_EQ(FormValue(form, "next"), "/");
    EXPECT_EQ(FormValue(form, "bad"), std::nullopt);
    EXPECT_EQ(FormValue(form, "empty"), "");
    EXPECT_EQ(FormValue(form, "pass"), std::nullopt);
    EXPECT_EQ(FormValue("n=" + PercentEncoded("/month?x=1&y=ž\r\n"), "n"), "/month?x=1&y=ž\r\n");
}

TEST(WebResponseTest, AHeaderValueWithALineEndIsNeverWritten) {
    WebResponse response = PlainResponse(200, "x");
    response.headers = {
        {"Location", "/a\r\nSet-Cookie: x=1"}, {"X-A", std::string("b\0c", 3)}, {"X-B", "fine"}};
    const std::string head = ResponseHead(response, 2);
    EXPECT_EQ(head.find("Set-Cookie"), std::string::npos) << head;
    EXPECT_EQ(head.find("X-A"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nX-B: fine\r\n"), std::string::npos) << head;
    EXPECT_TRUE(head.ends_with("\r\nConnection: close\r\n\r\n"));
}

TEST(LoginThrottleTest, EachFailureInARowDoublesTheWaitUpTo32Seconds) {
    LoginThrottle throttle;
    auto now = LoginThrottle::Clock::now();
    const std::chrono::seconds waits[] = {1s, 2s, 4s, 8s, 16s, 32s, 32s};
    for (const auto wait : waits) {
        EXPECT_EQ(throttle.Failed("10.0.0.9", now), wait);
        EXPECT_EQ(throttle.WaitLeft("10.0.0.9", now + wait - 1ms), 1ms);
        EXPECT_EQ(throttle.WaitLeft("10.0.0.9", now + wait), 0s);
        EXPECT_EQ(throttle.WaitLeft("10.0.0.10", now), 0s) << "another address";
        now += wait;
    }
    throttle.Succeeded("10.0.0.9");
    EXPECT_EQ(throttle.Failed("10.0.0.9", now), 1s);
    now += LoginThrottle::kForgetAfter;
    EXPECT_EQ(throttle.Failed("10.0.0.9", now), 1s) << "forgotten after a quiet while";
}

TEST(LoginThrottleTest, AnIpv6HostCountsAsItsWholeNetwork) {
    const std::pair<const char*, const char*> same[] = {
        {"2001:db8:1:2::1", "2001:db8:1:2:ffff::9"},
        {"::ffff:10.0.0.9", "10.0.0.9"},
    };
    for (const auto& [a, b] : same)
        EXPECT_EQ(LoginThrottle::KeyOf(a), LoginThrottle::KeyOf(b)) << a;
    EXPECT_NE(LoginThrottle::KeyOf("2001:db8:1:2::1"), LoginThrottle::KeyOf("2001:db8:1:3::1"));
    EXPECT_NE(LoginThrottle::KeyOf("10.0.0.9"), LoginThrottle::KeyOf("10.0.0.10"));
}

TEST(WebSessionsTest, ASessionEndsWhenIdleTooLongOrOpenTooLong) {
    WebSessions sessions;
    const auto start = WebSessions::Clock::now();
    const std::string id = sessions.Open({"anna", "hash", ""}, start);
    ASSERT_NE(sessions.Find(id, start), nullptr);
    EXPECT_EQ(sessions.Find(id, start)->user, "anna");
    EXPECT_EQ(sessions.Find(id, start)->csrfToken.size(), 64u);
    EXPECT_EQ(sessions.Find(id.substr(1) + "0", start), nullptr);
    EXPECT_EQ(sessions.Find(id, start + WebSessions::kIdle), nullptr);

    // Kept alive by use, until the longest a session may last.
    const std::string busy = sessions.Open({"anna", "hash", ""}, start);
    auto now = start;
    for (; now + WebSessions::kIdle / 2 < start + WebSessions::kLongest;
         now += WebSessions::kIdle / 2)
        ASSERT_NE(sessions.Find(busy, now), nullptr);
    EXPECT_EQ(sessions.Find(busy, start + WebSessions::kLongest), nullptr);

    const std::string closed = sessions.Open({"anna", "hash", ""}, start);
    sessions.Close(closed);
    EXPECT_EQ(sessions.Find(closed, start), nullptr);
}

TEST(WebSessionsTest, TheLeastRecentlyUsedGoesWhenTooManyAreOpen) {
    WebSessions sessions;
    auto now = WebSessions::Clock::now();
    const std::string first = sessions.Open({"a", "h", ""}, now);
    const std::string second = sessions.Open({"b", "h", ""}, now + 1s);
    ASSERT_NE(sessions.Find(first, now + 2s), nullptr); // now used after the second
    for (std::size_t i = 2; i < WebSessions::kMostSessions; ++i)
        sessions.Open({"c", "h", ""}, now + 3s);
    sessions.Open({"d", "h", ""}, now + 4s);
    EXPECT_NE(sessions.Find(first, now + 5s), nullptr);
    EXPECT_EQ(sessions.Find(second, now + 5s), nullptr);
}

TEST(WebSessionsTest, TheLoginTokenFitsOnlyItsOwnCookie) {
    WebSessions sessions;
    WebSessions otherProcess;
    const std::string cookie = RandomHex(32);
    const std::string token = sessions.LoginToken(cookie);
    EXPECT_TRUE(sessions.LoginTokenMatches(cookie, token));
    EXPECT_FALSE(sessions.LoginTokenMatches(RandomHex(32), token));
    EXPECT_FALSE(sessions.LoginTokenMatches(cookie, token.substr(1)));
    EXPECT_FALSE(sessions.LoginTokenMatches("", sessions.LoginToken("")));
    EXPECT_FALSE(otherProcess.LoginTokenMatches(cookie, token));
    EXPECT_EQ(sessions.OpaqueName("0042"), sessions.OpaqueName("0042"));
    EXPECT_NE(sessions.OpaqueName("0042"), otherProcess.OpaqueName("0042"));
}

} // namespace
} // namespace lorvent::server
