// loads_rs: one packet held in any byte buffer back to a Python object.
#include "buffer_view.hpp"
#include "decode_to_python.hpp"
#include "errors.hpp"
#include "gil_release.hpp"
#include "signature.hpp"
#include "vakra/decode.hpp"
#include "vakra_rs_entry_points.hpp"

namespace vakra::ext {
namespace {

const Signature kLoads("loads_rs", arg("data", as_object));

// decode(), with the GIL released when the packet holds work that grows with
// its bodies: checksums to verify, or containers whose parts are checked.
// The caller holds the buffer's export throughout.
Result<Decoded> decode_unlocked(ByteView bytes) {
  const Result<PacketHeader> header = parse_header(bytes);
  GilReleased unlocked(header.ok() && decode_grows_with_bodies(*header) && worth_releasing(bytes.size()));
  return decode(bytes, CompressedBodies::View);
}

}  // namespace

PyObject* decode_to_object(PyObject* data, const BufferView& buffer, ByteView packet, Bfloat16 bfloat16) {
  DecodeSource source{data, buffer.data(), PyBytes_CheckExact(data) != 0};
  source.read_only_export = buffer.readonly();
  source.bfloat16 = bfloat16;
  return decode_source_to_object(source, packet);
}

PyObject* decode_source_to_object(const DecodeSource& source, ByteView packet) {
  // Compressed bodies come back as frames at any depth and are decompressed
  // into arrays of their own; everything else is a view of the source.
  Decoded decoded;
  if (!unwrap(decode_unlocked(packet), decoded)) return nullptr;
  PyRef result;
  if (!decoded_to_py(source, decoded, result)) return nullptr;
  if (!result) Py_RETURN_NONE;
  return result.release();
}

PyObject* loads_rs(PyObject*, PyObject* args, PyObject* kwargs) {
  return kLoads.call(args, kwargs, [](PyObject* data) -> PyObject* {
    // Held until the conversion is done: every view in the tree points into it.
    BufferView buffer;
    if (!buffer.acquire_bytes(data)) return nullptr;
    // vakra_rs leaves NumPy to refuse "bfloat16" until ml_dtypes is imported, as it always has.
    return decode_to_object(data, buffer, buffer.bytes(), Bfloat16::AsNumpyKnowsIt);
  });
}

}  // namespace vakra::ext
