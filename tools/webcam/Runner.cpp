// with-webcams: runs a command with emulated UVC webcams (see README.md).
//     with-webcams [--truth FILE] [--control SOCKET] [--keep] CONFIG -- COMMAND [ARG...]
//     with-webcams ctl COMMAND...

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "Commands.h"
#include "Namespace.h"
#include "WebcamControl.h"

namespace {

namespace fs = std::filesystem;
using namespace webcam;

constexpr int kTickMs = 10;  // how late a scheduled unplug or replug may come
volatile pid_t childPid = 0;

struct Options {
    std::string config, truth, control;
    bool keep = false;
    std::vector<char*> command;
};

[[noreturn]] void usage(const std::string& problem) {
    std::fprintf(stderr,
                 "with-webcams: %s\nusage: with-webcams [--truth FILE] [--control SOCKET] "
                 "[--keep] CONFIG -- COMMAND [ARG...]\n       with-webcams ctl COMMAND...\n",
                 problem.c_str());
    std::exit(2);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        std::string argument = argv[i];
        if ((argument == "--truth" || argument == "--control") && i + 1 < argc)
            (argument == "--truth" ? options.truth : options.control) = argv[++i];
        else if (argument == "--keep")
            options.keep = true;
        else if (options.config.empty() && argument.rfind("--", 0) != 0)
            options.config = argument;
        else
            usage("unexpected argument '" + argument + "'");
    }
    if (options.config.empty()) usage("no configuration file");
    if (i + 1 >= argc) usage("no command after --");
    options.command.assign(argv + i + 1, argv + argc);
    options.command.push_back(nullptr);
    return options;
}

int controlClient(int argc, char** argv) {
    std::string command;
    for (int i = 2; i < argc; ++i) command += (i > 2 ? " " : "") + std::string(argv[i]);
    std::string answer = control(command);
    std::puts(answer.c_str());
    return answer.size() >= 2 && answer.compare(answer.size() - 2, 2, "ok") == 0 ? 0 : 1;
}

int listenOn(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long");
    std::strcpy(address.sun_path, path.c_str());
    ::unlink(path.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0)
        throw std::runtime_error("cannot listen on " + path + ": " + std::strerror(errno));
    return fd;
}

// One command per connection: a line in, the answer out.
void serveOne(int listener, Bus& bus) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    std::string line;
    char c;
    pollfd waiting{fd, POLLIN, 0};
    while (line.size() < 1024 && ::poll(&waiting, 1, 1000) > 0 && ::read(fd, &c, 1) == 1 &&
           c != '\n')
        line += c;
    std::string answer = applyCommand(bus, line) + "\n";
    if (::write(fd, answer.data(), answer.size()) < 0) {
        // The test went away; nothing to tell.
    }
    ::close(fd);
}

void forwardSignal(int signal) {
    if (childPid > 0) ::kill(childPid, signal);
}

std::string libraryPath() {
    if (const char* path = std::getenv("TALVEX_WEBCAM_LIBRARY")) return path;
    return (fs::read_symlink("/proc/self/exe").parent_path() / "libtalvex-webcam.so").string();
}

void setEnvironment(const std::string& runDir, const std::string& control,
                    const std::string& truth) {
    std::string preload = libraryPath();
    if (const char* existing = std::getenv("LD_PRELOAD")) preload += std::string(":") + existing;
    ::setenv("LD_PRELOAD", preload.c_str(), 1);
    // A sanitized program otherwise refuses to start with a library ahead of its runtime.
    std::string asan = "verify_asan_link_order=0";
    if (const char* existing = std::getenv("ASAN_OPTIONS")) asan = existing + (":" + asan);
    ::setenv("ASAN_OPTIONS", asan.c_str(), 1);
    ::setenv("TALVEX_WEBCAM_STATE", (runDir + "/state").c_str(), 1);
    ::setenv("TALVEX_WEBCAM_CONFIG", (runDir + "/webcams.conf").c_str(), 1);
    ::setenv("TALVEX_WEBCAM_CONTROL", control.c_str(), 1);
    if (!truth.empty()) ::setenv("TALVEX_WEBCAM_TRUTH", truth.c_str(), 1);
}

int waitForChild(int listener, Bus& bus) {
    for (;;) {
        pollfd waiting{listener, POLLIN, 0};
        if (::poll(&waiting, 1, kTickMs) > 0) serveOne(listener, bus);
        runSchedule(bus);
        int status = 0;
        if (::waitpid(childPid, &status, WNOHANG) == childPid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
}

int run(const Options& options) {
    WebcamConfig config = loadConfig(options.config);
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp ? tmp : "/tmp") + "/with-webcams.XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a run folder");
    const std::string runDir = pattern;
    fs::copy_file(options.config, runDir + "/webcams.conf");
    std::string truth = options.truth.empty() ? config.truthPath : options.truth;
    if (!truth.empty()) {
        truth = fs::absolute(truth).string();
        ::close(::open(truth.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    }
    const std::string controlPath = options.control.empty() ? runDir + "/control" : options.control;
    std::unique_ptr<SharedState> shared(SharedState::create(runDir + "/state", config));
    if (!shared) throw std::runtime_error("cannot make " + runDir + "/state");
    TruthLog log(truth);
    Bus bus{config, *shared, log};
    isolateDevices();
    plugInitially(bus);
    int listener = listenOn(controlPath);
    setEnvironment(runDir, controlPath, truth);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::signal(signal, forwardSignal);
    childPid = ::fork();
    if (childPid == 0) {
        ::execvp(options.command[0], options.command.data());
        std::fprintf(stderr, "with-webcams: cannot run %s: %s\n", options.command[0],
                     std::strerror(errno));
        ::_exit(127);
    }
    int status = childPid > 0 ? waitForChild(listener, bus) : 127;
    ::close(listener);
    ::unlink(controlPath.c_str());
    std::error_code ignored;
    if (!options.keep) fs::remove_all(runDir, ignored);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "ctl") == 0) return controlClient(argc, argv);
    Options options = parseOptions(argc, argv);
    try {
        return run(options);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "with-webcams: %s\n", error.what());
        return 2;
    }
}
