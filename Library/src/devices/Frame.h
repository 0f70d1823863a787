#pragma once

#include <cstddef>
#include <cstdint>

namespace Brivane::HardwareAPI::Devices {

// A message on the wire: its code byte and the number of bytes after it (for a message that
// ends with a length and that many bytes, its fixed part). Both devices' tables are made of
// these.
struct Frame {
    std::uint8_t code;
    std::uint8_t length;
};

// The answer of a request that has none: no message starts with code 0.
inline constexpr Frame kNoAnswer{0, 0};

// A request with the answer it waits for, and the module method that sends it.
struct Exchange {
    Frame request;
    Frame answer;
    const char* method;
};

// A message a device sends, named.
struct Answer {
    Frame frame;
    const char* name;
};

// A table's row of a request's or an answer's code; null for a code that starts none.
template <std::size_t N>
constexpr const Exchange* RowOfRequest(const Exchange (&table)[N], std::uint8_t code) {
    for (const Exchange& exchange : table) {
        if (exchange.request.code == code) return &exchange;
    }
    return nullptr;
}
template <std::size_t N>
constexpr const Answer* RowOfAnswer(const Answer (&table)[N], std::uint8_t code) {
    for (const Answer& answer : table) {
        if (answer.frame.code == code) return &answer;
    }
    return nullptr;
}

// The answer a table's request waits for; kNoAnswer for none.
template <std::size_t N>
constexpr Frame AnswerOf(const Exchange (&table)[N], const Frame& request) {
    const Exchange* exchange = RowOfRequest(table, request.code);
    return exchange != nullptr ? exchange->answer : kNoAnswer;
}

// A message without fields, such as a bare request.
struct NoFields {};
inline std::size_t Encode(const NoFields&, std::uint8_t*) {
    return 0;
}

}  // namespace Brivane::HardwareAPI::Devices
