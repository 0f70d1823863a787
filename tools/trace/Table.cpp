#include "Table.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#include "devices/HandleMessages.h"
#include "devices/KalvarMessages.h"

namespace Brivane::Trace {

namespace {

namespace Arm = HardwareAPI::Devices::KalvarMessages;
namespace Grip = HardwareAPI::Devices::HandleMessages;
namespace Devices = HardwareAPI::Devices;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr float kNaNf = std::numeric_limits<float>::quiet_NaN();

template <std::size_t N>
void Fill(float (&values)[N], float value = kNaNf) {
    std::fill(values, values + N, value);
}

template <std::size_t N>
void Copy(float (&values)[N], const std::array<float, N>& from) {
    std::copy(from.begin(), from.end(), values);
}

std::vector<std::string> MakeCommandNames() {
    std::vector<std::string> names;
    for (const Arm::Exchange& exchange : Arm::kExchanges) {
        if (exchange.request.code == Arm::kIdentifierRequest.code) {
            names.insert(names.end(), {"get_device_id", "get_firmware_version"});
        }
        names.emplace_back(exchange.method);
    }
    for (const Grip::Exchange& exchange : Grip::kExchanges) names.emplace_back(exchange.method);
    return names;
}

std::uint8_t IndexOf(const std::vector<std::string>& names, const std::string& name,
                     const char* otherwise) {
    auto found = std::find(names.begin(), names.end(), name);
    if (found == names.end()) found = std::find(names.begin(), names.end(), otherwise);
    return static_cast<std::uint8_t>(found - names.begin());
}

double Seconds(std::uint64_t us) {
    return static_cast<double>(us) / 1e6;
}

// The command of each request code, found by its name once per code and session: a name is
// made as a string, which a million requests would each pay for.
class CommandIndex {
  public:
    std::uint8_t Of(const Session& session, const Frame& request) {
        // An identifier request's name depends on its sub-code.
        if (session.device == Device::Arm && request.code == Arm::kIdentifierRequest.code) {
            return IndexOf(CommandNames(), Name(session, request), "identifier");
        }
        if (known_[request.code] < 0) {
            known_[request.code] = IndexOf(CommandNames(), Name(session, request), "identifier");
        }
        return static_cast<std::uint8_t>(known_[request.code]);
    }

  private:
    std::array<int, 256> known_ = Unknown();
    static std::array<int, 256> Unknown() {
        std::array<int, 256> none{};
        none.fill(-1);
        return none;
    }
};

ExchangeRow MakeExchange(const Session& session, const Frame& request, std::size_t number,
                         CommandIndex& commands) {
    ExchangeRow row;
    row.request_time = Seconds(request.time_us);
    row.frame = static_cast<std::uint32_t>(number);
    row.command = commands.Of(session, request);
    row.timed_out = request.timed_out;
    Fill(row.command_values);
    Fill(row.position);
    Fill(row.velocity);
    Fill(row.angles);
    Fill(row.joint_velocity);
    Fill(row.currents);
    row.temperature = kNaNf;
    const std::uint8_t* sent = session.Data(request);
    if (session.device == Device::Arm && request.length == 1 + 3 * 4) {
        Copy(row.command_values, Arm::Decode<Arm::Vector>(sent + 1).values);
    }
    if (request.partner < 0) {
        row.answer_time = row.answer_us = kNaN;
        return row;
    }
    const Frame& answer = session.frames[static_cast<std::size_t>(request.partner)];
    row.answer_time = Seconds(answer.time_us);
    row.answer_us = static_cast<double>(answer.answer_us);
    if (session.device != Device::Arm) return row;
    const std::uint8_t* at = session.Data(answer) + 1;
    switch (answer.code) {
        case Arm::kEndEffectorState.code: {
            const auto state = Arm::Decode<Arm::State>(at);
            Copy(row.position, state.first);
            Copy(row.velocity, state.second);
            break;
        }
        case Arm::kJointState.code: {
            const auto state = Arm::Decode<Arm::State>(at);
            Copy(row.angles, state.first);
            Copy(row.joint_velocity, state.second);
            break;
        }
        case Arm::kTemperature.code:
            row.temperature = Arm::Decode<Arm::Temperature>(at).degrees;
            break;
        case Arm::kCurrent.code:
            Copy(row.currents, Arm::Decode<Arm::Vector>(at).values);
            break;
        default:
            break;
    }
    return row;
}

MessageRow MakeMessage(const Session& session, const Frame& frame, std::size_t number) {
    MessageRow row;
    row.time = Seconds(frame.time_us);
    row.answer_us = frame.kind == Kind::Answer ? static_cast<double>(frame.answer_us) : kNaN;
    row.frame = static_cast<std::uint32_t>(number);
    const std::string name = Name(session, frame);
    row.message = IndexOf(MessageNames(), name, "status");
    Fill(row.quaternion);
    row.battery = kNaNf;
    const std::uint8_t* at = session.Data(frame);
    if (frame.code == Grip::kError.code) {
        const auto error = Grip::Decode<Devices::HandleErrorResponse>(at + 1);
        row.device_id = error.device_id;
        row.error_code = error.error_code;
    } else if (frame.code == Grip::kInfo.code) {
        row.device_id = Grip::Decode<Devices::HandleInfoResponse>(at + 1).device_id;
    } else if (name == "status block") {
        std::uint8_t block[Grip::kBlockLength];
        Grip::UnstuffStatusBlock(at + 1, frame.length - 1, block);
        const auto status = Grip::Decode<Devices::StavrinStatus>(block);
        row.device_id = status.device_id;
        row.error_flag = status.error_flag;
        row.hall = status.hall_effect_sensor_level;
        row.buttons = status.buttons;
        std::copy(std::begin(status.quaternion), std::end(status.quaternion), row.quaternion);
        row.battery = status.battery_level;
    } else {
        const auto status = Grip::Decode<Devices::HandleStatusMessage>(at + 1);
        row.device_id = status.device_id;
        row.error_flag = status.error_flag;
        row.hall = status.hall_effect_sensor_level;
        std::copy(std::begin(status.quaternion), std::end(status.quaternion), row.quaternion);
        row.user_data = status.user_data_length;
    }
    return row;
}

// The offset of element i of an array member.
#define BRIVANE_AT(Row, member, i) (offsetof(Row, member) + (i) * sizeof(float))

}  // namespace

const std::vector<std::string>& CommandNames() {
    static const std::vector<std::string> names = MakeCommandNames();
    return names;
}

const std::vector<std::string>& MessageNames() {
    static const std::vector<std::string> names = {"handle info", "status", "status block",
                                                   "error"};
    return names;
}

const std::vector<Column>& ExchangeColumns() {
    using R = ExchangeRow;
    static const std::vector<Column> columns = {
        {"frame", offsetof(R, frame), "<u4"},
        {"request_time", offsetof(R, request_time), "<f8"},
        {"answer_time", offsetof(R, answer_time), "<f8"},
        {"answer_us", offsetof(R, answer_us), "<f8"},
        {"timed_out", offsetof(R, timed_out), "u1"},
        {"command", offsetof(R, command), "u1", &CommandNames()},
        {"command_0", BRIVANE_AT(R, command_values, 0), "<f4"},
        {"command_1", BRIVANE_AT(R, command_values, 1), "<f4"},
        {"command_2", BRIVANE_AT(R, command_values, 2), "<f4"},
        {"x", BRIVANE_AT(R, position, 0), "<f4"},
        {"y", BRIVANE_AT(R, position, 1), "<f4"},
        {"z", BRIVANE_AT(R, position, 2), "<f4"},
        {"vx", BRIVANE_AT(R, velocity, 0), "<f4"},
        {"vy", BRIVANE_AT(R, velocity, 1), "<f4"},
        {"vz", BRIVANE_AT(R, velocity, 2), "<f4"},
        {"angle_0", BRIVANE_AT(R, angles, 0), "<f4"},
        {"angle_1", BRIVANE_AT(R, angles, 1), "<f4"},
        {"angle_2", BRIVANE_AT(R, angles, 2), "<f4"},
        {"joint_velocity_0", BRIVANE_AT(R, joint_velocity, 0), "<f4"},
        {"joint_velocity_1", BRIVANE_AT(R, joint_velocity, 1), "<f4"},
        {"joint_velocity_2", BRIVANE_AT(R, joint_velocity, 2), "<f4"},
        {"temperature", offsetof(R, temperature), "<f4"},
        {"current_0", BRIVANE_AT(R, currents, 0), "<f4"},
        {"current_1", BRIVANE_AT(R, currents, 1), "<f4"},
        {"current_2", BRIVANE_AT(R, currents, 2), "<f4"},
    };
    return columns;
}

const std::vector<Column>& MessageColumns() {
    using R = MessageRow;
    static const std::vector<Column> columns = {
        {"frame", offsetof(R, frame), "<u4"},
        {"time", offsetof(R, time), "<f8"},
        {"answer_us", offsetof(R, answer_us), "<f8"},
        {"message", offsetof(R, message), "u1", &MessageNames()},
        {"device_id", offsetof(R, device_id), "<u2"},
        {"error_flag", offsetof(R, error_flag), "u1"},
        {"error_code", offsetof(R, error_code), "u1"},
        {"hall", offsetof(R, hall), "u1"},
        {"buttons", offsetof(R, buttons), "u1"},
        {"user_data", offsetof(R, user_data), "u1"},
        {"q0", BRIVANE_AT(R, quaternion, 0), "<f4"},
        {"q1", BRIVANE_AT(R, quaternion, 1), "<f4"},
        {"q2", BRIVANE_AT(R, quaternion, 2), "<f4"},
        {"q3", BRIVANE_AT(R, quaternion, 3), "<f4"},
        {"battery", offsetof(R, battery), "<f4"},
    };
    return columns;
}

#undef BRIVANE_AT

Tables Tabulate(const Session& session, std::size_t first_frame) {
    Tables tables;
    tables.device = session.device;
    tables.frames = session.frames.size();
    CommandIndex commands;
    tables.exchanges.reserve(static_cast<std::size_t>(
        std::count_if(session.frames.begin(), session.frames.end(),
                      [](const Frame& frame) { return frame.kind == Kind::Request; })));
    for (std::size_t i = 0; i < session.frames.size(); ++i) {
        const Frame& frame = session.frames[i];
        const std::size_t number = first_frame + i;
        switch (frame.kind) {
            case Kind::Junk:
                ++tables.junk_frames;
                tables.junk_bytes += frame.length;
                break;
            case Kind::Request:
                tables.unanswered += frame.timed_out;
                tables.exchanges.push_back(MakeExchange(session, frame, number, commands));
                break;
            case Kind::Answer:
            case Kind::Message:
                if (session.device == Device::Grip) {
                    tables.messages.push_back(MakeMessage(session, frame, number));
                } else if (frame.kind == Kind::Message) {
                    ++tables.unmatched;
                }
                break;
        }
    }
    return tables;
}

namespace {

void AppendStrings(std::string& json, const std::vector<std::string>& names) {
    json += '[';
    for (std::size_t i = 0; i < names.size(); ++i) {
        json += (i ? ", \"" : "\"") + names[i] + '"';
    }
    json += ']';
}

void AppendLayout(std::string& json, const std::vector<Column>& columns, std::size_t size) {
    std::vector<std::string> names, types, offsets;
    for (const Column& column : columns) {
        names.emplace_back(column.name);
        types.emplace_back(column.type);
    }
    json += "{\"names\": ";
    AppendStrings(json, names);
    json += ", \"formats\": ";
    AppendStrings(json, types);
    json += ", \"offsets\": [";
    for (std::size_t i = 0; i < columns.size(); ++i) {
        json += (i ? ", " : "") + std::to_string(columns[i].offset);
    }
    json += "], \"itemsize\": " + std::to_string(size) + "}";
}

// The value of a column in a row, as the CSV writes it.
void PrintCell(std::FILE* out, const Column& column, const unsigned char* row) {
    const unsigned char* at = row + column.offset;
    char text[32];
    std::to_chars_result written{text, {}};
    if (column.names != nullptr) {
        std::fputs((*column.names)[*at].c_str(), out);
        return;
    }
    // The shortest text that reads back as the same value: 0.1, not 0.100000001. NaN is an
    // empty cell.
    if (std::strcmp(column.type, "<f8") == 0) {
        double value;
        std::memcpy(&value, at, sizeof value);
        if (!std::isnan(value)) written = std::to_chars(text, text + sizeof text, value);
    } else if (std::strcmp(column.type, "<f4") == 0) {
        float value;
        std::memcpy(&value, at, sizeof value);
        if (!std::isnan(value)) written = std::to_chars(text, text + sizeof text, value);
    } else if (std::strcmp(column.type, "<u4") == 0) {
        std::uint32_t value;
        std::memcpy(&value, at, sizeof value);
        written = std::to_chars(text, text + sizeof text, value);
    } else if (std::strcmp(column.type, "<u2") == 0) {
        std::uint16_t value;
        std::memcpy(&value, at, sizeof value);
        written = std::to_chars(text, text + sizeof text, value);
    } else {
        written = std::to_chars(text, text + sizeof text, *at);
    }
    std::fwrite(text, 1, static_cast<std::size_t>(written.ptr - text), out);
}

template <typename Row>
bool WriteRows(const std::vector<Column>& columns, const std::vector<Row>& rows, std::FILE* out) {
    for (std::size_t i = 0; i < columns.size(); ++i) {
        std::fprintf(out, i ? ",%s" : "%s", columns[i].name);
    }
    std::fputc('\n', out);
    for (const Row& row : rows) {
        for (std::size_t i = 0; i < columns.size(); ++i) {
            if (i) std::fputc(',', out);
            PrintCell(out, columns[i], reinterpret_cast<const unsigned char*>(&row));
        }
        std::fputc('\n', out);
    }
    return std::fflush(out) == 0 && !std::ferror(out);
}

}  // namespace

std::string LayoutJson() {
    std::string json = "{\"exchanges\": ";
    AppendLayout(json, ExchangeColumns(), sizeof(ExchangeRow));
    json += ", \"messages\": ";
    AppendLayout(json, MessageColumns(), sizeof(MessageRow));
    json += ", \"command\": ";
    AppendStrings(json, CommandNames());
    json += ", \"message\": ";
    AppendStrings(json, MessageNames());
    return json + "}";
}

bool WriteCsv(const Tables& tables, std::FILE* out) {
    return tables.device == Device::Grip ? WriteRows(MessageColumns(), tables.messages, out)
                                         : WriteRows(ExchangeColumns(), tables.exchanges, out);
}

}  // namespace Brivane::Trace
