#include "Permissions.h"

#include "HidLogging.h"

#include <cstdio>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hid::detail {

std::string permissionAdvice(const std::filesystem::path& file)
{
    std::string advice = file.string();
    struct stat info {};
    std::string group;
    if (::stat(file.c_str(), &info) == 0) {
        if (const struct group* entry = ::getgrgid(info.st_gid)) {
            group = entry->gr_name;
        } else {
            group = std::to_string(info.st_gid);
        }
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(info.st_mode & 07777));
        advice += " (group " + group + ", mode " + mode + ")";
    }
    advice += " is not readable by this user: install " + std::string(kUdevRulesFile) +
              " into /etc/udev/rules.d/ (see the README)";
    // Joining the group only helps where the group may read and it is not a system-wide one.
    if (!group.empty() && group != "root" && (info.st_mode & S_IRGRP)) {
        advice += " or join the group " + group;
    }
    return advice;
}

void warnAboutPermission(std::string_view kind, const std::filesystem::path& file)
{
    qCWarning(lcHid).noquote() << QString::fromUtf8(kind.data(), static_cast<qsizetype>(kind.size())) + ":"
                               << QString::fromStdString(permissionAdvice(file));
}

bool mayOpen(const std::filesystem::path& file, bool write)
{
    return ::access(file.c_str(), write ? (R_OK | W_OK) : R_OK) == 0;
}

} // namespace hid::detail
