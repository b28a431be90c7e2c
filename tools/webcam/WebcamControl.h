#pragma once

// Sends one control command to the running with-webcams and returns its
// answer ("ok", status lines then "ok", or "error TEXT"). The socket is the
// one the runner names in TALVEX_WEBCAM_CONTROL. Header only, for tests:
//     EXPECT_EQ(webcam::control("unplug front"), "ok");

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace webcam {

inline std::string control(const std::string& command, const char* socketPath = nullptr) {
    if (!socketPath) socketPath = std::getenv("TALVEX_WEBCAM_CONTROL");
    if (!socketPath) return "error TALVEX_WEBCAM_CONTROL is not set";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath, sizeof address.sun_path - 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "error no socket";
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return "error cannot reach the runner at " + std::string(socketPath);
    }
    const std::string line = command + "\n";
    std::string answer;
    if (::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
        char buffer[4096];
        for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
            answer.append(buffer, got);
    }
    ::close(fd);
    while (!answer.empty() && answer.back() == '\n') answer.pop_back();
    return answer;
}

}  // namespace webcam
