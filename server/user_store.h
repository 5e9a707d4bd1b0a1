#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace lorvent::server {

// The report page's users, kept in the database beside the records: a name
// and the salted hash of the user's password (web_crypto.h), never the
// password itself.
class UserStore {
public:
    virtual ~UserStore() = default;
    // Every user's name, sorted. A database that has never been opened
    // writable by this version has none. Throws StoreError.
    virtual std::vector<std::string> UserNames() = 0;
    // The user's password hash, or nothing when there is no such user.
    virtual std::optional<std::string> PasswordHash(const std::string& name) = 0;
    // Adds the user, or gives an existing one the new hash; true when added.
    virtual bool PutUser(const std::string& name, const std::string& passwordHash) = 0;
    // False when there was no such user.
    virtual bool RemoveUser(const std::string& name) = 0;
};

// A user's name: 1 to 64 letters, digits or ". _ - @" (ASCII), as it is
// typed at the login and written to the log.
inline bool IsUserName(const std::string& name) {
    return !name.empty() && name.size() <= 64 &&
           std::all_of(name.begin(), name.end(), [](unsigned char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '_' || c == '-' || c == '@';
           });
}

} // namespace lorvent::server
