#include "dump_test_util.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace {

// Installed before the first run, inherited by every child.
struct SanitizersAbort {
    SanitizersAbort() {
        setenv("ASAN_OPTIONS", "abort_on_error=1:detect_leaks=1", 1);
        setenv("UBSAN_OPTIONS", "abort_on_error=1:halt_on_error=1:print_stacktrace=1", 1);
    }
} sanitizers_abort;

} // namespace

RunResult run(const std::vector<std::string> &argv, bool keep_out, int seconds) {
    TempDir dir;
    const std::string out_path = keep_out ? dir.file("out") : "/dev/null";
    const std::string err_path = dir.file("err");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid;
    const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot run " + argv[0]);

    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    // Most runs take a few milliseconds: poll often at first, then every 2 ms.
    auto pause = std::chrono::microseconds(50);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.timed_out = true;
            break;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(2000));
    }
    result.exited = !result.timed_out && WIFEXITED(status);
    result.status = result.exited ? WEXITSTATUS(status) : -1;
    if (keep_out) result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

std::string dump_tool() {
    return QUENZA_DUMP_TOOL;
}

std::vector<std::string> corpus_files() {
    std::ifstream list(QUENZA_CORPUS_LIST);
    if (!list) throw std::runtime_error("no corpus list " QUENZA_CORPUS_LIST);
    std::vector<std::string> files;
    for (std::string line; std::getline(list, line);)
        if (!line.empty()) files.push_back(line);
    return files;
}

std::string corpus_file(const std::string &suffix) {
    for (const std::string &file : corpus_files())
        if (file.size() >= suffix.size() &&
            file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0)
            return file;
    throw std::runtime_error("no corpus file " + suffix);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quenza-dump-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::uint64_t get_field(const std::string &bytes, std::size_t offset, int width, bool big) {
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i) {
        const auto byte = static_cast<unsigned char>(
            bytes.at(offset + static_cast<std::size_t>(big ? i : width - 1 - i)));
        value = value << 8 | byte;
    }
    return value;
}

void set_field(std::string &bytes, std::size_t offset, int width, bool big, std::uint64_t value) {
    for (int i = 0; i < width; ++i) {
        const std::size_t at = offset + static_cast<std::size_t>(big ? width - 1 - i : i);
        bytes.at(at) = static_cast<char>(value & 0xff);
        value >>= 8;
    }
}
