// Raises capabilities into the calling thread's effective set for one scope,
// when they are in its permitted set, and drops them from it when the scope
// ends.
#pragma once

#include <sys/capability.h>

#include <initializer_list>
#include <vector>

namespace provider {

class ScopedCapabilities {
public:
    explicit ScopedCapabilities(std::initializer_list<cap_value_t> wanted);
    ~ScopedCapabilities();
    ScopedCapabilities(const ScopedCapabilities&) = delete;
    ScopedCapabilities& operator=(const ScopedCapabilities&) = delete;

private:
    std::vector<cap_value_t> m_raised;
};

// Whether the calling thread holds `capability` in its effective set.
bool CapabilityEffective(cap_value_t capability);

}  // namespace provider
