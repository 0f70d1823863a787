#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Decode.h"

// A decoded session as tables of numbers: one row per request with its answer's fields, and
// one row per message of a grip. brivane-trace writes them as CSV and hands them to its
// plotter, and the brivane package reads them as numpy arrays, all through the columns below.
namespace Brivane::Trace {

// A request and the answer it got. Values a row does not have are NaN.
struct ExchangeRow {
    double request_time = 0.0;  // s, the request's first chunk
    double answer_time = 0.0;   // s, the answer's first chunk
    double answer_us = 0.0;     // from the request's last chunk to the answer's first
    std::uint32_t frame = 0;    // the request's number, as brivane-trace prints it
    std::uint8_t command = 0;   // into CommandNames()
    std::uint8_t timed_out = 0;
    float command_values[3] = {};  // what the request carries: a force, a position, torques
    float position[3] = {};        // an end-effector state (m, m/s)
    float velocity[3] = {};
    float angles[3] = {};  // a joint state (rad, rad/s)
    float joint_velocity[3] = {};
    float temperature = 0.0f;
    float currents[3] = {};
};

// A message from a grip, asked for or not.
struct MessageRow {
    double time = 0.0;       // s, its first chunk
    double answer_us = 0.0;  // an answer's wait; NaN for a message nobody asked for
    std::uint32_t frame = 0;
    std::uint8_t message = 0;  // into MessageNames()
    std::uint8_t error_flag = 0;
    std::uint8_t hall = 0;
    std::uint8_t buttons = 0;
    std::uint16_t device_id = 0;
    std::uint8_t user_data = 0;  // bytes of user data
    std::uint8_t error_code = 0;
    float quaternion[4] = {};
    float battery = 0.0f;  // V; NaN but in a status block
};

struct Tables {
    Device device = Device::Arm;
    std::size_t frames = 0;
    std::vector<ExchangeRow> exchanges;
    std::vector<MessageRow> messages;
    std::size_t junk_frames = 0;
    std::size_t junk_bytes = 0;
    std::size_t unanswered = 0;  // requests that waited for an answer and got none
    std::size_t unmatched = 0;   // arm answers that no request waited for
};

// `first_frame` numbers the session's first frame, for a session cut from a longer one.
Tables Tabulate(const Session& session, std::size_t first_frame = 1);

// The names the command and message columns count into.
const std::vector<std::string>& CommandNames();
const std::vector<std::string>& MessageNames();

// Each column: its name, where it lies in its row, and its numpy type ("<f8", "<u4"...).
// A column of names is a "u1" into `names`, one of the lists above.
struct Column {
    const char* name;
    std::size_t offset;
    const char* type;
    const std::vector<std::string>* names = nullptr;
};
const std::vector<Column>& ExchangeColumns();
const std::vector<Column>& MessageColumns();

// Both layouts and the names as JSON, in the form numpy.dtype takes a layout.
std::string LayoutJson();

// The table a spreadsheet opens: the arm's exchanges, or the grip's messages. NaN is an empty
// cell; times keep every microsecond and floats every digit. False when writing failed.
bool WriteCsv(const Tables& tables, std::FILE* out);

}  // namespace Brivane::Trace
