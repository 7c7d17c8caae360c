// Time to load connection.dat with many profiles through CConfigConnectionList::Load, against a
// baseline measured in the same run on the same file: read the bytes, decode the Base64 with
// OpenSSL, decrypt with OpenSSL's Blowfish in 64-bit cipher feedback mode and parse the text
// with pugixml. Rounds alternate between the two so that both see the same machine; the best
// round of each is compared (the machine is shared: slower rounds measure the other work on
// it), and the medians are shown beside.
//
//   config_bench [--profiles N] [--rounds R]
#include "common/config/ConfigConnectionList.h"

// The baseline drives the same low-level Blowfish calls as the file format.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>
#include <openssl/evp.h>

#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr double kGoal = 1.5;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Writes a connections file with `profiles` realistic records through the library.
void MakeFile(int profiles) {
    CConfigConnectionList list;
    for (int i = 0; i < profiles; ++i) {
        CConfigConnectionConInfo* c = list.AddConnectionItem();
        const std::u16string n = platform::to_text(std::to_string(i));
        c->SetName(u"Profile " + n);
        c->SetLayer(2);
        c->SetEncryption(1);
        c->SetBroker(u"broker" + n + u".example.net");
        c->SetBrokerV6(u"broker" + n + u".v6.example.net");
        c->SetUser(u"user" + n + u"@example.net");
        c->SetPassword(u"pw-" + n + u"-secret");
        c->SetKeepconnect(i % 2);
        c->SetV6Conn(0);
        c->SetServerCertCheck(1);
        c->SetBrokerNumber(static_cast<std::uint32_t>(i));
    }
    if (!list.Save()) {
        std::fprintf(stderr, "config_bench: cannot write connection.dat\n");
        std::exit(1);
    }
}

// Seconds for one baseline load; `elements` counts what the parse found, so nothing is skipped.
double Baseline(const fs::path& path, std::size_t& elements) {
    const auto start = Clock::now();
    const std::string text = ReadAll(path);
    std::vector<unsigned char> bytes(text.size() / 4 * 3 + 3);
    int n = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0) {
        std::fprintf(stderr, "config_bench: baseline Base64 failed\n");
        std::exit(1);
    }
    // The count includes the bytes of the "=" padding; they only follow the text's zero byte.
    BF_KEY key;
    static const char kKey[] = "QuartzMelodyHarbor";
    BF_set_key(&key, static_cast<int>(std::strlen(kKey)),
               reinterpret_cast<const unsigned char*>(kKey));
    unsigned char iv[8] = {};
    int num = 0;
    BF_cfb64_encrypt(bytes.data(), bytes.data(), n, &key, iv, &num, BF_DECRYPT);
    const std::size_t length =
        ::strnlen(reinterpret_cast<const char*>(bytes.data()), static_cast<std::size_t>(n));
    pugi::xml_document document;
    if (!document.load_buffer(bytes.data(), length, pugi::parse_default, pugi::encoding_utf8)) {
        std::fprintf(stderr, "config_bench: baseline parse failed\n");
        std::exit(1);
    }
    elements = static_cast<std::size_t>(
        std::distance(document.document_element().children("connection").begin(),
                      document.document_element().children("connection").end()));
    const std::chrono::duration<double> took = Clock::now() - start;
    return took.count();
}

// Seconds for one load through the library.
double Library(int& count) {
    const auto start = Clock::now();
    CConfigConnectionList list;
    if (!list.Load()) {
        std::fprintf(stderr, "config_bench: Load failed: 0x%08x\n",
                     static_cast<unsigned>(list.GetLastResult()));
        std::exit(1);
    }
    count = list.GetConnectionCount();
    const std::chrono::duration<double> took = Clock::now() - start;
    return took.count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double Best(const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
}

} // namespace

int main(int argc, char** argv) {
    int profiles = 1000;
    int rounds = 101;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--profiles") == 0)
            profiles = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
    }

    char pattern[] = "/tmp/orvix-config-bench-XXXXXX";
    if (!::mkdtemp(pattern)) {
        std::perror("config_bench: mkdtemp");
        return 1;
    }
    const fs::path folder = pattern;
    CConfigFile::SetConfigFolder(platform::from_path(folder));
    MakeFile(profiles);
    const fs::path file = folder / "connection.dat";

    std::vector<double> baseline, library;
    for (int r = 0; r < rounds; ++r) {
        std::size_t elements = 0;
        int count = 0;
        baseline.push_back(Baseline(file, elements));
        library.push_back(Library(count));
        if (elements != static_cast<std::size_t>(profiles) || count != profiles) {
            std::fprintf(stderr, "config_bench: found %zu and %d profiles, expected %d\n", elements,
                         count, profiles);
            return 1;
        }
    }
    const double ratio = Best(library) / Best(baseline);
    std::printf("connection.dat with %d profiles, %ju bytes, %d rounds (best, median)\n", profiles,
                static_cast<std::uintmax_t>(fs::file_size(file)), rounds);
    std::printf("  baseline (read, OpenSSL Base64 and Blowfish, pugixml parse): %8.3f %8.3f ms\n",
                Best(baseline) * 1000, Median(baseline) * 1000);
    std::printf("  CConfigConnectionList::Load:                                 %8.3f %8.3f ms\n",
                Best(library) * 1000, Median(library) * 1000);
    std::printf("  ratio %.2fx (goal at most %.1fx)\n", ratio, kGoal);
    std::error_code ec;
    fs::remove_all(folder, ec);
    return 0;
}
