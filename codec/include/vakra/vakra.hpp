// The whole public codec API in one include.
//
// Encoding is plan first, then write: plan_dense, plan_sparse, plan_string,
// plan_quantized and bundle plans validate their input and fix the exact
// packet length (compressing a body if asked) before anything is written;
// write_plan then writes the packet into a caller's span, or plan_segments
// hands it out as owned pieces and views of the bodies for vectored output.
// Decoding walks the packet, verifies it and returns views that borrow the
// caller's bytes (decode_owned returns values in memory of their own); the
// walker (walk.hpp) measures and describes a packet without touching its
// bodies, also from a prefix of a stream (PacketMeter resumes as more
// arrives); FrameAssembly (frames.hpp) decodes a packet handed over in
// pieces; ModelFileWriter and read_model_record (model_file.hpp) write and
// read model files, named values each readable on its own. Every fallible call returns Result<T> or Status carrying a CodecError; nothing
// throws, prints or aborts. Any function may run on any thread at the same
// time as any other, as long as no thread writes bytes another call reads or
// writes; the one process-wide setting is the worker count (threads.hpp).
#pragma once

#include "vakra/bytes.hpp"
#include "vakra/error.hpp"
#include "vakra/result.hpp"

#include "vakra/dtype.hpp"
#include "vakra/header.hpp"

#include "vakra/dense.hpp"
#include "vakra/plan.hpp"
#include "vakra/quantized.hpp"
#include "vakra/segments.hpp"

#include "vakra/decode.hpp"
#include "vakra/frames.hpp"
#include "vakra/walk.hpp"

#include "vakra/model_file.hpp"

#include "vakra/threads.hpp"
