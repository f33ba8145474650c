from plim_link import PlimClient

with PlimClient("sim://") as client:
    scan = client.latest("Scan")
    if scan is not None:
        wheels = scan["DriveBaseState"]  # E: typeddict-item
    state = client.recv_match("State")
    if state is not None:
        uid: int = state["State"]["uid"]  # E: assignment
    client.recv(timeout="1")  # E: arg-type
    client.subscribe(maxlen="many")  # E: arg-type
    link_up: int = client.link_state  # E: assignment
