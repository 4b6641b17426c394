// A page as the gateway sees it: a WebSocket client on loopback, with the
// Host, Origin and subprotocol a browser would send (or not). Every read
// and write has a deadline, so a gateway that does not answer fails the
// test instead of hanging it.
#pragma once

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json.hpp>

#include <chrono>
#include <optional>
#include <string>

namespace pagetest {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace json = boost::json;
using namespace std::chrono_literals;

struct Headers {
    std::string host;                     // empty: 127.0.0.1:PORT
    std::optional<std::string> origin;    // empty: http://127.0.0.1:PORT; nullopt: none sent
    std::string protocol = "inkport.v1";  // empty: none offered
    bool origin_default = true;
};

class PageClient {
  public:
    // Connects and asks for the upgrade; status() is the HTTP answer (101
    // when accepted, 0 when nothing came). receive_buffer > 0 shrinks the
    // socket's receive buffer, for pages that stop reading.
    explicit PageClient(unsigned port, Headers h = {}, int receive_buffer = 0) : ws_(io_) {
        const std::string self = "127.0.0.1:" + std::to_string(port);
        auto &tcp = beast::get_lowest_layer(ws_);
        beast::error_code ec;
        tcp.socket().open(asio::ip::tcp::v4(), ec);
        if (receive_buffer > 0)
            tcp.socket().set_option(asio::socket_base::receive_buffer_size(receive_buffer), ec);
        tcp.expires_after(10s);
        tcp.connect(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"),
                                            static_cast<unsigned short>(port)),
                    ec);
        if (ec)
            return;
        std::optional<std::string> origin = h.origin;
        if (h.origin_default && !origin)
            origin = "http://" + self;
        ws_.set_option(websocket::stream_base::decorator([origin, h](websocket::request_type &r) {
            if (origin)
                r.set(beast::http::field::origin, *origin);
            if (!h.protocol.empty())
                r.set(beast::http::field::sec_websocket_protocol, h.protocol);
        }));
        ws_.read_message_max(0);
        websocket::response_type res;
        ws_.handshake(res, h.host.empty() ? self : h.host, "/pads", ec);
        status_ = res.result_int();
        reason_ = res.body();
        tcp.expires_never();
    }

    int status() const { return status_; }
    const std::string &refusal() const { return reason_; }
    bool open() const { return status_ == 101 && ws_.is_open(); }

    bool send(const std::string &text, bool binary = false) {
        beast::error_code ec;
        beast::get_lowest_layer(ws_).expires_after(10s);
        ws_.binary(binary);
        ws_.write(asio::buffer(text), ec);
        beast::get_lowest_layer(ws_).expires_never();
        return !ec;
    }

    // The next frame as JSON; nullopt once the gateway closed the socket
    // (close_code() says how) or nothing came within `limit`.
    std::optional<json::object> next(std::chrono::milliseconds limit = 20s) {
        beast::flat_buffer buffer;
        beast::error_code ec;
        beast::get_lowest_layer(ws_).expires_after(limit);
        ws_.read(buffer, ec);
        beast::get_lowest_layer(ws_).expires_never();
        if (ec) {
            if (ec == websocket::error::closed)
                close_code_ = ws_.reason().code;
            return std::nullopt;
        }
        json::value v = json::parse(beast::buffers_to_string(buffer.data()), ec);
        if (ec || !v.is_object())
            return json::object{{"unparsable", beast::buffers_to_string(buffer.data())}};
        return v.get_object();
    }

    // Sends a call and returns its answer; events read on the way are kept.
    std::optional<json::object> call(json::object request) {
        const json::value id = request["id"];
        if (!send(json::serialize(request)))
            return std::nullopt;
        for (;;) {
            std::optional<json::object> frame = next();
            if (!frame || (frame->contains("id") && frame->at("id") == id))
                return frame;
            events.push_back(*frame);
        }
    }

    // Reads until the gateway closes; the close code, or -1 if it did not.
    int until_closed(std::chrono::milliseconds limit = 20s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end && next(limit))
            ;
        return close_code_;
    }
    int close_code() const { return close_code_; }

    // Closes the TCP connection at once, without a close handshake.
    void drop() {
        beast::error_code ec;
        beast::get_lowest_layer(ws_).socket().close(ec);
    }

    std::vector<json::object> events;

  private:
    asio::io_context io_;
    websocket::stream<beast::tcp_stream> ws_;
    int status_ = 0;
    std::string reason_;
    int close_code_ = -1;
};

}  // namespace pagetest
