"""kelpie's HDC host server simulator: simulated devices for trying kelpie and testing code
that uses it without hardware. `kelpie-sim` runs it; `Simulator` runs and scripts it from a
test; the pytest plugin offers it as the `hdc_sim` fixture."""

from .simulator import Simulator, SimulatorError

__all__ = ["Simulator", "SimulatorError"]
