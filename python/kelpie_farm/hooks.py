"""The farm's hook for a suite's conftest.py."""


def pytest_hdc_device_ready(device):
    """Called in the process that runs tests when it takes a device, before the first test
    there that uses it (again for a spare taken after a loss), for once-per-device set-up
    such as installing the app under test. `device` is a kelpie_farm.HdcDevice whose client
    is its own. It counts towards that test's deadline; an exception fails that test, and
    the hook is called again before the next one."""
