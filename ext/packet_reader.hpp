// vakra._native.PacketReader: the packets of a stream, one per call, for
// vakra.Receiver and the stream readers of vakra.load and vakra.recv.
#pragma once

#include "pyref.hpp"
#include "python_api.hpp"

namespace vakra::ext {

// The type, made once when the module is created; nullptr with an exception set.
PyRef make_packet_reader_type();

}  // namespace vakra::ext
