"""Files a test puts straight into a simulated device's folder."""

import os


def put(sim, path, data):
    """Writes `data` (text or bytes) at the device path `path`, making its folders."""
    host = os.path.join(sim.device_dir, path.lstrip("/"))
    os.makedirs(os.path.dirname(host), exist_ok=True)
    with open(host, "wb") as f:
        f.write(data.encode() if isinstance(data, str) else data)
