#pragma once

#include <string>
#include <vector>

#include "../base/ErrorLine.h"
#include "../io/SerialDeviceProvider.h"
#include "Device.h"
#include "DeviceInfo.h"
#include "HandleMessages.h"

namespace Brivane::HardwareAPI::Devices {

// How long detection gives a device. A probe's device reads with `device_timeout`; the
// check waits `kalvar_wait` or `handle_wait` for the probe job, and an answer that comes
// later does not count (the job is still waited for).
struct ProbeTimes {
    float device_timeout = 5.0f;
    double kalvar_wait = 3.0;
    double handle_wait = 5.0;
};

// The port names on which the device answered, in the order of EnumerateSerialPorts. The
// ports are probed one after the other; each call blocks until every probe has ended.
std::vector<std::string> DetectKalvars();          // USB serial ports
std::vector<std::string> DetectHandles();          // ports of every kind
std::vector<std::string> DetectWiredHandles();     // wired serial ports
std::vector<std::string> DetectWirelessHandles();  // Bluetooth serial ports

// The same over a given port list.
std::vector<std::string> DetectKalvars(const std::vector<IO::SerialPortInfo>& ports,
                                       const ProbeTimes& times = {});
std::vector<std::string> DetectHandles(const std::vector<IO::SerialPortInfo>& ports,
                                       const ProbeTimes& times = {});
std::vector<std::string> DetectWiredHandles(const std::vector<IO::SerialPortInfo>& ports,
                                            const ProbeTimes& times = {});
std::vector<std::string> DetectWirelessHandles(const std::vector<IO::SerialPortInfo>& ports,
                                               const ProbeTimes& times = {});

// One port, probed by a job on another thread: true when the device answered in time.
bool IsKalvarPort(const char* port, const ProbeTimes& times = {});
bool IsHandlePort(const char* port, const ProbeTimes& times = {});

// The probe jobs: open the port, send the wake-up byte, judge the first answer, close.
// 1 for an arm of model 4, or for a grip that answered with its information or a status
// message; else 0.
int ProbeKalvar(const char* port, float device_timeout = 5.0f);
int ProbeHandle(const char* port, float device_timeout = 5.0f);

// How an identification waits once its port is open: each read up to the time-out (the
// probes above), or the whole exchange within it.
enum class ProbeLimit : bool { PerRead, Whole };

// The one identification of a port, which the probes above make and the brivane package's
// too: opens `port` (its faults written as error lines or not, as `output` says), wakes the
// device and reads what it says of itself within `timeout` seconds as `limit` says, then
// closes the port. What the device's identify() returned, with `info` or `identity`
// written as it writes them; a port that does not open is LineLost, with the system's
// error number.
Outcome IdentifyKalvarPort(const char* port, double timeout, ProbeLimit limit, DeviceInfo& info,
                           ErrorOutput output = ErrorOutput::Lines);
Outcome IdentifyHandlePort(const char* port, double timeout, ProbeLimit limit,
                           GripIdentity& identity, ErrorOutput output = ErrorOutput::Lines);

}  // namespace Brivane::HardwareAPI::Devices
