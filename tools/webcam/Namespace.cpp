#include "Namespace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>

namespace webcam {
namespace {

void check(bool done, const std::string& step) {
    if (!done) throw std::runtime_error(step + ": " + std::strerror(errno));
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Binds one entry of the hidden directory back over its placeholder.
void bindBack(int oldFd, const std::string& dir, const std::string& name) {
    struct stat status {};
    if (::fstatat(oldFd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return;
    const std::string target = dir + "/" + name;
    if (S_ISLNK(status.st_mode)) {
        char link[4096];
        ssize_t length = ::readlinkat(oldFd, name.c_str(), link, sizeof link - 1);
        if (length < 0) return;
        link[length] = '\0';
        check(::symlink(link, target.c_str()) == 0, "link " + target);
        return;
    }
    if (S_ISDIR(status.st_mode))
        check(::mkdir(target.c_str(), status.st_mode & 07777) == 0, "mkdir " + target);
    else
        check(::mknod(target.c_str(), S_IFREG | 0600, 0) == 0, "placeholder " + target);
    const std::string source = "/proc/self/fd/" + std::to_string(oldFd) + "/" + name;
    check(::mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0,
          "bind " + target);
}

// A tmpfs over dir that keeps every entry except the skipped ones.
void overlay(const std::string& dir, const std::function<bool(const std::string&)>& skip) {
    int oldFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    check(oldFd >= 0, "open " + dir);
    struct stat status {};
    ::fstat(oldFd, &status);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%o", status.st_mode & 07777);
    check(::mount("tmpfs", dir.c_str(), "tmpfs", MS_NOSUID,
                  ("mode=" + std::string(mode)).c_str()) == 0,
          "tmpfs on " + dir);
    DIR* entries = ::fdopendir(::dup(oldFd));
    check(entries != nullptr, "list " + dir);
    while (dirent* entry = ::readdir(entries)) {
        std::string name = entry->d_name;
        if (name == "." || name == ".." || skip(name)) continue;
        bindBack(oldFd, dir, name);
    }
    ::closedir(entries);
    ::close(oldFd);
}

}  // namespace

void isolateDevices() {
    check(::unshare(CLONE_NEWNS) == 0, "unshare the mount namespace (root needed)");
    check(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "make / private");
    overlay("/dev", [](const std::string& name) {
        return startsWith(name, "video") || startsWith(name, "media") || startsWith(name, "v4l");
    });
    overlay("/sys/class", [](const std::string& name) { return name == "video4linux"; });
    check(::mkdir("/sys/class/video4linux", 0755) == 0, "mkdir /sys/class/video4linux");
    overlay("/sys/bus", [](const std::string& name) { return name == "usb"; });
    std::filesystem::create_directories("/sys/bus/usb/devices");
}

}  // namespace webcam
