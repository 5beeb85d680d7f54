// An unwritable directory in tests: its mode is made 0555 while the object lives and, as root
// ignores permission bits, the calling thread gives up the capabilities that override them
// meanwhile (threads it starts meanwhile inherit that; other threads keep theirs). A program
// run through unprivilegedPrefix() is held to the permission bits the same way.
#pragma once

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace hxtest {

class ReadOnlyDirectory {
public:
    explicit ReadOnlyDirectory(std::filesystem::path directory) : directory_(std::move(directory)) {
        std::error_code ec;
        mode_ = std::filesystem::status(directory_, ec).permissions();
        std::filesystem::permissions(directory_, std::filesystem::perms(0555), ec);
        if (ec) return;
        if (capget(&header_, saved_) != 0) return;
        __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
        lowered[0].effective &= ~kOverrides;
        dropped_ = capset(&header_, lowered) == 0;
        // Whether it holds is tried.
        const std::filesystem::path probe = directory_ / ".hx-probe";
        const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        ok_ = fd < 0;
        if (fd >= 0) {
            ::close(fd);
            ::unlink(probe.c_str());
        }
    }
    ~ReadOnlyDirectory() {
        if (dropped_) capset(&header_, saved_);
        std::error_code ec;
        std::filesystem::permissions(directory_, mode_, ec);
    }
    ReadOnlyDirectory(const ReadOnlyDirectory&) = delete;
    ReadOnlyDirectory& operator=(const ReadOnlyDirectory&) = delete;

    /// True when writing into the directory fails for this thread.
    bool ok() const { return ok_; }

    /// What runs a command line without the capabilities that override permission bits (empty
    /// for a user other than root).
    static std::string unprivilegedPrefix() {
        return ::geteuid() == 0 ? "setpriv --bounding-set=-dac_override,-dac_read_search,-fowner "
                                : "";
    }

private:
    static constexpr unsigned kOverrides =
        (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER);
    static int capget(__user_cap_header_struct* h, __user_cap_data_struct* d) {
        return static_cast<int>(::syscall(SYS_capget, h, d));
    }
    static int capset(__user_cap_header_struct* h, const __user_cap_data_struct* d) {
        return static_cast<int>(::syscall(SYS_capset, h, d));
    }

    std::filesystem::path directory_;
    std::filesystem::perms mode_ = std::filesystem::perms::unknown;
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool dropped_ = false;
    bool ok_ = false;
};

} // namespace hxtest
