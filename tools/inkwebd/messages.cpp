#include "messages.h"

#include <boost/json.hpp>

namespace inkwebd {
namespace json = boost::json;
namespace {

// A field of a request object, read with its range; the first failure is the
// answer's message.
class Fields {
  public:
    explicit Fields(const json::object &object) : object_(object) {}

    const std::string &failure() const { return failure_; }
    bool failed() const { return !failure_.empty(); }

    // An unsigned number in [low, high]; `fallback` when the field is
    // absent and a fallback is allowed.
    unsigned number(const char *name, unsigned low, unsigned high,
                    std::optional<unsigned> fallback = std::nullopt) {
        const json::value *v = object_.if_contains(name);
        if (v == nullptr) {
            if (!fallback)
                fail(name, "is missing");
            return fallback.value_or(0);
        }
        int64_t n = 0;
        if (v->is_int64()) {
            n = v->get_int64();
        } else if (v->is_uint64()) {
            n = v->get_uint64() > static_cast<uint64_t>(high) ? int64_t{high} + 1 : 0;
        } else {
            fail(name, "must be an integer");
            return 0;
        }
        if (n < int64_t{low} || n > int64_t{high}) {
            fail(name, "must be from " + std::to_string(low) + " to " + std::to_string(high));
            return 0;
        }
        return static_cast<unsigned>(n);
    }

    std::string text(const char *name, size_t min_size, size_t max_size) {
        const json::value *v = object_.if_contains(name);
        if (v == nullptr) {
            fail(name, "is missing");
            return {};
        }
        if (!v->is_string()) {
            fail(name, "must be a string");
            return {};
        }
        const json::string &s = v->get_string();
        if (s.size() < min_size || s.size() > max_size) {
            fail(name, "must have " + std::to_string(min_size) + " to " + std::to_string(max_size) +
                           " characters");
            return {};
        }
        return std::string(s.data(), s.size());
    }

    bool boolean(const char *name) {
        const json::value *v = object_.if_contains(name);
        if (v == nullptr) {
            fail(name, "is missing");
            return false;
        }
        if (!v->is_bool()) {
            fail(name, "must be true or false");
            return false;
        }
        return v->get_bool();
    }

    Bytes hex(const char *name, size_t max_bytes) {
        const std::string digits = text(name, 2, 2 * max_bytes);
        Bytes bytes;
        if (!failed() && !from_hex(digits, bytes))
            fail(name, "must be hex digits, two per byte");
        return bytes;
    }

  private:
    void fail(const char *name, const std::string &why) {
        if (failure_.empty())
            failure_ = std::string("\"") + name + "\" " + why;
    }

    const json::object &object_;
    std::string failure_;
};

Decoded bad(std::optional<int64_t> id, std::string message) {
    Decoded d;
    d.bad.id = id;
    d.bad.message = std::move(message);
    return d;
}

std::string answer(int64_t id, json::object fields) {
    json::object o;
    o["id"] = id;
    o["ok"] = true;
    for (auto &field : fields)
        o[field.key()] = std::move(field.value());
    return json::serialize(o);
}

std::string failure(std::optional<int64_t> id, json::object error) {
    json::object o;
    if (id)
        o["id"] = *id;
    else
        o["id"] = nullptr;
    o["ok"] = false;
    o["error"] = std::move(error);
    return json::serialize(o);
}

const char *fault_name(inkclient::Fault fault) {
    switch (fault) {
        case inkclient::Fault::api:
            return "api";
        case inkclient::Fault::timeout:
            return "timeout";
        case inkclient::Fault::unreachable:
        case inkclient::Fault::connection_lost:
        case inkclient::Fault::refused:  // the bridge said why, and closed
            return "connection_lost";
        case inkclient::Fault::none:
        case inkclient::Fault::protocol:
            break;
    }
    return "protocol";
}

}  // namespace

Decoded decode_request(std::string_view frame) {
    // Untrusted: bounded nesting, no comments or other extensions.
    json::parse_options limits;
    limits.max_depth = 16;
    boost::system::error_code ec;
    json::monotonic_resource memory;
    const json::value root = json::parse(frame, ec, &memory, limits);
    if (ec)
        return bad(std::nullopt, "not valid JSON: " + ec.message());
    if (!root.is_object())
        return bad(std::nullopt, "a request must be a JSON object");
    const json::object &object = root.get_object();

    const json::value *id = object.if_contains("id");
    if (id == nullptr)
        return bad(std::nullopt, "\"id\" is missing");
    Decoded d;
    if (id->is_int64())
        d.request.id = id->get_int64();
    else if (id->is_uint64() && id->get_uint64() <= static_cast<uint64_t>(INT64_MAX))
        d.request.id = static_cast<int64_t>(id->get_uint64());
    else
        return bad(std::nullopt, "\"id\" must be an integer");

    const json::value *call = object.if_contains("call");
    if (call == nullptr)
        return bad(d.request.id, "\"call\" is missing");
    if (!call->is_string())
        return bad(d.request.id, "\"call\" must be a string");
    const json::string &name = call->get_string();

    Fields f(object);
    Request &r = d.request;
    if (name == "list") {
        r.call = Call::list;
    } else if (name == "watch") {
        r.call = Call::watch;
    } else if (name == "ssp") {
        r.call = Call::ssp;
        r.dev = f.number("dev", 1, kMaxDevice);
        r.interface = f.number("interface", 0, kMaxInterface, 0);
        r.message = f.hex("message", kMaxSspMessage);
        r.time_out_ms = f.number("time_out", 1, kMaxTimeOutMs, kDefaultTimeOutMs);
    } else if (name == "set_var") {
        r.call = Call::set_var;
        r.dev = f.number("dev", 1, kMaxDevice);
        r.name = f.text("name", 1, kMaxVarName);
        r.value = f.text("value", 0, kMaxVarValue);
    } else if (name == "receive") {
        r.call = Call::receive;
        r.dev = f.number("dev", 1, kMaxDevice);
        r.ep = f.number("ep", 0, kMaxEndPoint, 0);
        r.on = f.boolean("on");
    } else {
        return bad(r.id, "\"call\" names no call: list, ssp, set_var, receive or watch");
    }
    if (f.failed())
        return bad(r.id, f.failure());
    d.ok = true;
    return d;
}

std::string encode_ok(int64_t id) {
    return answer(id, {});
}

std::string encode_pads(int64_t id, const std::vector<PadInfo> &pads) {
    json::array list;
    for (const PadInfo &p : pads)
        list.push_back(json::object{{"dev", p.dev},
                                    {"vendor_id", p.vendor_id},
                                    {"product_id", p.product_id},
                                    {"serial", p.serial},
                                    {"product", p.product},
                                    {"vendor", p.vendor},
                                    {"end_points", p.end_points}});
    return answer(id, {{"pads", std::move(list)}});
}

std::string encode_reply(int64_t id, const Bytes &reply) {
    return answer(id, {{"reply", to_hex(reply)}});
}

std::string encode_bad_request(const BadRequest &bad) {
    return failure(bad.id, {{"fault", "bad_request"}, {"message", bad.message}});
}

std::string encode_fault(int64_t id, const inkclient::Error &error) {
    json::object e{{"fault", fault_name(error.fault)}, {"message", inkclient::describe(error)}};
    if (error.fault == inkclient::Fault::api) {
        e["function"] = error.function;
        e["code"] = error.handle;
    }
    return failure(id, std::move(e));
}

std::string encode_data(unsigned dev, unsigned ep, uint64_t seq, const Bytes &report) {
    return json::serialize(json::object{
        {"event", "data"}, {"dev", dev}, {"ep", ep}, {"seq", seq}, {"report", to_hex(report)}});
}

std::string encode_arrived(unsigned dev, unsigned vendor_id, unsigned product_id,
                           const std::string &serial) {
    return json::serialize(json::object{{"event", "arrived"},
                                        {"dev", dev},
                                        {"vendor_id", vendor_id},
                                        {"product_id", product_id},
                                        {"serial", serial}});
}

std::string encode_removed(unsigned dev) {
    return json::serialize(json::object{{"event", "removed"}, {"dev", dev}});
}

std::string encode_gap(uint64_t lost) {
    return json::serialize(json::object{{"event", "gap"}, {"lost", lost}});
}

std::string to_hex(const Bytes &bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

bool from_hex(std::string_view text, Bytes &bytes) {
    const auto digit = [](char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    if (text.size() % 2 != 0)
        return false;
    Bytes out;
    out.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = digit(text[i]);
        const int low = digit(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        out.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    bytes.swap(out);
    return true;
}

}  // namespace inkwebd
