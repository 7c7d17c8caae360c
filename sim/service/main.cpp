// OrvixService: the stand-in for the tunnel service, for running the client and its tests on a
// machine without the real service.
#include "TunnelService.h"

#include "platform/fs.h"
#include "platform/pipe.h"
#include "platform/process.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using platform::Text;

namespace {

const char kHelp[] = R"(Usage: OrvixService [options]

Stands in for the tunnel service: creates the two pipes named in orvixclient.dat
(pipesctosvc: commands from the client library, pipesvctosc: notifications to it), serves one
client library at a time (a second one waits the pipe's default time-out and gives up; the next
one is served after the present one left), and simulates a tunnel for every profile of
connection.dat.

Options:
  -d                 Run in the background: start a detached copy without console and return
                     once its pipes exist (exit code 0), or 1 when it could not start.
  --dir DIR          Folder of orvixclient.dat, connection.dat and user.dat (default: the
                     program's folder).
  --scenario FILE    What the tunnels do, per profile (see Scenario file).
  --control NAME     Offer the control pipe \\.\pipe\NAME (see Control pipe).
  --send TEXT        With --control: send one control command to a running service, print the
                     answer and exit.
  --pipe-wait MS     The default time-out of the pipes: how long a client waits for a free
                     instance (default 10000).
  --notify-ready NAME  Once the pipes exist, open \\.\pipe\NAME and write "ready" (or "failed:
                     reason") as one message.
  --verbose          Trace commands and notifications on standard error (passwords masked).
  --help             This text.

Commands and answers:
  CONNECT name [FORCE]  CONNECTING, INFORMATION 1000, 1001, 1002 (one step delay apart), then
                     CONNECTED with an address from 2001:db8::/32 fixed per profile. A profile
                     without user name or password: INFORMATION 1028 and DISCONNECTED AUTHERROR.
                     An unknown profile: INFORMATION 2208 and DISCONNECTED CONNECTERR. A tunnel
                     already up or on its way: INFORMATION 2209 and its status.
  DISCONNECT name    DISCONNECTING, INFORMATION 1004, 1005, DISCONNECTED NORMAL.
  STATUS name        The tunnel's status: CONNECTING, CONNECTED address, DISCONNECTING or
                     DISCONNECTED reason (NORMAL before the first connect).
  ANSWER name YES|NO  Answers the certificate question: YES goes on connecting, NO ends with
                     INFORMATION 1016 and DISCONNECTED CONNECTERR.
  SETCONFCONN block  Stores the profile (user, password, keep-connect, IPv6, certificate check,
                     broker number) in connection.dat; a new name adds a profile.
  SETCONFUSER block  Stores position, welcome choice and proxy settings in user.dat.
  SHUTDOWN, LOG, CONFCHANGE  Taken without an answer.

Scenario file (INI; a section per profile name, [*] for all others):
  delay = MS           Time between two progress notifications (default 50).
  auth = fail          INFORMATION 1015, DISCONNECTED AUTHERROR.
  adapter = disabled   INFORMATION 1020, DISCONNECTED DISABLE, unless CONNECT carries FORCE.
  certificate = ask    QUERY 1010 with issuer, subject, valid from, valid until (cert_issuer,
                       cert_subject, cert_from, cert_until), then wait for ANSWER at most
                       answer_timeout ms (default 60000; then as NO).
  link_drop = MS       After CONNECTED: INFORMATION 1019 and DISCONNECTED LINK_DISC.
  status = silent      STATUS gets no answer.
  address = ADDRESS    The tunnel address instead of the derived one.

Control pipe (one message per command, one answer per command):
  ping               OK.
  state              Sessions served, the linked ends, SHUTDOWN count, every tunnel
                     ("tunnel NAME STATE ADDRESS REASON") and the commands received
                     ("command TEXT", escaped, passwords masked).
  clear              Forgets the commands received.
  notify TEXT        Writes TEXT as one notification, as it is (escapes \r \n \t \\ \uXXXX).
  raw HEX            Writes the bytes HEX on the notification pipe, outside any frame.
  drop               Closes the library's pipes, as a restarting service would.
  vanish             Ends the process at once, without closing anything in order.
  quit               Stops the service.
)";

TunnelService* g_service = nullptr;

void OnSignal(int) {
    if (g_service)
        g_service->RequestStop();
}

int Usage(const std::string& problem) {
    std::fprintf(stderr, "OrvixService: %s (see --help)\n", problem.c_str());
    return 2;
}

// Sends one control command and prints the answer.
int SendControl(const Text& pipe, const Text& command) {
    platform::Event recv(platform::Event::Reset::Auto);
    CNamedPipe control;
    const Text name = u"\\\\.\\pipe\\" + pipe;
    if (!control.PipeOpenNamedPipe(name.c_str(), 0, false, &recv, nullptr)) {
        std::fprintf(stderr, "OrvixService: no control pipe %s [E%08x]\n",
                     platform::to_utf8(name).c_str(),
                     static_cast<unsigned>(control.GetLastResult()));
        return 1;
    }
    if (!control.PipeWriteFile(command.c_str()))
        return 1;
    if (!recv.wait(10000ms)) {
        std::fprintf(stderr, "OrvixService: no answer\n");
        return 1;
    }
    std::vector<char16_t> buffer(1 << 16, 0);
    std::uint32_t size = static_cast<std::uint32_t>(buffer.size() * 2);
    const std::uint32_t n = control.PipeReadFile(buffer.data(), &size);
    control.PipeCloseHandle();
    if (n == 0) {
        std::printf("(no answer: the service is gone)\n");
        return 0;
    }
    std::printf("%s\n", platform::to_utf8(Text(buffer.data(), n / 2)).c_str());
    return 0;
}

// -d: starts a detached copy and waits until it reports that its pipes exist.
int RunInBackground(const char* argv0, std::vector<Text> arguments) {
    const Text ready = u"orvixservice-ready-" + platform::to_text(std::to_string(::getpid())) +
                       u"-" + platform::to_text(std::to_string(platform::tick_count()));
    platform::Event recv(platform::Event::Reset::Auto);
    platform::Event connected(platform::Event::Reset::Auto);
    CNamedPipe waiter;
    if (!waiter.PipeOpenNamedPipe((u"\\\\.\\pipe\\" + ready).c_str(), 0, true, &recv, &connected)) {
        std::fprintf(stderr, "OrvixService: cannot wait for the background copy [E%08x]\n",
                     static_cast<unsigned>(waiter.GetLastResult()));
        return 1;
    }
    arguments.push_back(u"--notify-ready");
    arguments.push_back(ready);
    platform::StartOptions start;
    // A bare name is looked up the way it was found for us.
    start.program =
        std::strchr(argv0, '/') ? std::filesystem::absolute(argv0) : std::filesystem::path(argv0);
    start.arguments = std::move(arguments);
    start.hidden = true;
    platform::Process child;
    const std::uint32_t error = platform::start_process(start, &child);
    if (error != platform::ERROR_SUCCESS) {
        std::fprintf(stderr, "OrvixService: cannot start the background copy (error %u)\n", error);
        return 1;
    }
    if (!connected.wait(10000ms) || !waiter.ReadyRead() || !recv.wait(10000ms)) {
        std::fprintf(stderr, "OrvixService: the background copy did not report\n");
        return 1;
    }
    char16_t buffer[512] = {};
    std::uint32_t size = sizeof buffer;
    const std::uint32_t n = waiter.PipeReadFile(buffer, &size);
    waiter.PipeCloseHandle();
    const std::string report = n ? platform::to_utf8(Text(buffer, n / 2)) : "no report";
    if (report != "ready") {
        std::fprintf(stderr, "OrvixService: the background copy %s\n", report.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    ServiceOptions options;
    bool background = false;
    bool dirGiven = false;
    Text send;
    bool haveSend = false;
    std::vector<Text> childArguments; // the arguments of a background copy
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return 0;
        } else if (arg == "-d") {
            background = true;
            continue;
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--dir") {
            if (!value(v))
                return Usage("--dir needs a folder");
            options.dir = std::filesystem::absolute(v);
            dirGiven = true;
            childArguments.push_back(u"--dir");
            childArguments.push_back(platform::from_path(options.dir));
            continue;
        } else if (arg == "--scenario") {
            if (!value(v))
                return Usage("--scenario needs a file");
            options.scenario = std::filesystem::absolute(v);
            childArguments.push_back(u"--scenario");
            childArguments.push_back(platform::from_path(options.scenario));
            continue;
        } else if (arg == "--control") {
            if (!value(v))
                return Usage("--control needs a pipe name");
            options.controlPipe = platform::to_text(v);
        } else if (arg == "--send") {
            if (!value(v))
                return Usage("--send needs a command");
            send = platform::to_text(v);
            haveSend = true;
            continue;
        } else if (arg == "--pipe-wait") {
            if (!value(v))
                return Usage("--pipe-wait needs milliseconds");
            char* end = nullptr;
            const unsigned long ms = std::strtoul(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || ms == 0 || ms > 600000)
                return Usage("--pipe-wait takes 1 to 600000 milliseconds");
            options.pipeWaitMs = static_cast<std::uint32_t>(ms);
        } else if (arg == "--notify-ready") {
            if (!value(v))
                return Usage("--notify-ready needs a pipe name");
            options.readyPipe = platform::to_text(v);
            continue;
        } else {
            return Usage("unknown argument " + arg);
        }
        childArguments.push_back(platform::to_text(arg));
        if (!v.empty())
            childArguments.push_back(platform::to_text(v));
    }

    if (haveSend) {
        if (options.controlPipe.empty())
            return Usage("--send needs --control");
        return SendControl(options.controlPipe, send);
    }
    if (!dirGiven) {
        options.dir = platform::known_folder(platform::KnownFolder::ProgramFolder);
        childArguments.push_back(u"--dir");
        childArguments.push_back(platform::from_path(options.dir));
    }
    if (background)
        return RunInBackground(argv[0], childArguments);

    TunnelService service(options);
    g_service = &service;
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    const int code = service.Run();
    g_service = nullptr;
    return code;
}
