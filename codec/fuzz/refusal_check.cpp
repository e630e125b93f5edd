#include <vector>

#include "fuzz_check.hpp"
#include "refusals.hpp"
#include "vakra/plan.hpp"

namespace vakra::fuzz {
namespace {

template <class R>
void expect_refused(const R& result, const CodecError& expected) {
  FUZZ_CHECK(!result.ok() && result.error() == expected);
}

size_t bad_alignment(FuzzInput& in) {
  const size_t candidates[] = {0, 3, 48, 96, 65, 1000, size_t{1} << 40 | 1};
  return candidates[in.below(std::size(candidates))];
}

std::vector<uint32_t> ones(size_t ndim) { return std::vector<uint32_t>(ndim, 1); }

void expect_dense_refused(const DenseView& view, const EncodeOptions& options, const CodecError& expected) {
  expect_refused(plan_dense(view, options), expected);
}

void dense_refusals(FuzzInput& in) {
  const Dtype dtype = static_cast<Dtype>(in.below(15));
  const size_t size = element_size(dtype);
  std::vector<uint8_t> data(64 * 16, 7);
  std::vector<uint32_t> shape = {4, 2};
  EncodeOptions options;
  options.check_integrity = in.flag();
  options.compress = in.flag();
  switch (in.below(5)) {
    case 0:
      options.alignment = bad_alignment(in);
      expect_dense_refused({ByteView(data).first(8 * size), shape, dtype}, options, make_error(ErrorKind::Malformed));
      return;
    case 1: {  // one element byte too many or too few
      const size_t length = in.flag() ? 8 * size + 1 : 8 * size - 1;
      expect_dense_refused({ByteView(data).first(length), shape, dtype}, options, make_error(ErrorKind::Malformed));
      return;
    }
    case 2:
      shape = ones(MAX_NDIM + 1 + in.below(8));
      expect_dense_refused({ByteView(data).first(size), shape, dtype}, options,
                           make_error(ErrorKind::TooManyDimensions));
      return;
    case 3:  // every dimension at least 2^16: the product passes 10^9 or overflows
      shape.assign(2 + in.below(4), 0);
      for (uint32_t& dim : shape) dim = in.u32() | 0x10000;
      expect_dense_refused({ByteView(), shape, dtype}, options, make_error(ErrorKind::TooManyElements));
      return;
    default: {  // codes without an element size: qint4, quint4, string, bytes
      const Dtype sizeless = static_cast<Dtype>(static_cast<uint8_t>(Dtype::Qint4) + in.below(4));
      expect_dense_refused({ByteView(data).first(8), shape, sizeless}, options,
                           make_error(ErrorKind::UnknownDtype, dtype_code(sizeless)));
      return;
    }
  }
}

void sparse_refusals(FuzzInput& in) {
  std::vector<uint8_t> data(16, 1);
  const std::vector<uint32_t> two = {2};
  std::vector<DenseView> components(3, DenseView{ByteView(data).first(8), two, Dtype::Float32});
  std::vector<uint32_t> shape = {2, 2};
  CodecError expected = make_error(ErrorKind::Malformed);
  switch (in.below(4)) {
    case 0: components.resize(in.flag() ? 2 : 4); break;
    case 1: shape = ones(MAX_NDIM + 1); expected = make_error(ErrorKind::TooManyDimensions); break;
    case 2:
      components[in.below(3)].dtype = Dtype::Qint4;
      expected = make_error(ErrorKind::UnknownDtype, dtype_code(Dtype::Qint4));
      break;
    default: components[in.below(3)].data = ByteView(data).first(7); break;
  }
  const SparseFormat format = static_cast<SparseFormat>(in.below(3));
  expect_refused(plan_sparse(format, shape, components), expected);
}

void bundle_refusals(FuzzInput& in) {
  static const uint8_t kEmptyBundle[] = {'V', 'K', 'R', 'A', 4, 0x10, 0, 0, 0, 0};
  BundlePlan plan;
  plan.entries.resize(MAX_BUNDLE_ENTRIES + 1 + in.below(50));
  for (BundlePlanEntry& entry : plan.entries) entry.packet.node = RawPacket{kEmptyBundle};
  expect_refused(finish_bundle_plan(plan), make_error(ErrorKind::TooManyBundleEntries));
}

void string_refusals(FuzzInput& in) {
  std::vector<uint64_t> offsets = {0, 2, 3, 3};
  std::vector<uint8_t> payload = {'a', 'b', 'c'};
  uint32_t count = 3;
  switch (in.below(4)) {
    case 0: offsets[0] = 1 + in.below(3); break;
    case 1: offsets[1] = 4; break;  // then 4 > 3: decreasing
    case 2: payload.push_back('d'); break;
    default: count = in.flag() ? 2 : 4; break;
  }
  expect_refused(plan_string(count, offsets, payload, in.flag()), make_error(ErrorKind::Malformed));
}

void quantized_refusals(FuzzInput& in) {
  std::vector<uint8_t> bytes(64, 3);
  const std::vector<uint32_t> shape = {3, 3};
  QuantizedView view{shape, ByteView(bytes).first(8), ByteView(bytes).first(8), ByteView(bytes).first(9), 4, 1, 0,
                     static_cast<Dtype>(static_cast<uint8_t>(Dtype::Qint8) + in.below(2))};
  EncodeOptions options;
  options.check_integrity = in.flag();
  CodecError expected = make_error(ErrorKind::Malformed);
  switch (in.below(5)) {
    case 0: options.alignment = bad_alignment(in); break;
    case 1: {
      const uint8_t codes[] = {1, 2, 5, 9, 15, 20, 21};
      view.dtype = static_cast<Dtype>(codes[in.below(std::size(codes))] - 1);
      expected = make_error(ErrorKind::UnknownDtype, dtype_code(view.dtype));
      break;
    }
    case 2: view.zero_points = ByteView(bytes).first(in.flag() ? 4 : 12); break;
    case 3: view.scales = view.zero_points = ByteView(bytes).first(6); break;
    default: view.data = ByteView(bytes).first(in.below(9)); break;
  }
  expect_refused(plan_quantized(view, options), expected);
}

}  // namespace

void check_refusals(FuzzInput& in) {
  switch (in.below(5)) {
    case 0: dense_refusals(in); break;
    case 1: sparse_refusals(in); break;
    case 2: bundle_refusals(in); break;
    case 3: string_refusals(in); break;
    default: quantized_refusals(in); break;
  }
}

}  // namespace vakra::fuzz
