"""A simulated plim for exercising `plim_ffi.Link` over a real local socket."""
from .messages import decode_host_message, encode_device_message
from .robot import Robot, RobotConfig
from .simulator import PlimSimulator, SimConfig, udp_pair
from .wire import cobs_decode, cobs_encode, encode_frame, split_packets

__all__ = [
    "PlimSimulator", "Robot", "RobotConfig", "SimConfig", "cobs_decode", "cobs_encode",
    "decode_host_message", "encode_device_message", "encode_frame", "split_packets", "udp_pair",
]
