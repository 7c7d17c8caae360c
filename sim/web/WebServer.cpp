#include "WebServer.h"

#include "AccountStore.h"
#include "Certificate.h"
#include "Pages.h"

#include <utility> // needed before the Asio coroutine headers of this Boost version

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>

namespace websim {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using boost::system::error_code;
using net::awaitable;
using namespace std::chrono_literals;

namespace {

constexpr auto kIoTimeout = 30s;
constexpr std::size_t kChunk = 64 * 1024;

struct State {
    ServerConfig config;
    AccountStore store;
    explicit State(const ServerConfig& c) : config(c), store(c.accounts_file) {}
};

auto token(error_code& ec) {
    return net::redirect_error(net::use_awaitable, ec);
}

template <class Stream> tcp::socket& socket_of(Stream& stream) {
    return beast::get_lowest_layer(stream).socket();
}

enum class After { KeepAlive, Close };

bool parse_number(std::string_view text, long long& out) {
    const auto r = std::from_chars(text.data(), text.data() + text.size(), out);
    return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

std::string content_type(const std::filesystem::path& path) {
    const std::string ext = path.extension().string();
    if (ext == ".html" || ext == ".htm")
        return "text/html; charset=utf-8";
    if (ext == ".ini" || ext == ".txt")
        return "text/plain";
    if (ext == ".js")
        return "text/javascript";
    if (ext == ".css")
        return "text/css";
    return "application/octet-stream";
}

// The file below the files folder that `path` names, when there is one.
std::optional<std::filesystem::path> static_file(const std::filesystem::path& root,
                                                 std::string_view path) {
    if (root.empty())
        return std::nullopt;
    const std::string decoded = percent_decode(path);
    std::filesystem::path out = root;
    std::string_view rest = decoded;
    while (!rest.empty()) {
        const auto slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        if (part == ".." || part.find('\0') != std::string_view::npos)
            return std::nullopt;
        if (!part.empty() && part != ".")
            out /= std::string(part);
        if (slash == std::string_view::npos)
            break;
        rest.remove_prefix(slash + 1);
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(out, ec))
        return std::nullopt;
    return out;
}

template <class Stream> awaitable<bool> write_raw(Stream& stream, std::string_view data) {
    error_code ec;
    beast::get_lowest_layer(stream).expires_after(kIoTimeout);
    co_await net::async_write(stream, net::buffer(data.data(), data.size()), token(ec));
    co_return !ec;
}

template <class Stream, class Body>
awaitable<After> send(Stream& stream, http::response<Body>& res) {
    res.prepare_payload();
    const bool keep = res.keep_alive();
    error_code ec;
    beast::get_lowest_layer(stream).expires_after(kIoTimeout);
    co_await http::async_write(stream, res, token(ec));
    co_return ec || !keep ? After::Close : After::KeepAlive;
}

template <class Stream>
awaitable<After> send_text(Stream& stream, const http::request<http::string_body>& req,
                           http::status status, std::string body,
                           std::string type = "text/plain; charset=utf-8") {
    http::response<http::string_body> res{status, req.version()};
    res.set(http::field::server, "orvix-websim");
    res.set(http::field::content_type, type);
    res.keep_alive(req.keep_alive());
    res.body() = std::move(body);
    co_return co_await send(stream, res);
}

// Holds the connection without answering until the peer closes it (or the server stops).
template <class Stream> awaitable<void> hold(Stream& stream) {
    beast::get_lowest_layer(stream).expires_never();
    char buffer[512];
    for (;;) {
        error_code ec;
        co_await socket_of(stream).async_read_some(net::buffer(buffer), token(ec));
        if (ec)
            co_return;
    }
}

template <class Stream> awaitable<void> stream_huge(Stream& stream) {
    constexpr std::uint64_t total = 256ull << 20;
    std::string head =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(total) +
        "\r\nConnection: close\r\n\r\n200\r\n";
    if (!co_await write_raw(stream, head))
        co_return;
    std::uint64_t sent = 5;
    const std::string block(kChunk, '#');
    while (sent < total) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, total - sent));
        if (!co_await write_raw(stream, std::string_view(block).substr(0, n)))
            co_return;
        sent += n;
    }
}

template <class Stream> awaitable<void> stream_endless(Stream& stream) {
    if (!co_await write_raw(stream, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                                    "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n"
                                    "5\r\n200\r\n\r\n"))
        co_return;
    char size_line[32];
    std::snprintf(size_line, sizeof(size_line), "%zx\r\n", kChunk);
    const std::string chunk = size_line + std::string(kChunk, '#') + "\r\n";
    while (co_await write_raw(stream, chunk)) {
    }
}

std::string echo_text(const http::request<http::string_body>& req) {
    std::string out = "200\r\n";
    out += std::string(req.method_string()) + " " + std::string(req.target()) + "\n";
    out += "User-Agent: " + std::string(req[http::field::user_agent]) + "\n";
    out += "Content-Length: " + std::to_string(req.body().size()) + "\n";
    out += "\n" + req.body();
    return out;
}

template <class Stream>
awaitable<After> serve_operation(Stream& stream, const http::request<http::string_body>& req,
                                 State& state, const std::string& operation,
                                 std::string_view query) {
    std::optional<std::string> reply;
    if (!state.config.answers_file.empty())
        reply = answer_from_file(state.config.answers_file, operation);
    if (!reply)
        reply = run_operation(operation, parse_query(query), state.store);
    if (!reply)
        co_return co_await send_text(stream, req, http::status::not_found, "unknown operation\n");
    co_return co_await send_text(stream, req, http::status::ok, std::move(*reply));
}

template <class Stream>
awaitable<After> serve_page(Stream& stream, const http::request<http::string_body>& req,
                            State& state, std::string_view path) {
    if (const auto file = static_file(state.config.files_dir, path)) {
        http::response<http::file_body> res{http::status::ok, req.version()};
        error_code ec;
        res.body().open(file->c_str(), beast::file_mode::scan, ec);
        if (!ec) {
            res.set(http::field::server, "orvix-websim");
            res.set(http::field::content_type, content_type(*file));
            res.keep_alive(req.keep_alive());
            co_return co_await send(stream, res);
        }
    }
    if (path == kPortalPath)
        co_return co_await send_text(stream, req, http::status::ok, portal_page(),
                                     "text/html; charset=utf-8");
    if (path == kEnvCheckPath || path == std::string(kEnvCheckPath) + "index.html")
        co_return co_await send_text(stream, req, http::status::ok, envcheck_page(),
                                     "text/html; charset=utf-8");
    if (path == "/")
        co_return co_await send_text(stream, req, http::status::ok, index_page(),
                                     "text/html; charset=utf-8");
    co_return co_await send_text(stream, req, http::status::not_found, "not found\n");
}

template <class Stream>
awaitable<After> handle(Stream& stream, const http::request<http::string_body>& req, State& state) {
    const std::string target(req.target());
    const auto qmark = target.find('?');
    std::string path = target.substr(0, qmark);
    const std::string query = qmark == std::string::npos ? "" : target.substr(qmark + 1);

    // Behaviour prefixes "/_/<behaviour>/", any number of them in a row.
    while (path.starts_with("/_/")) {
        const auto end = path.find('/', 3);
        const std::string behaviour = path.substr(3, end == std::string::npos ? end : end - 3);
        const std::string rest = end == std::string::npos ? "/" : path.substr(end);
        long long number = 0;
        if (behaviour.starts_with("slow-") && parse_number(behaviour.substr(5), number) &&
            number >= 0) {
            net::steady_timer timer(co_await net::this_coro::executor);
            timer.expires_after(std::chrono::milliseconds(number));
            error_code ec;
            co_await timer.async_wait(token(ec));
            path = rest;
            continue;
        }
        if (behaviour.starts_with("status-") && parse_number(behaviour.substr(7), number) &&
            number >= 100 && number <= 999) {
            co_return co_await send_text(stream, req, static_cast<http::status>(number),
                                         std::to_string(number) + "\r\nanswered with HTTP status " +
                                             std::to_string(number) + "\n");
        }
        if (behaviour == "drop")
            co_return After::Close;
        if (behaviour == "hang") {
            co_await hold(stream);
            co_return After::Close;
        }
        if (behaviour == "huge") {
            co_await stream_huge(stream);
            co_return After::Close;
        }
        if (behaviour == "endless") {
            co_await stream_endless(stream);
            co_return After::Close;
        }
        if (behaviour == "lie-long") {
            co_await write_raw(stream, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                                       "Content-Length: 100000\r\nConnection: close\r\n\r\n"
                                       "200\r\n{\"cut\":true}");
            co_return After::Close;
        }
        if (behaviour == "stall") {
            if (co_await write_raw(stream, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                                           "Content-Length: 100\r\n\r\n200\r\n"))
                co_await hold(stream);
            co_return After::Close;
        }
        if (behaviour == "lie-short") {
            co_await write_raw(stream, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                                       "Content-Length: 5\r\nConnection: close\r\n\r\n"
                                       "305\r\n{\"beyond\":\"the announced length\"}");
            co_return After::Close;
        }
        if (behaviour == "redirect-loop" || behaviour == "redirect") {
            http::response<http::string_body> res{http::status::found, req.version()};
            res.set(http::field::server, "orvix-websim");
            res.set(http::field::location,
                    behaviour == "redirect" ? rest + (qmark == std::string::npos ? "" : "?" + query)
                                            : target);
            res.keep_alive(req.keep_alive());
            co_return co_await send(stream, res);
        }
        if (behaviour == "echo") {
            // The request also comes back in headers, for clients that read no body.
            http::response<http::string_body> res{http::status::ok, req.version()};
            res.set(http::field::server, "orvix-websim");
            res.set(http::field::content_type, "text/plain; charset=utf-8");
            res.set("X-Echo-Method", req.method_string());
            res.set("X-Echo-Target", req.target());
            res.set("X-Echo-Agent", req[http::field::user_agent]);
            res.set("X-Echo-Length", std::to_string(req.body().size()));
            res.keep_alive(req.keep_alive());
            res.body() = echo_text(req);
            co_return co_await send(stream, res);
        }
        co_return co_await send_text(stream, req, http::status::bad_request,
                                     "unknown behaviour " + behaviour + "\n");
    }

    if (path.ends_with(".do")) {
        const auto slash = path.rfind('/');
        const std::string operation = path.substr(slash + 1, path.size() - slash - 4);
        if (std::find(kOperations.begin(), kOperations.end(), operation) != kOperations.end())
            co_return co_await serve_operation(stream, req, state, operation, query);
    }
    co_return co_await serve_page(stream, req, state, path);
}

template <class Stream> awaitable<void> serve_requests(Stream& stream, State& state) {
    beast::flat_buffer buffer;
    for (;;) {
        http::request_parser<http::string_body> parser;
        parser.body_limit(64 * 1024);
        beast::get_lowest_layer(stream).expires_after(kIoTimeout);
        error_code ec;
        co_await http::async_read(stream, buffer, parser, token(ec));
        if (ec)
            co_return;
        const auto req = parser.release();
        if (co_await handle(stream, req, state) == After::Close)
            co_return;
    }
}

awaitable<void> plain_session(tcp::socket socket, std::shared_ptr<State> state) {
    beast::tcp_stream stream(std::move(socket));
    co_await serve_requests(stream, *state);
    error_code ec;
    stream.socket().shutdown(tcp::socket::shutdown_send, ec);
}

awaitable<void> tls_session(tcp::socket socket, std::shared_ptr<State> state,
                            std::shared_ptr<ssl::context> context) {
    beast::ssl_stream<beast::tcp_stream> stream(beast::tcp_stream(std::move(socket)), *context);
    beast::get_lowest_layer(stream).expires_after(kIoTimeout);
    error_code ec;
    co_await stream.async_handshake(ssl::stream_base::server, token(ec));
    if (ec)
        co_return;
    co_await serve_requests(stream, *state);
    beast::get_lowest_layer(stream).expires_after(5s);
    co_await stream.async_shutdown(token(ec));
}

awaitable<void> silent_session(tcp::socket socket) {
    beast::tcp_stream stream(std::move(socket));
    co_await hold(stream);
}

awaitable<void> accept_loop(tcp::acceptor acceptor, std::shared_ptr<State> state,
                            std::shared_ptr<ssl::context> context, bool silent) {
    const auto executor = co_await net::this_coro::executor;
    for (;;) {
        error_code ec;
        tcp::socket socket = co_await acceptor.async_accept(token(ec));
        if (ec) {
            if (ec == net::error::operation_aborted)
                co_return;
            continue;
        }
        if (silent)
            net::co_spawn(executor, silent_session(std::move(socket)), net::detached);
        else if (context)
            net::co_spawn(executor, tls_session(std::move(socket), state, context), net::detached);
        else
            net::co_spawn(executor, plain_session(std::move(socket), state), net::detached);
    }
}

std::optional<tcp::acceptor> open_listener(net::io_context& io, const std::string& bind,
                                           std::uint16_t port, std::uint16_t& bound) {
    error_code ec;
    const auto address = net::ip::make_address(bind, ec);
    if (ec) {
        std::cerr << "orvix-websim: bad bind address " << bind << "\n";
        return std::nullopt;
    }
    tcp::acceptor acceptor(io);
    const tcp::endpoint endpoint(address, port);
    acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec)
        acceptor.bind(endpoint, ec);
    if (!ec)
        acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        std::cerr << "orvix-websim: cannot listen on " << bind << ":" << port << ": "
                  << ec.message() << "\n";
        return std::nullopt;
    }
    bound = acceptor.local_endpoint().port();
    return acceptor;
}

} // namespace

std::string unescape(std::string_view text) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == 't')
            out += '\t';
        else if (c == 'x' && i + 2 < text.size() && hex(text[i + 1]) >= 0 &&
                 hex(text[i + 2]) >= 0) {
            out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        } else
            out += c;
    }
    return out;
}

std::optional<std::string> answer_from_file(const std::filesystem::path& file,
                                            const std::string& operation) {
    std::ifstream in(file, std::ios::binary);
    std::string line;
    std::optional<std::string> any;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        const auto space = line.find_first_of(" \t");
        const std::string name = line.substr(0, space);
        std::string reply;
        if (space != std::string::npos) {
            const auto start = line.find_first_not_of(" \t", space);
            if (start != std::string::npos)
                reply = unescape(std::string_view(line).substr(start));
        }
        if (name == operation)
            return reply;
        if (name == "*" && !any)
            any = reply;
    }
    return any;
}

int run_server(const ServerConfig& input) {
    ServerConfig config = input;
    if (!config.http_port && !config.https_port && !config.silent_port)
        config.http_port = 0;
    auto state = std::make_shared<State>(config);
    if (!state->store.load()) {
        std::cerr << "orvix-websim: cannot parse the account file " << config.accounts_file << "\n";
        return 2;
    }

    net::io_context io(1);
    std::string ports;
    std::uint16_t bound = 0;
    if (config.http_port) {
        auto acceptor = open_listener(io, config.bind, *config.http_port, bound);
        if (!acceptor)
            return 1;
        ports += "http=" + std::to_string(bound) + "\n";
        net::co_spawn(io, accept_loop(std::move(*acceptor), state, nullptr, false), net::detached);
    }
    if (config.https_port) {
        const auto credentials = make_self_signed(config.expired_certificate);
        if (!credentials) {
            std::cerr << "orvix-websim: cannot make a certificate\n";
            return 1;
        }
        auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
        error_code ec;
        context->use_certificate_chain(net::buffer(credentials->certificate_pem), ec);
        if (!ec)
            context->use_private_key(net::buffer(credentials->private_key_pem), ssl::context::pem,
                                     ec);
        if (ec) {
            std::cerr << "orvix-websim: cannot load the certificate: " << ec.message() << "\n";
            return 1;
        }
        auto acceptor = open_listener(io, config.bind, *config.https_port, bound);
        if (!acceptor)
            return 1;
        ports += "https=" + std::to_string(bound) + "\n";
        net::co_spawn(io, accept_loop(std::move(*acceptor), state, context, false), net::detached);
    }
    if (config.silent_port) {
        auto acceptor = open_listener(io, config.bind, *config.silent_port, bound);
        if (!acceptor)
            return 1;
        ports += "silent=" + std::to_string(bound) + "\n";
        net::co_spawn(io, accept_loop(std::move(*acceptor), state, nullptr, true), net::detached);
    }

    if (!config.port_file.empty()) {
        // Written whole under another name and renamed: a reader never sees half of it.
        std::filesystem::path temp = config.port_file;
        temp += ".tmp";
        {
            std::ofstream out(temp, std::ios::binary | std::ios::trunc);
            out << ports;
            if (!out.flush()) {
                std::cerr << "orvix-websim: cannot write " << temp << "\n";
                return 1;
            }
        }
        std::error_code ec;
        std::filesystem::rename(temp, config.port_file, ec);
        if (ec) {
            std::cerr << "orvix-websim: cannot write " << config.port_file << "\n";
            return 1;
        }
    }
    std::cout << ports << std::flush;

    net::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&io](const error_code&, int) { io.stop(); });
    io.run();
    return 0;
}

} // namespace websim
