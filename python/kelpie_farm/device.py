"""What a test gets from the `hdc_device` fixture."""


class HdcDevice:
    """One device of the farm, for one test: `client` is a kelpie.HdcClient of its own, bound
    to the device (connect_device done); `serial` is the device's identifier and `server`
    the "HOST:PORT" of the HDC server it is attached to."""

    __slots__ = ("client", "serial", "server")

    def __init__(self, client, serial, server):
        self.client = client
        self.serial = serial
        self.server = server

    def __repr__(self):
        return "<HdcDevice %s on %s>" % (self.serial, self.server)
