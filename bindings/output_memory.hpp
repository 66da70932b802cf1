// Where a client's large outputs are received, per interpreter.
#pragma once

#include <Python.h>

#include "protocol/output.hpp"
#include "protocol/packet.hpp"

namespace kelpie::py {

// A new client's: on CPython, ASCII text is received straight into the str
// that will hold it (see StrMemory in output_memory.cpp), and other text
// into a block the client keeps mapped between calls (KeptMapping): its
// pages stay resident beside the str, as the receive buffer of any client
// that keeps one does, but the next large output lands in them without a
// page fault, which with the vector check is most of what receiving costs;
// on PyPy, which cannot resize a str made in C, all text into such a block.
TextMemory output_memory();

// Whether `output` is ASCII text received straight into a str.
bool received_into_str(const Output& output);
// That str, trimmed to the text (the output is empty after); null, with no
// error pending, when even trimming found no memory.
PyObject* take_received_str(Output& output);

}  // namespace kelpie::py
