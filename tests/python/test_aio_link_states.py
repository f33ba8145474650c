"""AsyncPlimClient.link_states(): the state now, then each change once, in order, until "ended"."""
import asyncio

from client_support import WAIT_S, device_frame, fake_plim  # noqa: F401
from test_client import scan


def test_each_link_state_comes_once_in_order_until_ended(fake_plim):
    from plim_link import aio

    async def run():
        client = await aio.connect(fake_plim.url, link_timeout_s=0.2, heartbeat_s=60)
        states = client.link_states()
        seen = [await anext(states)]
        fake_plim.wait_for_host()
        for points in range(3):  # one change, however many messages
            fake_plim.send(device_frame(scan(points)))
        seen.append(await asyncio.wait_for(anext(states), WAIT_S))
        seen.append(await asyncio.wait_for(anext(states), WAIT_S))  # nothing more came: down
        late = client.link_states()
        seen_late = [await anext(late)]
        fake_plim.send(device_frame("Pong"))
        seen.append(await asyncio.wait_for(anext(states), WAIT_S))
        await client.close()
        seen += [state async for state in states]
        seen_late += [state async for state in late]
        after = [state async for state in client.link_states()]
        return seen, seen_late, after, len(client._state_queues)
    seen, late, after, left = asyncio.run(run())
    assert seen == ["connecting", "up", "down", "up", "ended"]
    assert late == ["down", "up", "ended"] and after == ["ended"] and left == 0
