"""Running a device test suite across a farm of HDC devices: pytest-xdist spreads the tests
over worker processes and this plugin gives each worker a device of its own. Installing
kelpie registers the plugin (kelpie_farm.plugin) with pytest; `HdcDevice` is what the
`hdc_device` fixture gives a test."""

from .device import HdcDevice

__all__ = ["HdcDevice"]
