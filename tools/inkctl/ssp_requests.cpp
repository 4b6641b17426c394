#include "ssp_requests.h"

#include <algorithm>

namespace inkctl {
namespace {

constexpr size_t kBaseHeader = 3;

Bytes data_sequence(uint8_t component, uint8_t message_id, const Bytes &data) {
    Bytes m(4 + data.size());
    m[0] = component;
    m[1] = static_cast<uint8_t>(data.size());
    m[2] = static_cast<uint8_t>(data.size() >> 8);
    m[3] = message_id;
    std::copy(data.begin(), data.end(), m.begin() + 4);
    return m;
}

// The payload of a base reply, cut to the bytes that actually arrived.
bool base_payload(const Bytes &reply, int component, const uint8_t *&payload, size_t &size,
                  std::string &why) {
    if (reply.size() < kBaseHeader + 1) {
        why = "reply of " + std::to_string(reply.size()) + " bytes";
        return false;
    }
    if (reply[0] & 0x80) {
        why = "reply is not a base message";
        return false;
    }
    if (component >= 0 && reply[0] != component) {
        why = "reply from component " + std::to_string(reply[0]) + ", asked " +
              std::to_string(component);
        return false;
    }
    const size_t announced = (static_cast<size_t>(reply[1]) | (reply[2] << 8)) + 1;
    payload = reply.data() + kBaseHeader;
    size = std::min(announced, reply.size() - kBaseHeader);
    return true;
}

bool expect(const uint8_t *payload, size_t size, uint8_t message_id, size_t needed,
            std::string &why) {
    if (size < 2 || payload[0] != message_id) {
        why = "reply to another request";
        return false;
    }
    if (payload[1] != kProtocolSuccess) {
        why = "protocol result " + std::to_string(payload[1]);
        return false;
    }
    if (size < needed) {
        why = "reply cut short";
        return false;
    }
    return true;
}

}  // namespace

Bytes component_list_request() {
    return {0x00, 0x00, 0x00, kMsgComponentList};
}

Bytes conf_state_request(uint8_t component) {
    return data_sequence(component, kMsgConfState, {});
}

Bytes variable_set_request(uint8_t component, const std::string &name, const std::string &value) {
    Bytes record(kVarNameSize + kVarValueSize, 0);
    std::copy_n(name.begin(), std::min(name.size(), kVarNameSize), record.begin());
    std::copy_n(value.begin(), std::min(value.size(), kVarValueSize),
                record.begin() + kVarNameSize);
    return data_sequence(component, kMsgVariableSet, record);
}

bool parse_component_list(const Bytes &reply, std::vector<uint8_t> &types, std::string &why) {
    const uint8_t *p = nullptr;
    size_t size = 0;
    // Component 0 answers the list; its id is not checked.
    if (!base_payload(reply, -1, p, size, why) || !expect(p, size, kMsgComponentList, 3, why))
        return false;
    const int count = static_cast<int8_t>(p[2]);
    if (count < 1) {
        why = "component count " + std::to_string(count);
        return false;
    }
    const size_t held = std::min(static_cast<size_t>(count), size - 3);
    types.assign(p + 3, p + 3 + held);
    return true;
}

bool parse_conf_state(const Bytes &reply, uint8_t component, int32_t &state, std::string &why) {
    const uint8_t *p = nullptr;
    size_t size = 0;
    if (!base_payload(reply, component, p, size, why) || !expect(p, size, kMsgConfState, 6, why))
        return false;
    state = static_cast<int32_t>(static_cast<uint32_t>(p[2]) | (static_cast<uint32_t>(p[3]) << 8) |
                                 (static_cast<uint32_t>(p[4]) << 16) |
                                 (static_cast<uint32_t>(p[5]) << 24));
    return true;
}

bool parse_variable_set(const Bytes &reply, uint8_t component, uint8_t &protocol_result,
                        std::string &why) {
    const uint8_t *p = nullptr;
    size_t size = 0;
    if (!base_payload(reply, component, p, size, why))
        return false;
    if (size >= 2 && p[0] == kMsgVariableSet)
        protocol_result = p[1];
    return expect(p, size, kMsgVariableSet, 2, why);
}

}  // namespace inkctl
