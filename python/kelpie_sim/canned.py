"""Canned shell answers: output a test gives for command lines, by exact text or pattern."""

import collections
import re

Answer = collections.namedtuple("Answer", "device exact pattern output packet_size")


class Answers:
    """The answers a test gave. A device's own answers come before those for every device;
    among equals the latest wins, so a test can change an answer halfway."""

    def __init__(self):
        self._answers = []

    def add(self, command, output, device=None, regex=False, flags=0, packet_size=None):
        if packet_size is not None and packet_size < 1:
            raise ValueError("packet_size must be at least 1")
        pattern = re.compile(command, flags) if regex else None
        self._answers.append(Answer(device, None if regex else command, pattern, output, packet_size))

    def find(self, device, line):
        for own in (True, False):
            for answer in reversed(self._answers):
                if (answer.device == device) if own else (answer.device is None):
                    if answer.exact == line if answer.pattern is None else answer.pattern.fullmatch(line):
                        return answer
        return None


async def play(answer, stream):
    """Writes the answer's output to a shell stream, in pieces of packet_size bytes if it has one."""
    data = answer.output.encode("utf-8")
    step = answer.packet_size or len(data) or 1
    for start in range(0, len(data), step):
        await stream.write(data[start:start + step])
