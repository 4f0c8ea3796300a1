#pragma once

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace testsupport {

/// While it lives, the calling thread (and threads it starts) obey file permissions even as
/// root: it drops CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH from its effective set, keeping them
/// permitted so they come back on destruction. Without those capabilities it changes nothing.
class NoFileOverride {
public:
    NoFileOverride()
    {
        if (::syscall(SYS_capget, &header, saved) != 0) {
            return;
        }
        __user_cap_data_struct lowered[2] = {saved[0], saved[1]};
        lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        changed = ::syscall(SYS_capset, &header, lowered) == 0;
    }
    ~NoFileOverride()
    {
        if (changed) {
            ::syscall(SYS_capset, &header, saved);
        }
    }
    NoFileOverride(const NoFileOverride&) = delete;
    NoFileOverride& operator=(const NoFileOverride&) = delete;

private:
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2]{};
    bool changed = false;
};

} // namespace testsupport
