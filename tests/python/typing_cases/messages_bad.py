import json

from plim_link.messages import DeviceMessage, HostMessage, TestStatus

message: DeviceMessage = json.loads('"Ping"')
if isinstance(message, dict) and "DriveBaseState" in message:
    message["DriveBaseState"]["left"]["velocity_rad_per_sec"]  # E: typeddict-item
    message["DriveBaseState"]["middle"]  # E: typeddict-item
    position: float = message["DriveBaseState"]["left"]["position_rad"]  # E: assignment
if isinstance(message, dict) and "Scan" in message:
    message["DriveBaseState"]  # E: typeddict-item
    quality: str = message["Scan"][0]["quality"]  # E: assignment

status: TestStatus = "Passed"  # E: assignment
device_ping: DeviceMessage = {"Ping": None}  # E: assignment
not_sent: HostMessage = "Scan"  # E: assignment
wrong_key: HostMessage = {"SetUid": {"id": "A1"}}  # E: assignment
wrong_type: HostMessage = {"SetDriveBaseVelocity": [1.5, "fast"]}  # E: assignment
too_many: HostMessage = {"SetDriveBaseVelocity": (1.5, -1.5, 0.0)}  # E: assignment
