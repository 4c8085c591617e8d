// Several programs at once through brackwyn's C++ interface: each argument is
// one whole command line, all of them start together, and every line they
// write is printed as it arrives, tagged with its run and stream. At the end
// each run's state and exit code follow.
//
//   multi-host.exe [--timeout MS] <command line>...
//   multi-host.exe "cmd /c echo one" "cmd /c echo two 1>&2" "ping -n 2 127.0.0.1"
//
// The exit code is 0 when every program ran and exited with 0, 1 otherwise,
// 2 for a bad option.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "brackwyn.hpp"

namespace {

// Prints one chunk, which the library cut at a line end (lines()), under its
// tag. One printf per line: lines of runs printing at once never mix.
void PrintLine(const std::string &tag, std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    std::printf("%s | %.*s\n", tag.c_str(), static_cast<int>(line.size()), line.data());
    std::fflush(stdout);
}

const char *StateName(brackwyn::State state) {
    switch (state) {
    case brackwyn::State::Running:
        return "running";
    case brackwyn::State::Exited:
        return "exited";
    case brackwyn::State::Aborted:
        return "aborted";
    case brackwyn::State::TimedOut:
        return "timed out";
    }
    return "unknown";
}

int Usage(const char *why) {
    std::fprintf(stderr, "multi-host: %s\nusage: multi-host [--timeout MS] <command line>...\n",
                 why);
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    int first = 1;
    std::chrono::milliseconds timeout(0);
    if (argc > 2 && std::string_view(argv[1]) == "--timeout") {
        char *end = nullptr;
        const unsigned long ms = std::strtoul(argv[2], &end, 10);
        if (*argv[2] < '0' || *argv[2] > '9' || *end != '\0')
            return Usage("--timeout takes a number of milliseconds");
        timeout = std::chrono::milliseconds(ms);
        first = 3;
    }
    if (first >= argc)
        return Usage("no command line given");

    // The runs own their callables, so a vector may move them as it grows.
    std::vector<brackwyn::Run> runs;
    std::vector<std::string> names;
    bool allFine = true;
    for (int i = first; i < argc; ++i) {
        const std::string name = "[" + std::to_string(i - first + 1) + "]";
        brackwyn::Options options;
        options.closeInput()
            .timeout(timeout)
            .lines()
            .onOutput([name](std::string_view line) { PrintLine(name + " out", line); })
            .onError([name](std::string_view line) { PrintLine(name + " err", line); });
        try {
            runs.emplace_back(argv[i], std::move(options));
            names.push_back(name);
        } catch (const brackwyn::Error &error) {
            std::printf("%s %s\n", name.c_str(), error.what());
            allFine = false;
        }
    }

    for (size_t i = 0; i < runs.size(); ++i) {
        const brackwyn::Result result = runs[i].wait();
        std::printf("%s %s, exit code %lu\n", names[i].c_str(), StateName(result.state),
                    result.exitCode);
        allFine = allFine && result.state == brackwyn::State::Exited && result.exitCode == 0;
    }
    return allFine ? 0 : 1;
}
