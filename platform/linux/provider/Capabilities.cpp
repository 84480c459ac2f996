#include "Capabilities.h"

namespace provider {

namespace {

bool Flag(cap_t caps, cap_value_t capability, cap_flag_t set) {
    cap_flag_value_t value = CAP_CLEAR;
    return cap_get_flag(caps, capability, set, &value) == 0 && value == CAP_SET;
}

}  // namespace

ScopedCapabilities::ScopedCapabilities(std::initializer_list<cap_value_t> wanted) {
    cap_t caps = cap_get_proc();
    if (caps == nullptr) return;
    std::vector<cap_value_t> raise;
    for (cap_value_t c : wanted)
        if (Flag(caps, c, CAP_PERMITTED)) raise.push_back(c);
    // Whatever was raised is dropped at the end, also a capability that was
    // effective already: it is held exactly for the scope.
    if (!raise.empty() && cap_set_flag(caps, CAP_EFFECTIVE, static_cast<int>(raise.size()), raise.data(), CAP_SET) == 0 &&
        cap_set_proc(caps) == 0)
        m_raised = std::move(raise);
    cap_free(caps);
}

ScopedCapabilities::~ScopedCapabilities() {
    if (m_raised.empty()) return;
    cap_t caps = cap_get_proc();
    if (caps == nullptr) return;
    if (cap_set_flag(caps, CAP_EFFECTIVE, static_cast<int>(m_raised.size()), m_raised.data(), CAP_CLEAR) == 0)
        cap_set_proc(caps);
    cap_free(caps);
}

bool CapabilityEffective(cap_value_t capability) {
    cap_t caps = cap_get_proc();
    if (caps == nullptr) return false;
    const bool on = Flag(caps, capability, CAP_EFFECTIVE);
    cap_free(caps);
    return on;
}

}  // namespace provider
