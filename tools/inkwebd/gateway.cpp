// The network side of the gateway, on Boost.Beast, all on one thread.
//
// A connection starts as an HttpSession: it serves the page and /status, and
// answers every refused upgrade itself, before any upgrade. An accepted
// upgrade becomes a Page, which then holds the pads: the page it replaces is
// closed with 4409 and the pad worker switches its streams off before the
// new page's first call.
//
// A Page's bounds: its queue of frames to send holds at most
// Limits::max_queued bytes of events (further events are dropped and counted,
// and one gap event tells how many before the next one that fits); answers
// are never dropped, but a page gets no more than max_waiting_calls calls
// that are unanswered or whose answers it has not taken, and then is not read.
// A page whose queue has not moved for Limits::stall is closed with 1008; one
// not heard from (not even a pong) for Limits::silence is closed too; a close
// that the page does not complete within Limits::close_wait ends with the
// socket closed. Nothing here waits without a deadline.
#include "gateway.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json.hpp>

#include <cstdio>
#include <deque>
#include <optional>

#include "handshake.h"
#include "page.h"
#include "pad_worker.h"

namespace inkwebd {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using error_code = boost::system::error_code;

constexpr uint16_t kCloseReplaced = 4409;
constexpr size_t kHeaderLimit = 8 * 1024;
constexpr size_t kBodyLimit = 4 * 1024;
// Refusals logged per window; the rest are counted and reported once.
constexpr unsigned kRefusalsPerWindow = 5;
constexpr std::chrono::seconds kRefusalWindow{10};
// A failing accept (no descriptors left) is retried after a pause, not in a loop.
constexpr std::chrono::milliseconds kAcceptRetry{100};
constexpr std::chrono::milliseconds kStopWait{1000};

class Page;

}  // namespace

struct Gateway::State {
    Config config;
    Listener listener;

    // Read by stats() from any thread.
    std::atomic<size_t> queued{0};
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> pages{0};
    std::atomic<uint64_t> stalled{0};
    std::atomic<size_t> connections{0};

    // Network thread only. Declared after what the sessions touch when they
    // go, so that destroying io_context's handlers finds it still there.
    Clock::time_point refusal_window{};
    unsigned refusals_in_window = 0;
    uint64_t refusals_not_logged = 0;
    bool stopping = false;
    uint64_t next_page = 1;

    asio::io_context io{1};
    std::vector<tcp::acceptor> acceptors;
    asio::steady_timer accept_pause{io};
    asio::steady_timer stop_deadline{io};
    std::shared_ptr<Page> holder;
    std::unique_ptr<PadWorker> worker;

    void log_refusal(const std::string &line);
    void accept(tcp::acceptor &acceptor);
    void adopt(beast::tcp_stream stream, http::request<http::string_body> request);
    void page_gone(Page *page);
    void shut_down();
};

using State = Gateway::State;

namespace {

class Page : public std::enable_shared_from_this<Page> {
  public:
    Page(State &state, beast::tcp_stream stream, uint64_t id)
        : state_(state), ws_(std::move(stream)), tick_(state.io), id_(id) {
        ++state_.connections;
    }
    ~Page() { --state_.connections; }

    uint64_t id() const { return id_; }

    void start(http::request<http::string_body> request) {
        const Limits &l = state_.config.limits;
        beast::get_lowest_layer(ws_).expires_never();
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = l.close_wait;
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws_.set_option(timeouts);
        ws_.set_option(websocket::stream_base::decorator([](websocket::response_type &res) {
            res.set(http::field::sec_websocket_protocol, kSubprotocol);
            res.set(http::field::server, "inkwebd");
        }));
        ws_.read_message_max(l.max_frame);
        ws_.auto_fragment(false);
        ws_.text(true);
        ws_.control_callback(
            [this](websocket::frame_type, beast::string_view) { last_heard_ = Clock::now(); });
        last_heard_ = last_ping_ = Clock::now();
        ws_.async_accept(request,
                         [self = shared_from_this()](error_code ec) { self->on_accepted(ec); });
        arm_tick();
    }

    // A frame from the pad worker, on the network thread.
    void deliver(PadWorker::Kind kind, std::string text) {
        if (closing_)
            return;
        if (kind == PadWorker::Kind::event) {
            const Limits &l = state_.config.limits;
            if (lost_ != 0) {
                std::string gap = encode_gap(lost_);
                if (queued_ + gap.size() + text.size() > l.max_queued) {
                    drop();
                    return;
                }
                push(std::move(gap), false);
                lost_ = 0;
            } else if (queued_ + text.size() > l.max_queued) {
                drop();
                return;
            }
        }
        push(std::move(text), kind == PadWorker::Kind::answer);
    }

    void close(uint16_t code, const char *reason) {
        if (closing_)
            return;
        closing_ = true;
        closing_since_ = Clock::now();
        close_reason_.code = code;
        close_reason_.reason = reason;
        arm_tick();  // at the closing pace
        // What was not sent yet is not for anyone now (the frame being sent stays).
        while (out_.size() > (writing_ ? 1u : 0u)) {
            account(-static_cast<long>(out_.back().text.size()));
            out_.pop_back();
        }
        start_close();
    }

  private:
    struct Out {
        std::string text;
        bool answer;
    };

    void on_accepted(error_code ec) {
        if (ec)
            return finish();
        open_ = true;
        if (closing_)
            return start_close();
        read();
        write();
    }

    void drop() {
        ++lost_;
        ++state_.dropped;
    }

    void push(std::string text, bool answer) {
        account(static_cast<long>(text.size()));
        out_.push_back({std::move(text), answer});
        write();
    }

    void account(long bytes) {
        queued_ = static_cast<size_t>(static_cast<long>(queued_) + bytes);
        if (state_.holder.get() == this)
            state_.queued = queued_;
    }

    void read() {
        if (!open_ || reading_ || closing_ || waiting_ >= state_.config.limits.max_waiting_calls)
            return;
        reading_ = true;
        ws_.async_read(buffer_,
                       [self = shared_from_this()](error_code ec, size_t) { self->on_read(ec); });
    }

    void on_read(error_code ec) {
        reading_ = false;
        if (ec) {
            // Beast has answered an oversized message with 1009 and a close
            // from the page with its own close; either way the socket is done.
            if (!closing_)
                finish();
            return;
        }
        last_heard_ = Clock::now();
        if (!ws_.got_text()) {
            buffer_.consume(buffer_.size());
            return close(static_cast<uint16_t>(websocket::close_code::unknown_data),
                         "binary frames are not understood");
        }
        const std::string frame = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        ++waiting_;
        const Decoded d = decode_request(frame);
        if (d.ok)
            state_.worker->submit(id_, d.request);
        else
            deliver(PadWorker::Kind::answer, encode_bad_request(d.bad));
        read();
    }

    void write() {
        if (!open_ || writing_ || out_.empty() || close_started_)
            return;
        writing_ = true;
        last_written_ = Clock::now();
        ws_.async_write(
            asio::buffer(out_.front().text),
            [self = shared_from_this()](error_code ec, size_t) { self->on_written(ec); });
    }

    void on_written(error_code ec) {
        writing_ = false;
        last_written_ = Clock::now();
        if (ec) {
            if (!closing_)
                finish();
            return;
        }
        const bool answer = out_.front().answer;
        account(-static_cast<long>(out_.front().text.size()));
        out_.pop_front();
        if (answer && waiting_ > 0) {
            --waiting_;
            read();
        }
        if (!closing_)
            write();
        else
            start_close();
    }

    // Beast allows one close or ping at a time beside a write: a close waits
    // for the ping, and for the frame being written (Beast suspends it).
    void start_close() {
        if (!open_ || close_started_ || ping_in_flight_)
            return;
        close_started_ = true;
        ws_.async_close(close_reason_, [self = shared_from_this()](error_code) { self->finish(); });
    }

    // Deadlines are checked on a tick: a quarter of the shortest one, so a
    // quiet page costs a wake-up every few seconds.
    void arm_tick() {
        const Limits &l = state_.config.limits;
        auto period = closing_ ? l.close_wait / 2 : std::min({l.stall, l.ping, l.silence}) / 4;
        tick_.expires_after(std::max(period, std::chrono::milliseconds(5)));
        tick_.async_wait([self = shared_from_this()](error_code ec) {
            if (!ec)
                self->on_tick();
        });
    }

    void on_tick() {
        if (finished_)
            return;
        const Limits &l = state_.config.limits;
        const Clock::time_point now = Clock::now();
        if (closing_) {
            if (now - closing_since_ > l.close_wait)
                return finish();
        } else if (now - last_heard_ > l.silence) {
            close(static_cast<uint16_t>(websocket::close_code::going_away), "silent");
        } else if (writing_ && now - last_written_ > l.stall) {
            fprintf(stderr, "inkwebd: closing a page that has taken nothing for %lld s\n",
                    static_cast<long long>(l.stall.count() / 1000));
            ++state_.stalled;
            close(static_cast<uint16_t>(websocket::close_code::policy_error),
                  "the page takes nothing");
        } else if (open_ && !ping_in_flight_ && now - last_ping_ >= l.ping) {
            ping_in_flight_ = true;
            last_ping_ = now;
            ws_.async_ping({}, [self = shared_from_this()](error_code ec) {
                self->ping_in_flight_ = false;
                if (ec && !self->closing_)
                    return self->finish();
                if (self->closing_)
                    self->start_close();
            });
        }
        arm_tick();
    }

    void finish() {
        if (finished_)
            return;
        finished_ = true;
        error_code ignored;
        beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(ws_).socket().close(ignored);
        tick_.cancel();
        state_.page_gone(this);
    }

    State &state_;
    websocket::stream<beast::tcp_stream> ws_;
    beast::flat_buffer buffer_;
    asio::steady_timer tick_;
    const uint64_t id_;

    std::deque<Out> out_;
    size_t queued_ = 0;
    uint64_t lost_ = 0;     // events dropped since the last one queued
    unsigned waiting_ = 0;  // calls not answered, or whose answer is not sent yet
    bool open_ = false;     // the upgrade is done
    bool reading_ = false;
    bool writing_ = false;
    bool ping_in_flight_ = false;
    bool closing_ = false;        // decided: nothing more is queued or read
    bool close_started_ = false;  // the close frame is on its way
    bool finished_ = false;
    websocket::close_reason close_reason_;
    Clock::time_point last_heard_, last_written_, last_ping_, closing_since_;
};

class HttpSession : public std::enable_shared_from_this<HttpSession> {
  public:
    HttpSession(State &state, tcp::socket socket) : state_(state), stream_(std::move(socket)) {
        ++state_.connections;
    }
    ~HttpSession() { --state_.connections; }

    void read() {
        parser_.emplace();
        parser_->header_limit(kHeaderLimit);
        parser_->body_limit(kBodyLimit);
        stream_.expires_after(state_.config.limits.http_idle);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](error_code ec, size_t) {
                             if (ec)
                                 return self->finish();
                             self->handle(self->parser_->release());
                         });
    }

  private:
    using Request = http::request<http::string_body>;
    using Response = http::response<http::string_body>;

    void handle(Request request) {
        const std::string target(request.target());
        const std::string path = target.substr(0, target.find('?'));
        const std::string host(request[http::field::host]);
        std::optional<std::string> origin;
        if (request.find(http::field::origin) != request.end())
            origin = std::string(request[http::field::origin]);

        if (!host_allowed(state_.listener, host))
            return refuse(request, http::status::forbidden,
                          "Host \"" + host + "\" is not this gateway", origin);
        if (path == "/pads") {
            if (!websocket::is_upgrade(request))
                return respond(request, http::status::upgrade_required, "text/plain",
                               "/pads is a WebSocket (subprotocol inkport.v1)\n");
            std::string protocols;
            for (auto it = request.find(http::field::sec_websocket_protocol);
                 it != request.end() && it->name() == http::field::sec_websocket_protocol; ++it)
                protocols += (protocols.empty() ? "" : ",") + std::string(it->value());
            const Verdict v = check_upgrade(state_.listener, host, origin, protocols);
            if (v.status != 0)
                return refuse(request, static_cast<http::status>(v.status), v.reason, origin);
            stream_.expires_never();
            return state_.adopt(std::move(stream_), std::move(request));
        }
        if (request.method() != http::verb::get && request.method() != http::verb::head)
            return respond(request, http::status::method_not_allowed, "text/plain",
                           "only GET is served here\n");
        if (path == "/")
            return respond(request, http::status::ok, "text/html; charset=utf-8",
                           std::string(built_in_page()));
        if (path == "/status") {
            // The pad count comes from the pad worker's thread.
            auto self = shared_from_this();
            auto held = std::make_shared<Request>(std::move(request));
            state_.worker->count_pads([self, held](unsigned pads) {
                asio::post(self->state_.io, [self, held, pads] {
                    boost::json::object status{{"version", self->state_.config.version},
                                               {"pads", pads}};
                    self->respond(*held, http::status::ok, "application/json",
                                  boost::json::serialize(status));
                });
            });
            return;
        }
        respond(request, http::status::not_found, "text/plain", "not found\n");
    }

    void refuse(const Request &request, http::status status, const std::string &reason,
                const std::optional<std::string> &origin) {
        state_.log_refusal("refused " + std::string(request.target()) + " from origin " +
                           (origin ? *origin : std::string("(none)")) + ": " + reason);
        respond(request, status, "text/plain", reason + "\n", true);
    }

    void respond(const Request &request, http::status status, const char *type, std::string body,
                 bool close = false) {
        auto res = std::make_shared<Response>(status, request.version());
        res->set(http::field::server, "inkwebd");
        res->set(http::field::content_type, type);
        res->set(http::field::cache_control, "no-store");
        res->set("X-Content-Type-Options", "nosniff");
        res->keep_alive(request.keep_alive() && !close);
        if (request.method() != http::verb::head)
            res->body() = std::move(body);
        res->prepare_payload();
        if (request.method() == http::verb::head)
            res->content_length(body.size());
        stream_.expires_after(state_.config.limits.http_idle);
        http::async_write(stream_, *res, [self = shared_from_this(), res](error_code ec, size_t) {
            if (ec || !res->keep_alive())
                return self->finish();
            self->read();
        });
    }

    void finish() {
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

    State &state_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
};

}  // namespace

void State::log_refusal(const std::string &line) {
    const Clock::time_point now = Clock::now();
    if (now - refusal_window >= kRefusalWindow) {
        if (refusals_not_logged != 0)
            fprintf(stderr, "inkwebd: %llu more refusals were not logged\n",
                    static_cast<unsigned long long>(refusals_not_logged));
        refusal_window = now;
        refusals_in_window = 0;
        refusals_not_logged = 0;
    }
    if (refusals_in_window < kRefusalsPerWindow) {
        ++refusals_in_window;
        fprintf(stderr, "inkwebd: %s\n", line.c_str());
    } else {
        ++refusals_not_logged;
    }
}

void State::accept(tcp::acceptor &acceptor) {
    acceptor.async_accept([this, &acceptor](error_code ec, tcp::socket socket) {
        if (stopping)
            return;
        if (ec) {
            if (ec == asio::error::operation_aborted)
                return;
            accept_pause.expires_after(kAcceptRetry);
            accept_pause.async_wait([this, &acceptor](error_code e) {
                if (!e && !stopping)
                    accept(acceptor);
            });
            return;
        }
        if (connections < config.limits.max_connections)
            std::make_shared<HttpSession>(*this, std::move(socket))->read();
        accept(acceptor);  // a socket over the limit is closed as it goes
    });
}

void State::adopt(beast::tcp_stream stream, http::request<http::string_body> request) {
    auto page = std::make_shared<Page>(*this, std::move(stream), next_page++);
    if (holder)
        holder->close(kCloseReplaced, "replaced");
    holder = page;
    queued = 0;
    ++pages;
    worker->adopt(page->id());
    page->start(std::move(request));
}

void State::page_gone(Page *page) {
    if (holder.get() != page)
        return;
    holder.reset();
    queued = 0;
    worker->adopt(0);
    if (stopping)
        io.stop();
}

void State::shut_down() {
    if (stopping)
        return;
    stopping = true;
    error_code ignored;
    for (tcp::acceptor &a : acceptors)
        a.close(ignored);
    accept_pause.cancel();
    if (!holder) {
        io.stop();
        return;
    }
    holder->close(static_cast<uint16_t>(websocket::close_code::going_away),
                  "the gateway is stopping");
    // The program has 2 s to end; a page gets half of that to answer.
    stop_deadline.expires_after(std::min(config.limits.close_wait, kStopWait));
    stop_deadline.async_wait([this](error_code ec) {
        if (!ec)
            io.stop();
    });
}

Gateway::Gateway(Config config, std::unique_ptr<inkclient::PadStack> stack)
    : state_(std::make_unique<State>()) {
    State &s = *state_;
    s.config = std::move(config);
    s.listener = {s.config.hostname, s.config.port, s.config.allow_origins};
    s.worker = std::make_unique<PadWorker>(
        std::move(stack), [&s](uint64_t page, PadWorker::Kind kind, std::string text) {
            asio::post(s.io, [&s, page, kind, text = std::move(text)]() mutable {
                if (s.holder && s.holder->id() == page)
                    s.holder->deliver(kind, std::move(text));
            });
        });
}

Gateway::~Gateway() {
    // The pad thread first: it posts to the network side, which goes next.
    state_->worker->stop();
    state_->holder.reset();
}

bool Gateway::listen(std::string &why) {
    State &s = *state_;
    std::vector<asio::ip::address> addresses;
    error_code ec;
    if (s.config.hostname == "localhost") {
        addresses = {asio::ip::make_address("127.0.0.1"), asio::ip::make_address("::1")};
    } else {
        addresses.push_back(asio::ip::make_address(s.config.hostname, ec));
        if (ec) {
            why = "not an address: " + s.config.hostname;
            return false;
        }
    }
    unsigned port = s.config.port;
    for (const asio::ip::address &address : addresses) {
        tcp::acceptor a(s.io);
        const tcp::endpoint at(address, static_cast<unsigned short>(port));
        a.open(at.protocol(), ec);
        if (!ec)
            a.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec && address.is_v6())
            a.set_option(asio::ip::v6_only(true), ec);
        if (!ec)
            a.bind(at, ec);
        if (!ec)
            a.listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
            // "localhost" is served on what of it this machine has.
            if (!s.acceptors.empty() || &address != &addresses.back())
                continue;
            why = "cannot listen on " + s.config.hostname + " port " + std::to_string(port) + ": " +
                  ec.message();
            return false;
        }
        port = a.local_endpoint().port();
        s.acceptors.push_back(std::move(a));
    }
    s.listener.port = port;
    return true;
}

unsigned Gateway::port() const {
    return state_->listener.port;
}

void Gateway::run() {
    State &s = *state_;
    for (tcp::acceptor &a : s.acceptors)
        s.accept(a);
    s.io.run();
    s.holder.reset();
    s.worker->stop();
}

void Gateway::stop() {
    State *s = state_.get();
    asio::post(s->io, [s] { s->shut_down(); });
}

Stats Gateway::stats() const {
    Stats st;
    st.queued = state_->queued;
    st.dropped = state_->dropped;
    st.pages = state_->pages;
    st.stalled = state_->stalled;
    st.connections = state_->connections;
    return st;
}

}  // namespace inkwebd
