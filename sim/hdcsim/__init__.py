"""A simulated HDC host server with simulated devices, for trying kelpie without hardware."""
