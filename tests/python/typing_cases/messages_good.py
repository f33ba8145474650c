import json

from plim_link.messages import DEVICE_MESSAGE_KINDS, DeviceMessage, HostMessage, TestStatus

message: DeviceMessage = json.loads('{"DriveBaseState":{"left":{"effort_percent":1.0,"velocity_rad_per_s":3.0,'
                                    '"position_rad":0.5},"right":{"effort_percent":null,"velocity_rad_per_s":-0.1,'
                                    '"position_rad":1e-7}}}')
if isinstance(message, dict) and "DriveBaseState" in message:
    velocity: float | None = message["DriveBaseState"]["left"]["velocity_rad_per_s"]
elif isinstance(message, dict) and "State" in message:
    connection = message["State"]["current_network_connection"]
    if connection is not None and "Err" in connection and isinstance(connection["Err"], dict):
        reason: str = connection["Err"]["Other"]
    status: TestStatus = message["State"]["built_in_test"]["power"][0]["result"]
    strength: int = message["State"]["available_network_connections"][0]["strength"]
elif not isinstance(message, str) and "Scan" in message:
    angles = [point["angle_rad"] for point in message["Scan"]]
elif message == "Ping":
    answer: HostMessage = "Pong"
kinds: tuple[str, ...] = DEVICE_MESSAGE_KINDS

commands: list[HostMessage] = [
    "Ping", {"Pong": None}, "RequestNetworkScan", {"SetUid": ["A1"]}, {"SetUid": {"uid": "A1"}},
    {"SetDriveBaseVelocity": (1.5, -1.5)}, {"SetDriveBaseVelocity": [0.0, 0.0]},
    {"SetDriveBaseVelocity": {"left_velocity_rad_per_s": 1.5, "right_velocity_rad_per_s": -1.5}},
    {"SetNetworkConnectionConfig": {"ssid": "lab", "password": ""}},
]
