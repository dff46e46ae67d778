// Runs the hotkey probes against a real X server (Xvfb) and drives it with real key events sent
// by xdotool through XTEST. Each test owns its server; every process a test starts is stopped by
// process id when the test ends, whatever the outcome.

// GoogleTest comes first: Xlib defines macros (None, Bool, Status) that clash with its names.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char **environ;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

constexpr auto kLineTimeout = 10s;

std::string findOnPath(const std::string &name) {
    std::istringstream dirs(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    throw std::runtime_error(name + " is not on PATH; it is needed to run these tests");
}

// The read end of a child's output pipe, read with deadlines so that a silent child shows up as a
// timeout instead of a hang.
class PipeReader {
  public:
    int fd = -1;

    // The next complete line, or nothing if none arrives within `limit` (or the pipe closed).
    std::optional<std::string> tryReadLine(Clock::duration limit) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            if (auto nl = buf_.find('\n'); nl != std::string::npos) {
                std::string line = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                return line;
            }
            if (!fill(deadline)) return std::nullopt;
        }
    }

    Lines readLines(size_t count) {
        Lines lines;
        while (lines.size() < count) {
            auto line = tryReadLine(kLineTimeout);
            if (!line) {
                std::string got;
                for (const auto &l : lines)
                    got += " [" + l + "]";
                throw std::runtime_error("expected " + std::to_string(count) + " lines, got only" +
                                         got + " before timeout or end of output");
            }
            lines.push_back(*line);
        }
        return lines;
    }

    // Everything up to end of file.
    std::string readAll(Clock::duration limit) {
        const auto deadline = Clock::now() + limit;
        while (fill(deadline)) {
        }
        return std::exchange(buf_, {});
    }

  private:
    std::string buf_;

    // Reads whatever is available before the deadline; false on timeout or end of file.
    bool fill(Clock::time_point deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char chunk[4096];
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) return false;
        buf_.append(chunk, static_cast<size_t>(n));
        return true;
    }
};

// A child process with its stdout and stderr on pipes (or discarded). DISPLAY is set to `display`,
// or removed when none is given. The destructor terminates and reaps the child.
class Child {
  public:
    PipeReader out, err;

    Child(const Lines &argv, const std::optional<std::string> &display,
          bool discardOutput = false) {
        const std::string path =
            argv[0].find('/') == std::string::npos ? findOnPath(argv[0]) : argv[0];
        Lines envStrings;
        for (char **e = environ; *e != nullptr; ++e) {
            if (std::string(*e).rfind("DISPLAY=", 0) != 0) envStrings.emplace_back(*e);
        }
        if (display) envStrings.push_back("DISPLAY=" + *display);
        std::vector<char *> args, env;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        for (const auto &e : envStrings)
            env.push_back(const_cast<char *>(e.c_str()));
        args.push_back(nullptr);
        env.push_back(nullptr);

        int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1};
        if (!discardOutput && (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0))
            throw std::runtime_error("pipe failed");
        const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls between fork and exec. The child is terminated with
            // the test process if that dies before it could clean up.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(127);
            dup2(devNull, 0);
            dup2(discardOutput ? devNull : outPipe[1], 1);
            dup2(discardOutput ? devNull : errPipe[1], 2);
            execve(path.c_str(), args.data(), env.data());
            _exit(127);
        }
        for (int fd : {devNull, outPipe[1], errPipe[1]})
            if (fd >= 0) close(fd);
        out.fd = outPipe[0];
        err.fd = errPipe[0];
        if (pid_ < 0) {
            for (int fd : {out.fd, err.fd})
                if (fd >= 0) close(fd);
            throw std::runtime_error("fork failed");
        }
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child() {
        stop();
        if (out.fd >= 0) close(out.fd);
        if (err.fd >= 0) close(err.fd);
    }

    pid_t pid() const { return pid_; }

    // The raw wait status once the child has exited, or nothing if it is still running at the end.
    std::optional<int> waitExit(Clock::duration limit) {
        const auto deadline = Clock::now() + limit;
        while (!status_) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = status;
            } else if (Clock::now() >= deadline) {
                break;
            } else {
                std::this_thread::sleep_for(5ms);
            }
        }
        return status_;
    }

    // SIGTERM lets Xvfb remove its lock file and socket; SIGKILL if it does not go in time.
    void stop() {
        if (pid_ <= 0 || status_) return;
        kill(pid_, SIGTERM);
        if (!waitExit(5s)) {
            kill(pid_, SIGKILL);
            int status = 0;
            waitpid(pid_, &status, 0);
            status_ = status;
        }
    }

  private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Runs a short-lived command to completion; it must succeed.
std::string runToEnd(const Lines &argv, const std::string &display) {
    Child child(argv, display);
    std::string output = child.out.readAll(20s);
    auto status = child.waitExit(20s);
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0)
        throw std::runtime_error(argv[0] + " " + argv[1] + " failed: " + child.err.readAll(1s));
    return output;
}

bool displayLooksFree(int n) {
    const std::string num = std::to_string(n);
    struct stat st {};
    if (stat(("/tmp/.X" + num + "-lock").c_str(), &st) == 0) return false;
    if (stat(("/tmp/.X11-unix/X" + num).c_str(), &st) == 0) return false;
    std::ifstream unixSockets("/proc/net/unix");
    for (std::string line; std::getline(unixSockets, line);) {
        if (line.size() >= num.size() + 16 &&
            line.compare(line.size() - num.size() - 16, std::string::npos,
                         "/tmp/.X11-unix/X" + num) == 0)
            return false;
    }
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(6000 + n));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool listening = connect(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(sock);
    return !listening;
}

int pickFreeDisplay() {
    static std::mt19937 rng{std::random_device{}()};
    for (int attempt = 0; attempt < 500; ++attempt) {
        const int n = 100 + static_cast<int>(rng() % 900);
        if (displayLooksFree(n)) return n;
    }
    throw std::runtime_error("no free X display number found");
}

// True once the process sits in poll(), i.e. it flushed its requests and waits for events. Where
// the kernel does not show the system call, a pause stands in for the check.
bool waitsInPoll(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/syscall");
    std::string first;
    if (!(file >> first)) {
        std::this_thread::sleep_for(300ms);
        return true;
    }
    const long nr = first == "running" ? -1 : std::strtol(first.c_str(), nullptr, 10);
#ifdef SYS_poll
    if (nr == SYS_poll) return true;
#endif
    return nr == SYS_ppoll;
}

class KeygrabProbe : public ::testing::Test {
  protected:
    std::string display_;
    std::unique_ptr<Child> xvfb_;
    Display *conn_ = nullptr;

    void SetUp() override {
        const std::string xvfb = findOnPath("Xvfb");
        // Another server may take the chosen number first; then try a different one.
        for (int attempt = 0; attempt < 5 && conn_ == nullptr; ++attempt) {
            display_ = ":" + std::to_string(pickFreeDisplay());
            xvfb_ = std::make_unique<Child>(
                Lines{xvfb, display_, "-noreset", "-nolisten", "tcp", "-screen", "0", "640x480x24"},
                std::nullopt, true);
            const auto deadline = Clock::now() + 20s;
            while (Clock::now() < deadline && !xvfb_->waitExit(0s)) {
                if ((conn_ = XOpenDisplay(display_.c_str())) != nullptr) break;
                std::this_thread::sleep_for(50ms);
            }
        }
        ASSERT_NE(conn_, nullptr) << "Xvfb did not come up";
        // The first key event switches the core keyboard to the XTEST device, which sends
        // MappingNotify to every client; get that out of the way before any probe starts.
        xdotool({"key", "shift"});
    }

    void TearDown() override {
        if (conn_ != nullptr) XCloseDisplay(conn_);
        xvfb_.reset();
    }

    void xdotool(Lines args) {
        args.insert(args.begin(), "xdotool");
        runToEnd(args, display_);
    }

    // Holds the modifiers down, presses and releases the key, then lets the modifiers go in
    // reverse order, so the key's release arrives while the modifiers are still held.
    void chord(const Lines &modifiers, const std::string &key) {
        Lines args;
        for (const auto &m : modifiers)
            args.insert(args.end(), {"keydown", m});
        args.insert(args.end(), {"key", key});
        for (auto m = modifiers.rbegin(); m != modifiers.rend(); ++m)
            args.insert(args.end(), {"keyup", *m});
        xdotool(args);
    }

    // The key code the server's keymap has for a key symbol, read off `xmodmap -pke`.
    unsigned keycodeOf(const std::string &keysym) {
        std::istringstream table(runToEnd({"xmodmap", "-pke"}, display_));
        for (std::string line; std::getline(table, line);) {
            std::istringstream fields(line);
            std::string word, eq, first;
            unsigned code = 0;
            if (fields >> word >> code >> eq >> first && word == "keycode" && first == keysym)
                return code;
        }
        throw std::runtime_error("no key code for " + keysym);
    }

    // Starts a probe, checks its first three lines and waits until its grab has reached the
    // server, so that keys sent afterwards meet the grab.
    std::unique_ptr<Child> startProbe(const std::string &path, unsigned keycode) {
        auto probe = std::make_unique<Child>(Lines{path}, display_);
        EXPECT_EQ(probe->out.readLines(3),
                  (Lines{"KeyCode: " + std::to_string(keycode), "XGrabKey returned", "1"}));
        const auto deadline = Clock::now() + kLineTimeout;
        while (!waitsInPoll(probe->pid()) && Clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        XSync(conn_, False);
        return probe;
    }
};

Lines pressAndRelease(unsigned keycode) {
    return {"Got event", "2", ">>> " + std::to_string(keycode), "Got event", "3"};
}

TEST_F(KeygrabProbe, F12ReportsShiftControlF12AndNothingElse) {
    const unsigned f12 = keycodeOf("F12");
    auto probe = startProbe(KEYGRAB_F12_PATH, f12);

    chord({"ctrl", "shift"}, "F12");
    EXPECT_EQ(probe->out.readLines(5), pressAndRelease(f12));

    // The grab matches the modifier state exactly: fewer or more modifiers do not trigger it.
    chord({}, "F12");
    chord({"ctrl"}, "F12");
    chord({"shift"}, "F12");
    chord({"alt", "shift", "ctrl"}, "F12");
    EXPECT_EQ(probe->out.tryReadLine(400ms), std::nullopt);

    // Still alive and still grabbing: the next lines are those of this combination.
    chord({"shift", "ctrl"}, "F12");
    EXPECT_EQ(probe->out.readLines(5), pressAndRelease(f12));
}

TEST_F(KeygrabProbe, ScrollReportsScrollLockWithAnyModifiers) {
    const unsigned scroll = keycodeOf("Scroll_Lock");
    auto probe = startProbe(KEYGRAB_SCROLL_PATH, scroll);

    for (const Lines &modifiers : {Lines{}, Lines{"alt"}, Lines{"ctrl"}, Lines{"shift"}}) {
        SCOPED_TRACE(modifiers.empty() ? "alone" : modifiers[0]);
        chord(modifiers, "Scroll_Lock");
        EXPECT_EQ(probe->out.readLines(5), pressAndRelease(scroll));
    }
}

TEST_F(KeygrabProbe, SecondF12ProbeIsRefusedWhileTheFirstHoldsTheGrab) {
    const unsigned f12 = keycodeOf("F12");
    auto first = startProbe(KEYGRAB_F12_PATH, f12);

    Child second({KEYGRAB_F12_PATH}, display_);
    const auto status = second.waitExit(kLineTimeout);
    ASSERT_TRUE(status) << "second probe still running";
    EXPECT_TRUE(WIFEXITED(*status)) << "ended by signal " << WTERMSIG(*status);
    EXPECT_NE(WEXITSTATUS(*status), 0);
    const std::string errors = second.err.readAll(1s);
    EXPECT_NE(errors.find("BadAccess"), std::string::npos) << errors;
    // The status of the grab request is printed, not checked, before the refusal arrives.
    EXPECT_EQ(second.out.readAll(1s),
              "KeyCode: " + std::to_string(f12) + "\nXGrabKey returned\n1\n");

    chord({"ctrl", "shift"}, "F12");
    EXPECT_EQ(first->out.readLines(5), pressAndRelease(f12));
}

TEST(KeygrabWithoutDisplay, ReportsTheDisplayAndExitsWithStatusOne) {
    const std::string unserved = ":" + std::to_string(pickFreeDisplay());
    for (const std::string path : {KEYGRAB_F12_PATH, KEYGRAB_SCROLL_PATH}) {
        const std::string name = path.substr(path.rfind('/') + 1);
        for (const auto &display : {std::optional<std::string>{}, std::optional{unserved}}) {
            SCOPED_TRACE(name + " with DISPLAY " + display.value_or("unset"));
            Child probe({path}, display);
            const auto status = probe.waitExit(1s);
            ASSERT_TRUE(status) << "still running after a second";
            EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << "status " << *status;
            EXPECT_EQ(probe.out.readAll(1s), "");
            const std::string message = probe.err.readAll(1s);
            EXPECT_EQ(message.rfind(name + ": cannot open display", 0), 0u) << message;
            EXPECT_EQ(message.find('\n'), message.size() - 1) << "not one line: " << message;
            if (display) {
                EXPECT_NE(message.find('"' + unserved + '"'), std::string::npos);
            }
        }
    }
}

} // namespace
