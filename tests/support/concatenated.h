#pragma once

#include <initializer_list>
#include <vector>

namespace lorvent::testing {

// One vector of the parts in order: expected streams are written as runs.
template <typename T>
std::vector<T> Concatenated(std::initializer_list<std::vector<T>> parts) {
    std::vector<T> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

} // namespace lorvent::testing
