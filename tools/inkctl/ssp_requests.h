// The SSP requests inkctl builds itself, since the pad library exports no
// call for them: the component list and the configuration handler's state
// and variable-set requests, and checks of their replies. Pure codecs.
//
// A base message: component id (bit 7 clear), u16 little-endian length (the
// payload size minus one), payload. Requests to the configuration handler
// are data sequences: component, u16 length = bytes after the message id,
// message id, data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace inkctl {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kComponentConfHandler = 3;
constexpr uint8_t kMsgComponentList = 0x10;
constexpr uint8_t kMsgConfState = 0x10;
constexpr uint8_t kMsgVariableSet = 0x14;
constexpr uint8_t kProtocolSuccess = 1;
constexpr size_t kVarNameSize = 40;
constexpr size_t kVarValueSize = 20;

// Handler states: busy while waiting or running; 4 means the change failed.
constexpr int32_t kHandlerWaiting = 1;
constexpr int32_t kHandlerRunning = 2;
constexpr int32_t kHandlerFailed = 4;

Bytes component_list_request();
Bytes conf_state_request(uint8_t component);
// The name and value are cut to 40 and 20 characters, without a terminator
// when all are used.
Bytes variable_set_request(uint8_t component, const std::string &name, const std::string &value);

// Reply checks: false with the reason in `why` when the reply is not the
// expected one. `protocol_result` is set whenever the reply got that far.
bool parse_component_list(const Bytes &reply, std::vector<uint8_t> &types, std::string &why);
bool parse_conf_state(const Bytes &reply, uint8_t component, int32_t &state, std::string &why);
bool parse_variable_set(const Bytes &reply, uint8_t component, uint8_t &protocol_result,
                        std::string &why);

}  // namespace inkctl
