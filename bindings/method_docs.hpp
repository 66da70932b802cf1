// The text signature and docstring of each HdcClient method, stored together
// as the interpreter expects: "name($self, ...)\n--\n\n" then the docstring.
#pragma once

namespace kelpie::py::docs {

inline constexpr const char* list_targets =
    "list_targets($self)\n"
    "--\n"
    "\n"
    "List all connected devices\n"
    "\n"
    "Returns:\n"
    "    List of device IDs\n"
    "\n"
    "Example:\n"
    "    >>> devices = client.list_targets()\n"
    "    >>> print(devices)\n"
    "    ['FMR0223C13000649']";

inline constexpr const char* connect_device =
    "connect_device($self, device_id)\n"
    "--\n"
    "\n"
    "Connect to a specific device\n"
    "\n"
    "Args:\n"
    "    device_id: Device identifier\n"
    "\n"
    "Example:\n"
    "    >>> client.connect_device(\"FMR0223C13000649\")";

inline constexpr const char* shell =
    "shell($self, command)\n"
    "--\n"
    "\n"
    "Execute a shell command on the device\n"
    "\n"
    "Args:\n"
    "    command: Shell command to execute\n"
    "\n"
    "Returns:\n"
    "    Command output as string\n"
    "\n"
    "Example:\n"
    "    >>> output = client.shell(\"ls -l /data\")\n"
    "    >>> print(output)";

inline constexpr const char* file_send =
    "file_send($self, local_path, remote_path, compress=False, hold_timestamp=False, sync_mode=False, mode_sync=False)\n"
    "--\n"
    "\n"
    "Send a file to device\n"
    "\n"
    "Args:\n"
    "    local_path: Local file path\n"
    "    remote_path: Remote file path on device\n"
    "    compress: Whether to compress during transfer (default: False)\n"
    "    hold_timestamp: Whether to hold/preserve file timestamp (default: False)\n"
    "    sync_mode: Only update newer files (default: False)\n"
    "    mode_sync: Enable mode sync (default: False)\n"
    "\n"
    "Returns:\n"
    "    Transfer result message\n"
    "\n"
    "Example:\n"
    "    >>> result = client.file_send(\"local.txt\", \"/data/local/tmp/remote.txt\")\n"
    "    >>> print(result)";

inline constexpr const char* file_recv =
    "file_recv($self, remote_path, local_path, compress=False, hold_timestamp=False, sync_mode=False, mode_sync=False)\n"
    "--\n"
    "\n"
    "Receive a file from device\n"
    "\n"
    "Args:\n"
    "    remote_path: Remote file path on device\n"
    "    local_path: Local file path\n"
    "    compress: Whether to compress during transfer (default: False)\n"
    "    hold_timestamp: Whether to hold/preserve file timestamp (default: False)\n"
    "    sync_mode: Only update newer files (default: False)\n"
    "    mode_sync: Enable mode sync (default: False)\n"
    "\n"
    "Returns:\n"
    "    Transfer result message\n"
    "\n"
    "Example:\n"
    "    >>> result = client.file_recv(\"/data/local/tmp/remote.txt\", \"local.txt\")\n"
    "    >>> print(result)";

inline constexpr const char* fport =
    "fport($self, local, remote)\n"
    "--\n"
    "\n"
    "Create a forward port mapping (local -> device)\n"
    "\n"
    "Args:\n"
    "    local: Local forward node (e.g., \"tcp:8080\")\n"
    "    remote: Remote forward node (e.g., \"tcp:8080\")\n"
    "\n"
    "Returns:\n"
    "    Forward result message\n"
    "\n"
    "Example:\n"
    "    >>> result = client.fport(\"tcp:8080\", \"tcp:8080\")\n"
    "    >>> print(result)";

inline constexpr const char* rport =
    "rport($self, remote, local)\n"
    "--\n"
    "\n"
    "Create a reverse port mapping (device -> local)\n"
    "\n"
    "Args:\n"
    "    remote: Remote forward node (e.g., \"tcp:9090\")\n"
    "    local: Local forward node (e.g., \"tcp:9090\")\n"
    "\n"
    "Returns:\n"
    "    Reverse forward result message\n"
    "\n"
    "Example:\n"
    "    >>> result = client.rport(\"tcp:9090\", \"tcp:9090\")\n"
    "    >>> print(result)";

inline constexpr const char* fport_remove =
    "fport_remove($self, task_str)\n"
    "--\n"
    "\n"
    "Remove a forward port mapping\n"
    "\n"
    "Args:\n"
    "    task_str: Task string (e.g., \"tcp:8080 tcp:8080\")\n"
    "\n"
    "Returns:\n"
    "    Remove result message\n"
    "\n"
    "Example:\n"
    "    >>> result = client.fport_remove(\"tcp:8080 tcp:8080\")\n"
    "    >>> print(result)";

inline constexpr const char* install =
    "install($self, packages, replace=False, shared=False)\n"
    "--\n"
    "\n"
    "Install an application on the device\n"
    "\n"
    "Args:\n"
    "    packages: List of package paths (.hap or .hsp files)\n"
    "    replace: Replace existing application (default: False)\n"
    "    shared: Install shared bundle for multi-apps (default: False)\n"
    "\n"
    "Returns:\n"
    "    Install result message\n"
    "\n"
    "Example:\n"
    "    >>> result = client.install([\"app.hap\"], replace=True)\n"
    "    >>> print(result)";

inline constexpr const char* uninstall =
    "uninstall($self, package, keep_data=False, shared=False)\n"
    "--\n"
    "\n"
    "Uninstall an application from the device\n"
    "\n"
    "Args:\n"
    "    package: Package name to uninstall\n"
    "    keep_data: Keep the data and cache directories (default: False)\n"
    "    shared: Remove shared bundle (default: False)\n"
    "\n"
    "Returns:\n"
    "    Uninstall result message\n"
    "\n"
    "Example:\n"
    "    >>> result = client.uninstall(\"com.example.app\")\n"
    "    >>> print(result)";

inline constexpr const char* hilog =
    "hilog($self, args)\n"
    "--\n"
    "\n"
    "Get device logs (hilog)\n"
    "\n"
    "Args:\n"
    "    args: Optional hilog arguments (e.g., \"-t MyTag\")\n"
    "\n"
    "Returns:\n"
    "    Device logs as string\n"
    "\n"
    "Example:\n"
    "    >>> logs = client.hilog()\n"
    "    >>> print(logs)\n"
    "    >>> # With filter\n"
    "    >>> logs = client.hilog(\"-t MyTag\")";

inline constexpr const char* wait_for_device =
    "wait_for_device($self)\n"
    "--\n"
    "\n"
    "Wait for a device to be connected\n"
    "\n"
    "Returns:\n"
    "    Device ID of the connected device\n"
    "\n"
    "Example:\n"
    "    >>> device_id = client.wait_for_device()\n"
    "    >>> print(f\"Device connected: {device_id}\")";

}  // namespace kelpie::py::docs
