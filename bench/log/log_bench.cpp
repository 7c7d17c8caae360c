// Lines per second through CLogOutput (format, system mutex, open-append-close per line) against
// a baseline measured in the same run: the same open-append-close loop writing the same bytes
// with plain system calls. Rounds alternate between the two so that both see the same machine.
//
//   log_bench [--lines N] [--rounds R]
#include "common/LogOutput.h"
#include "platform/fs.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kGoal = 0.8;

// One line as the writer produces it for the message below, UTF-16LE.
std::string sample_line_bytes() {
    const std::u16string line =
        u"[2024/01/02 03:04:05],<ID>,<001000>,LIB_CONF:{CConfigFile::Close} Close OK 0000012\r\n";
    std::string bytes;
    for (char16_t c : line) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    return bytes;
}

// Lines per second of the plain loop.
double run_baseline(const std::filesystem::path& file, int lines, const std::string& bytes) {
    const auto start = Clock::now();
    for (int i = 0; i < lines; ++i) {
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) {
            std::perror("baseline open");
            std::exit(1);
        }
        if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            std::perror("baseline write");
            std::exit(1);
        }
        ::close(fd);
    }
    const std::chrono::duration<double> took = Clock::now() - start;
    return lines / took.count();
}

// Lines per second through the log writer.
double run_writer(CLogOutput& log, int lines) {
    const auto start = Clock::now();
    for (int i = 0; i < lines; ++i) {
        if (log.TraceInfo(LOGCAT_CONFIG, u"LIB_CONF:{CConfigFile::Close} Close OK %07d", i) != 1) {
            std::fprintf(stderr, "log writer failed: %08x\n",
                         static_cast<unsigned>(log.GetLastResult()));
            std::exit(1);
        }
    }
    const std::chrono::duration<double> took = Clock::now() - start;
    return lines / took.count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace

int main(int argc, char** argv) {
    int lines = 20000;
    int rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--lines") == 0)
            lines = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
    }

    // A private tree and mutex namespace, so the run disturbs nothing else.
    char tmpl[] = "/tmp/orvix-logbench-XXXXXX";
    if (!mkdtemp(tmpl)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path root = tmpl;
    const std::string session = "logbench" + std::to_string(getpid());
    setenv("ORVIX_COMMON_DOCUMENTS", root.c_str(), 1);
    setenv("ORVIX_SESSION", session.c_str(), 1);

    int status = 0;
    {
        CLogOutput log;
        log.SetDebugLogOut(1);
        log.SetDebugLevel(0);
        log.SetDebugCategory(LOGCAT_CONFIG);
        if (log.SetLogPathName(u"bench.log") != 1) {
            std::fprintf(stderr, "cannot set the log file: %08x\n",
                         static_cast<unsigned>(log.GetLastResult()));
            status = 1;
        } else {
            const std::filesystem::path writer_file = root / "Orvix" / "bench.log";
            const std::filesystem::path baseline_file = root / "Orvix" / "baseline.log";
            const std::string bytes = sample_line_bytes();
            std::vector<double> base_rates, writer_rates, ratios;
            for (int r = 0; r < rounds; ++r) {
                std::filesystem::remove(writer_file);
                std::filesystem::remove(baseline_file);
                // Alternate which goes first, so neither always meets the other's dirty pages.
                double b = 0, w = 0;
                if (r % 2 == 0) {
                    b = run_baseline(baseline_file, lines, bytes);
                    w = run_writer(log, lines);
                } else {
                    w = run_writer(log, lines);
                    b = run_baseline(baseline_file, lines, bytes);
                }
                base_rates.push_back(b);
                writer_rates.push_back(w);
                ratios.push_back(w / b);
            }
            const auto size = std::filesystem::file_size(writer_file);
            const double ratio = median(ratios);
            std::printf("log writer benchmark: %d lines x %d rounds, %zu bytes per line\n", lines,
                        rounds, static_cast<std::size_t>(size / static_cast<unsigned>(lines)));
            std::printf("  baseline (open-append-close): %10.0f lines/s (median)\n",
                        median(base_rates));
            std::printf("  CLogOutput (mutex + format):  %10.0f lines/s (median)\n",
                        median(writer_rates));
            std::printf("  ratio %.3f (median of rounds), goal >= %.2f: %s\n", ratio, kGoal,
                        ratio >= kGoal ? "met" : "NOT met");
#ifndef NDEBUG
            std::printf("  (unoptimised build: measure with -DCMAKE_BUILD_TYPE=Release)\n");
#endif
        }
    }

    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    std::filesystem::remove("/dev/shm/orvix-" + session + "-Kp32LogOutputMutex", ec);
    return status;
}
