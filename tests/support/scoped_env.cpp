#include "support/scoped_env.h"

namespace lorvent::testing {

TScopedEnv::TScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)), old_(GetEnv(name_)) {
    SetEnv(name_, value);
}

TScopedEnv::~TScopedEnv() {
    SetEnv(name_, old_);
}

} // namespace lorvent::testing
