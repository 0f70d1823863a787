#!/usr/bin/env python3
"""Finding devices.

    detect.py                  # the machine's serial ports
    detect.py PORT...          # and these ports too
    detect.py --simulate       # and a simulated arm and grip
    detect.py --scan kalvars   # only the arm scan (a silent port costs a grip scan 5 s)

detect_kalvars() and the detect_*_handles() functions probe the machine's serial ports:
USB serial ports for arms; USB, wired and Bluetooth ports for grips. Each probe opens the
port, sends the wake-up byte and judges the first answer. A port that another program (or
this one) holds open is skipped.

Pseudo-terminals, such as the simulator's, are not serial ports and are not listed; a
port given by name is probed here the same way, from Python: first as a grip (an arm's
answer tells at once that it is none), then as an arm. A silent port costs the device
timeout (5 s) for the grip probe and twice that for the arm probe.
"""
import argparse
import sys
import time

from simulator import REPOSITORY, Simulator

try:
    import BrivaneHardwareAPI as api
except ImportError:
    sys.path.insert(0, str(REPOSITORY / "build" / "python"))
    import BrivaneHardwareAPI as api

KALVAR_MODEL = 4


class Probe(api.Handle):
    """A grip that notes whether it answered with its information or a status."""

    answered = False

    def OnReceiveHandleInfo(self, *fields):
        self.answered = True

    def OnReceiveHandleStatusMessage(self, *fields):
        self.answered = True


def is_grip(port: str) -> bool:
    probe = Probe(api.SerialStream(port))
    probe.SendDeviceWakeup()
    probe.Receive()
    return probe.answered  # the port closes with the probe


def is_arm(port: str) -> bool:
    arm = api.Kalvar(api.SerialStream(port))
    return arm.device_wakeup()[1] == KALVAR_MODEL


def identify(port: str) -> str:
    if is_grip(port):
        return "Handle"
    # What the device said to the grip probe is discarded when the port closes; the
    # simulator does so a moment after it sees the close.
    time.sleep(0.1)
    if is_arm(port):
        return "Kalvar"
    return "nothing"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("ports", nargs="*", help="ports to probe by name")
    parser.add_argument("--simulate", action="store_true",
                        help="start a simulated arm and grip and probe them too")
    parser.add_argument("--scan", choices=("all", "kalvars", "none"), default="all",
                        help="which detect functions to run (default all)")
    args = parser.parse_args()

    scans = {"all": ("detect_kalvars", "detect_handles", "detect_wired_handles",
                     "detect_wireless_handles"),
             "kalvars": ("detect_kalvars",), "none": ()}
    for name in scans[args.scan]:
        start = time.perf_counter()
        found = getattr(api, name)()
        print(f"{name + '()':28} {found}  ({time.perf_counter() - start:.2f} s)")

    simulators = [Simulator("arm"), Simulator("grip")] if args.simulate else []
    try:
        ports = args.ports + [simulator.port for simulator in simulators]
        for port in ports:
            print(f"{port:28} {identify(port)}")
    finally:
        for simulator in simulators:
            simulator.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
