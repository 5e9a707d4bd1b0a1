#pragma once

#include <optional>
#include <string>

namespace lorvent::testing {

// Sets (or, with no value, removes) an environment variable of this process
// for one scope; the programs it starts inherit it. Names and values are UTF-8.
// The platform's own get and set, in scoped_env_<platform>.cpp.
std::optional<std::string> GetEnv(const std::string& name);
void SetEnv(const std::string& name, const std::optional<std::string>& value);

class TScopedEnv {
public:
    TScopedEnv(std::string name, const std::optional<std::string>& value)
        : name_(std::move(name)), old_(GetEnv(name_)) {
        SetEnv(name_, value);
    }
    ~TScopedEnv() { SetEnv(name_, old_); }
    TScopedEnv(const TScopedEnv&) = delete;
    TScopedEnv& operator=(const TScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

} // namespace lorvent::testing
