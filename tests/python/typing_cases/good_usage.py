import plim_ffi
from plim_ffi import Link, ObjectLink

link = Link()
link.send('"Ping"')
link.send(message='{"SetUid":["A1"]}')
packet: str | None = link.poll_transmit()
while packet is not None:
    link.handle_receive(packet)
    link.handle_receive(packet=packet)
    packet = link.poll_transmit()
reply = link.poll_receive()
length: int = len(reply) if reply is not None else 0
exported: list[str] = plim_ffi.__all__
version: str = plim_ffi.__version__

objects = ObjectLink()
objects.send("Ping")
objects.send(message={"SetUid": {"uid": "A1"}})
raw: bytes | None = objects.poll_transmit()
if raw is not None:
    objects.handle_receive(raw)
    objects.handle_receive(packet=bytearray(raw))
    objects.handle_receive(memoryview(raw))
received = objects.poll_receive()
if isinstance(received, dict) and "DriveBaseState" in received:
    speed: float | None = received["DriveBaseState"]["left"]["velocity_rad_per_s"]
skipped: int = objects.skipped_frames
