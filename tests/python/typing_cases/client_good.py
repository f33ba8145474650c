import asyncio

from plim_link import PlimClient, Timed, aio
from plim_link.messages import LidarPoint

with PlimClient("sim://") as client:
    scan = client.latest("Scan")
    if scan is not None:
        sweep: list[LidarPoint] = scan["Scan"]
    state = client.recv_match("DriveBaseState", 1.0)
    if state is not None:
        velocity: float | None = state["DriveBaseState"]["left"]["velocity_rad_per_s"]
    ping = client.latest("Ping")
    if ping is not None:
        word: str = ping.upper()
    for kind in client.stats.received_by_kind:
        anything = client.latest(kind)
    timed: Timed | None = client.recv_timed(0.5)
    if timed is not None:
        when: float = timed.time
    with client.subscribe(["Scan", "State"], maxlen=100) as sub:
        lost: int = sub.dropped


async def main() -> None:
    async with await aio.connect("sim://") as plim:
        imu = await plim.recv_match("ImuMeasurement")
        if imu is not None:
            rate: float | None = imu["ImuMeasurement"]["gyro"]["z"]
        async for message in plim.subscribe():
            break

asyncio.run(main())
