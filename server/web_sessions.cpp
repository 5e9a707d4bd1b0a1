#include "server/web_sessions.h"

#include "server/web_crypto.h"

#include <algorithm>

namespace lorvent::server {

namespace {

constexpr std::size_t kIdBytes = 32;

// Each use of the one key gets a domain of its own, so that no value made
// for one use passes for another.
constexpr const char* kSessionDomain = "session:";
constexpr const char* kLoginDomain = "login:";
constexpr const char* kNameDomain = "name:";

} // namespace

WebSessions::WebSessions() : key_(RandomKey()) {}

std::string WebSessions::Open(WebSession session, Clock::time_point now) {
    DropEnded(now);
    while (sessions_.size() >= kMostSessions) {
        const auto leastRecent =
            std::min_element(sessions_.begin(), sessions_.end(), [](const auto& a, const auto& b) {
                return a.second.lastUse < b.second.lastUse;
            });
        sessions_.erase(leastRecent);
    }
    session.csrfToken = RandomHex(kIdBytes);
    const std::string id = RandomHex(kIdBytes);
    sessions_[KeyOf(id)] = {std::move(session), now, now};
    return id;
}

const WebSession* WebSessions::Find(const std::string& id, Clock::time_point now) {
    if (id.size() != kIdBytes * 2)
        return nullptr;
    const auto found = sessions_.find(KeyOf(id));
    if (found == sessions_.end())
        return nullptr;
    Entry& entry = found->second;
    if (now - entry.lastUse >= kIdle || now - entry.opened >= kLongest) {
        sessions_.erase(found);
        return nullptr;
    }
    entry.lastUse = now;
    return &entry.session;
}

void WebSessions::Close(const std::string& id) {
    sessions_.erase(KeyOf(id));
}

std::string WebSessions::LoginToken(const std::string& loginCookie) const {
    return KeyedDigestHex(key_, kLoginDomain + loginCookie);
}

bool WebSessions::LoginTokenMatches(const std::string& loginCookie,
                                    const std::string& token) const {
    return loginCookie.size() == kIdBytes * 2 && TokensEqual(LoginToken(loginCookie), token);
}

std::string WebSessions::OpaqueName(const std::string& text) const {
    return KeyedDigestHex(key_, kNameDomain + text, 16);
}

std::string WebSessions::KeyOf(const std::string& id) const {
    return KeyedDigestHex(key_, kSessionDomain + id);
}

void WebSessions::DropEnded(Clock::time_point now) {
    std::erase_if(sessions_, [now](const auto& entry) {
        return now - entry.second.lastUse >= kIdle || now - entry.second.opened >= kLongest;
    });
}

} // namespace lorvent::server
