from plim_ffi import Link

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
