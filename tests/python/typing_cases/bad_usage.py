from plim_ffi import Link, ObjectLink

link = Link(1)  # E: call-arg
link.send(5)  # E: arg-type
link.send(b'"Ping"')  # E: arg-type
link.send()  # E: call-arg
packet: str = link.poll_transmit()  # E: assignment
link.handle_receive(data="[]")  # E: call-arg
link.poll_receive(True)  # E: call-arg
size = len(link.poll_receive())  # E: arg-type
link.close()  # E: attr-defined


class Tuned(Link):  # E: misc
    pass

objects = ObjectLink()
objects.send(5)  # E: arg-type
objects.handle_receive("[1,0]")  # E: arg-type
raw: str = objects.poll_transmit()  # E: assignment
objects.poll_receive(1)  # E: call-arg
received = objects.poll_receive()
if isinstance(received, dict) and "DriveBaseState" in received:
    received["DriveBaseState"]["left"]["velocity"]  # E: typeddict-item
objects.skipped_frames = 0  # E: misc
