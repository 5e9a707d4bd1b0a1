#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>

namespace lorvent::server {

// A logged-in user of the report page.
struct WebSession {
    std::string user;
    // The user's password hash when the session began: a session of a user
    // whose password changed, or who was removed, ends (the page compares).
    std::string passwordHash;
    // Sent back with each form of the session (logout), so that another
    // site's page cannot post one on the user's behalf.
    std::string csrfToken;
};

// The report page's sessions, kept in memory: a session id is 32 random
// bytes, given to the browser as a cookie and kept here only as a keyed
// digest, so that looking one up takes no time that depends on how much of
// it matches. A session ends kIdle after its last request, kLongest after
// its login, at logout, or when kMostSessions are open and it is the one
// least recently used. Also makes and checks the login form's token, which
// is bound to a cookie of its own (there is no session yet).
//
// Used on one thread (the report page's).
class WebSessions {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::minutes kIdle{30};
    static constexpr std::chrono::hours kLongest{10};
    static constexpr std::size_t kMostSessions = 1000;

    WebSessions();

    // A new session; returns its id for the cookie.
    std::string Open(WebSession session, Clock::time_point now);
    // The session of the cookie, kept alive by the call; nullptr when it
    // ended or never was.
    const WebSession* Find(const std::string& id, Clock::time_point now);
    void Close(const std::string& id);

    // The login form's token for the browser holding `loginCookie`, and
    // whether `token` is that token.
    std::string LoginToken(const std::string& loginCookie) const;
    bool LoginTokenMatches(const std::string& loginCookie, const std::string& token) const;

    // An opaque, stable (for the life of the process) name of `text` that
    // can stand in a URL in its place: a person's sheet is asked for by it.
    std::string OpaqueName(const std::string& text) const;

private:
    struct Entry {
        WebSession session;
        Clock::time_point opened;
        Clock::time_point lastUse;
    };

    std::string KeyOf(const std::string& id) const;
    void DropEnded(Clock::time_point now);

    std::string key_;
    std::map<std::string, Entry> sessions_; // by KeyOf(id)
};

} // namespace lorvent::server
