"""Python Implementation of the Brivane Hardware API"""

# Types of the extension module for type checkers and editors. The classes, methods,
# overloads, argument names and defaults are those of the module's own signatures
# (tests/legacy/test_stubs.py compares the two). Two kinds of argument cannot be passed by keyword
# under a name written here, and are positional-only (before the "/"):
# - arguments the module leaves unnamed (arg0);
# - the request vectors of Kalvar, whose names have spaces in them ("force request vector"):
#   the name here has underscores instead.
# A vector argument is any sequence of numbers; the first three are used, fewer are refused.

import uuid
from typing import Any, Dict, List, Optional, Sequence, Tuple, Union, overload

__version__: str

# Position and velocity, or joint angles and joint velocities: three floats each.
_State = Tuple[List[float], List[float]]

class SerialStream:
    # The port: a str (a bare name such as "ttyACM0" means /dev/ttyACM0), bytes or bytearray.
    def __init__(self, arg0: Union[str, bytes, bytearray], /) -> None:
        """Initialize the serial stream"""

class UUID:
    def __init__(self) -> None: ...
    def bytes(self) -> List[int]: ...

# No constructor: the module never makes or takes one from Python.
class Device: ...

def get_cpp_version() -> str:
    """Get the version of the CPP library"""

def print_cpp_version() -> None:
    """Print the version of the CPP library"""

def detect_kalvars() -> List[str]:
    """detect available kalvar devices"""

def detect_handles() -> List[str]:
    """detect available handles"""

def detect_wired_handles() -> List[str]:
    """detect available wired handles"""

def detect_wireless_handles() -> List[str]:
    """detect available wireless handles"""

class Kalvar:
    """Kalvar Device Class"""

    def __init__(self, arg0: SerialStream, /) -> None: ...
    # (device_id, device_model_number, hardware_version, firmware_version, 16 id bytes)
    def device_wakeup(self) -> Tuple[int, int, int, int, List[int]]:
        """Wakeup the device and return the device info as a tuple."""
    # The same fields by name, device_id_ext as a uuid.UUID.
    def device_wakeup_dict(self) -> Dict[str, Any]:
        """Wakeup the device and return the device info as a dict."""
    def get_firmware_version(self) -> uuid.UUID:
        """Receive the firmware version of the device."""
    def get_device_id(self) -> uuid.UUID:
        """Receive the UUID of the device."""
    # Three floats.
    def get_motor_currents(self) -> List[float]:
        """Receive the motor currents of the device."""
    # Four floats.
    def get_device_orientation(self) -> List[float]:
        """Receive the orientation of the base of the device."""
    def get_power_status(self) -> bool:
        """Receive the power status of the device."""
    def get_temperature(self) -> float:
        """Receive the temperature of the device."""
    # The module's name of the argument: "force request vector".
    def end_effector_force(
        self, force_request_vector: Sequence[float] = [0.0, 0.0, 0.0], /
    ) -> _State:
        """Send forces to the device and receive device states"""
    def get_end_effector_position(self, onboard: bool = True) -> _State:
        """Get the end-effector position and velocity"""
    def adjust_angles(self, angles: Sequence[float] = [0.0, 0.0, 0.0]) -> None:
        """Adjust the angles of the device"""
    # The module's name of the argument: "joint torque request vector".
    def joint_torques(
        self, joint_torque_request_vector: Sequence[float] = [0.0, 0.0, 0.0], /
    ) -> _State:
        """Send joint torques to the device and receive the joint states"""
    # The module's name of the argument: "position request vector".
    def end_effector_position(
        self, position_request_vector: Sequence[float] = [0.0, 0.0, 0.0], /
    ) -> _State:
        """Send end-effector position and receive device states"""
    # The module's name of the argument: "joint angle request vector".
    def joint_angles(
        self, joint_angle_request_vector: Sequence[float] = [0.0, 0.0, 0.0], /
    ) -> _State:
        """Send joint angles to the device and receive the joint states"""

    # Deprecated: the two halves of the exchanges above, as separate calls.
    def SendDeviceWakeup(self) -> None:
        """[DEPRECATED] Send a device wakeup command"""
    def ReceiveDeviceInfo(self) -> Tuple[int, int, int, int, UUID]:
        """
        Receive device info and return a tuple with the following fields:

        device_id (uint16_t)

        device_model_num (uint8_t)

        hardware_version (uint8_t)

        firmware_version (uint8_t)

        device_id_ext (UUID)
        """
    @overload
    def SendForce(self, force: Sequence[float] = [0.0, 0.0, 0.0]) -> None:
        """[Deprecated] Send force to the device"""
    @overload
    def SendForce(self, ForceX: float = 0, ForceY: float = 0, ForceZ: float = 0) -> None:
        """[Deprecated] Send force to the device"""
    # Returns copies of the two lists with the received vectors over their first three items.
    def ReceiveState(
        self,
        position: Sequence[float] = [0.0, 0.0, 0.0],
        velocity: Sequence[float] = [0.0, 0.0, 0.0],
    ) -> _State:
        """[Deprecated] receive state and return position and velocity"""
    def ReceiveJointState(
        self,
        joint_position: Sequence[float] = [0.0, 0.0, 0.0],
        joint_velocity: Sequence[float] = [0.0, 0.0, 0.0],
    ) -> _State:
        """[Deprecated] receive joint state and return position and velocity in the joint reference frame"""
    def SendJointTorques(self, joint_torque: Sequence[float] = [0.0, 0.0, 0.0]) -> None:
        """[Deprecated] send joint torque"""
    def SendAngle(self, angle: Sequence[float] = [0.0, 0.0, 0.0]) -> None:
        """Send angles to the device"""
    def RequestCurrent(self) -> None:
        """request current"""
    def ReceiveCurrent(self, current: Sequence[float] = [0.0, 0.0, 0.0]) -> List[float]:
        """receive current and return current"""
    def SendPosition(self, position: Sequence[float] = [0.0, 0.0, 0.0]) -> None:
        """[Deprecated] Send Position to the device"""

class Handle:
    """The stavrin handle class"""

    def __init__(self, arg0: SerialStream, /) -> None: ...
    def SendDeviceWakeup(self) -> None: ...
    # user_data: one byte, or None for none; data_length may not exceed what is given.
    def SendHandleState(
        self, device_id: int = 0, data_length: int = 0, user_data: Optional[int] = None
    ) -> None:
        """send handle state"""
    def RequestStatus(self) -> None:
        """request handle status"""

    # The callbacks, for subclasses to override; on a plain Handle they do nothing. A subclass
    # must override OnReceiveHandleStatusMessage before Receive reaches it, and cannot call
    # the base's, which raises RuntimeError.
    def OnReceiveHandleInfo(
        self,
        tool_data_remaining: int,
        device_id: int,
        device_model_number: int,
        hardware_version: int,
        firmware_version: int,
    ) -> None:
        """OnReceiveHandleInfo"""
    # Called from Python it takes these types; an override receives the quaternion as a list
    # of four floats and user_data as a list of user_data_length ints.
    def OnReceiveHandleStatusMessage(
        self,
        device_id: int,
        quaternion: float,
        error_flag: int,
        hall_effect_sensor_level: int,
        user_data_length: int,
        user_data: int,
    ) -> None:
        """OnReceiveHandleStatusMessage"""
    def OnReceiveHandleErrorResponse(self, device_id: int, error_code: int) -> None:
        """OnReceiveHandleErrorResponse"""

    @overload
    def Receive(self) -> int:
        """Receive data from the handle"""
    @overload
    def Receive(self, obsolete: int) -> int:
        """[DEPRECATED] Receive current and return current"""
    # device_id, quaternion (four floats), error_flag, hall_effect_sensor_level, buttons,
    # battery_level
    def GetStavrinStatus(self) -> Dict[str, Any]:
        """Get the most recent Stavrin informations"""
