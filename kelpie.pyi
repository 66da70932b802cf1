"""HDC Python module - HarmonyOS Device Connector client library"""

# Annotations stay unevaluated, so `str | None` also reads on Python 3.9.
from __future__ import annotations

from typing import Sequence, final

__all__ = ["HdcClient"]

@final
class HdcClient:
    """Python wrapper for HDC client"""

    def __new__(cls, addr: str) -> HdcClient: ...
    def list_targets(self) -> list[str]:
        """List all connected devices

        Returns:
            List of device IDs

        Example:
            >>> devices = client.list_targets()
            >>> print(devices)
            ['FMR0223C13000649']"""
    def connect_device(self, device_id: str) -> None:
        """Connect to a specific device

        Args:
            device_id: Device identifier

        Example:
            >>> client.connect_device("FMR0223C13000649")"""
    def shell(self, command: str) -> str:
        """Execute a shell command on the device

        Args:
            command: Shell command to execute

        Returns:
            Command output as string

        Example:
            >>> output = client.shell("ls -l /data")
            >>> print(output)"""
    def file_send(
        self,
        local_path: str,
        remote_path: str,
        compress: bool = False,
        hold_timestamp: bool = False,
        sync_mode: bool = False,
        mode_sync: bool = False,
    ) -> str:
        """Send a file to device

        Args:
            local_path: Local file path
            remote_path: Remote file path on device
            compress: Whether to compress during transfer (default: False)
            hold_timestamp: Whether to hold/preserve file timestamp (default: False)
            sync_mode: Only update newer files (default: False)
            mode_sync: Enable mode sync (default: False)

        Returns:
            Transfer result message

        Example:
            >>> result = client.file_send("local.txt", "/data/local/tmp/remote.txt")
            >>> print(result)"""
    def file_recv(
        self,
        remote_path: str,
        local_path: str,
        compress: bool = False,
        hold_timestamp: bool = False,
        sync_mode: bool = False,
        mode_sync: bool = False,
    ) -> str:
        """Receive a file from device

        Args:
            remote_path: Remote file path on device
            local_path: Local file path
            compress: Whether to compress during transfer (default: False)
            hold_timestamp: Whether to hold/preserve file timestamp (default: False)
            sync_mode: Only update newer files (default: False)
            mode_sync: Enable mode sync (default: False)

        Returns:
            Transfer result message

        Example:
            >>> result = client.file_recv("/data/local/tmp/remote.txt", "local.txt")
            >>> print(result)"""
    def fport(self, local: str, remote: str) -> str:
        """Create a forward port mapping (local -> device)

        Args:
            local: Local forward node (e.g., "tcp:8080")
            remote: Remote forward node (e.g., "tcp:8080")

        Returns:
            Forward result message

        Example:
            >>> result = client.fport("tcp:8080", "tcp:8080")
            >>> print(result)"""
    def rport(self, remote: str, local: str) -> str:
        """Create a reverse port mapping (device -> local)

        Args:
            remote: Remote forward node (e.g., "tcp:9090")
            local: Local forward node (e.g., "tcp:9090")

        Returns:
            Reverse forward result message

        Example:
            >>> result = client.rport("tcp:9090", "tcp:9090")
            >>> print(result)"""
    def fport_remove(self, task_str: str) -> str:
        """Remove a forward port mapping

        Args:
            task_str: Task string (e.g., "tcp:8080 tcp:8080")

        Returns:
            Remove result message

        Example:
            >>> result = client.fport_remove("tcp:8080 tcp:8080")
            >>> print(result)"""
    def install(self, packages: Sequence[str], replace: bool = False, shared: bool = False) -> str:
        """Install an application on the device

        Args:
            packages: List of package paths (.hap or .hsp files)
            replace: Replace existing application (default: False)
            shared: Install shared bundle for multi-apps (default: False)

        Returns:
            Install result message

        Example:
            >>> result = client.install(["app.hap"], replace=True)
            >>> print(result)"""
    def uninstall(self, package: str, keep_data: bool = False, shared: bool = False) -> str:
        """Uninstall an application from the device

        Args:
            package: Package name to uninstall
            keep_data: Keep the data and cache directories (default: False)
            shared: Remove shared bundle (default: False)

        Returns:
            Uninstall result message

        Example:
            >>> result = client.uninstall("com.example.app")
            >>> print(result)"""
    def hilog(self, args: str | None) -> str:
        """Get device logs (hilog)

        Args:
            args: Optional hilog arguments (e.g., "-t MyTag")

        Returns:
            Device logs as string

        Example:
            >>> logs = client.hilog()
            >>> print(logs)
            >>> # With filter
            >>> logs = client.hilog("-t MyTag")"""
    def wait_for_device(self) -> str:
        """Wait for a device to be connected

        Returns:
            Device ID of the connected device

        Example:
            >>> device_id = client.wait_for_device()
            >>> print(f"Device connected: {device_id}")"""
