// The grip's outcome-returning reads, under a deadline: receive() message after message, and
// status(), each over the same bytes. A message it calls whole is whole (its user data
// within what came), a failed read leaves the message empty, and `received` never holds
// more than it counts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "FuzzLine.h"
#include "devices/Handle.h"

using namespace Brivane::HardwareAPI;
using Devices::HandleMessage;
using Devices::Outcome;

namespace {

void Check(bool holds) {
    if (!holds) std::abort();
}

void CheckReceived(const Outcome& outcome) {
    Check(outcome.received_length <= outcome.received.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fuzzing::FuzzLine& line = Fuzzing::FuzzLine::Get();
    unsigned sum = 0;

    line.Load(data, size);
    {
        Devices::Handle grip(&line.stream(), Fuzzing::kTimeout);
        for (int read = 0; read < 64 && line.stream().Available() > 0; ++read) {
            HandleMessage message;
            const Outcome outcome = grip.receive(message, Deadline::After(0.002));
            CheckReceived(outcome);
            Check(outcome.answered() == (message.kind != HandleMessage::Kind::None));
            if (message.kind == HandleMessage::Kind::Status) {
                const Devices::HandleStatusMessage& status = message.status;
                for (std::uint8_t i = 0; i < status.user_data_length; ++i)
                    sum += status.user_data[i];
            }
        }
    }

    line.Load(data, size);
    {
        Devices::Handle grip(&line.stream(), Fuzzing::kTimeout);
        Devices::StavrinStatus status{};
        const Outcome outcome = grip.status(status, Deadline::After(0.002));
        CheckReceived(outcome);
        if (!outcome.answered()) Check(status.device_id == 0 && status.battery_level == 0.0f);
        if (outcome.answered()) Check(status.battery_level >= 3.0f && status.battery_level <= 4.3f);
    }
    return sum == 0xFFFFFFFFu ? -1 : 0;  // every user-data byte was read
}
