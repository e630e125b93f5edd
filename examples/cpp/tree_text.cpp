#include "tree_text.hpp"

#include <cstdio>
#include <span>
#include <string_view>

namespace {

std::string format(const char* pattern, auto... args) {
  char text[128];
  std::snprintf(text, sizeof text, pattern, args...);
  return text;
}

std::string human_size(uint64_t size) {
  if (size < 1024) return format("%llu B", static_cast<unsigned long long>(size));
  double value = static_cast<double>(size) / 1024;
  for (const char* unit : {"KiB", "MiB"}) {
    if (value < 1024) return format("%.1f %s", value, unit);
    value /= 1024;
  }
  return format("%.1f GiB", value);
}

std::string shape_text(std::span<const uint32_t> shape) {
  std::string text = "(";
  for (size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
  return text + (shape.size() == 1 ? ",)" : ")");
}

std::string plural(uint64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string dtype_text(uint8_t code) {
  const auto dtype = vakra::dtype_from_code(code);
  return dtype ? std::string(vakra::dtype_name(*dtype)) : "unknown dtype code " + std::to_string(code);
}

// A bundle key quoted as Python's repr() quotes a printable string.
std::string quoted(vakra::ByteView key) {
  const std::string_view text(reinterpret_cast<const char*>(key.data()), key.size());
  const char quote = text.find('\'') != std::string_view::npos && text.find('"') == std::string_view::npos ? '"' : '\'';
  std::string out(1, quote);
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\' || c == quote) {
      out += {'\\', c};
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7f) {
      out += format("\\x%02x", byte);
    } else {
      out += c;
    }
  }
  return out + quote;
}

std::string scheme_text(const vakra::WalkedQuantized& quantized) {
  const std::string scales = plural(quantized.scale_count, "scale", "scales");
  switch (quantized.quant_scheme) {
    case 0: return "per-tensor, " + scales;
    case 1: return format("per-axis along axis %u, ", quantized.axis) + scales;
    case 2: return format("per-group of %u along axis %u, ", quantized.group_size, quantized.axis) + scales;
    default:
      return format("scheme %u, axis %u, group size %u, ", quantized.quant_scheme, quantized.axis,
                    quantized.group_size) +
             scales;
  }
}

std::string summary(const vakra::WalkedPacket& packet) {
  const std::string body = ", body " + human_size(packet.body().length);
  const std::string shape = shape_text(packet.shape());
  switch (packet.kind()) {
    case vakra::PacketKind::Bundle:
      return "bundle of " + plural(std::get<vakra::WalkedBundle>(packet.parts).entries.size(), "entry", "entries") +
             ", " + human_size(packet.length);
    case vakra::PacketKind::Sparse: {
      static const char* const names[] = {"coo", "csr", "csc"};
      return std::string("sparse ") + names[static_cast<int>(std::get<vakra::WalkedSparse>(packet.parts).format)] +
             " " + shape + ", " + human_size(packet.length);
    }
    case vakra::PacketKind::String:
      return "string tensor of " + plural(std::get<vakra::WalkedString>(packet.parts).count, "string", "strings") + body;
    case vakra::PacketKind::Ragged:
      return "ragged tensor of " + plural(std::get<vakra::WalkedRagged>(packet.parts).count, "string", "strings") + body;
    case vakra::PacketKind::Quantized:
      return "quantized " + dtype_text(packet.header.dtype_code) + " " + shape + ", " +
             scheme_text(std::get<vakra::WalkedQuantized>(packet.parts)) + body;
    case vakra::PacketKind::Inline:
      return "inline record" + body;
    case vakra::PacketKind::Dense:
      break;
  }
  return "dense " + dtype_text(packet.header.dtype_code) + " " + shape + body;
}

// The flags that describe how the body is stored; the kind bits show in the summary.
std::string body_flags(uint16_t flags) {
  static const std::pair<uint16_t, const char*> names[] = {
      {vakra::FLAG_ALIGNED, "aligned"},
      {vakra::FLAG_CUSTOM_ALIGN, "custom-align"},
      {vakra::FLAG_INTEGRITY, "integrity"},
      {vakra::FLAG_COMPRESSED, "compressed"},
  };
  std::string text;
  for (const auto& [bit, name] : names) {
    if (flags & bit) text += (text.empty() ? "" : ", ") + std::string(name);
  }
  return text.empty() ? text : "  [" + text + "]";
}

void render(const vakra::WalkedPacket& packet, vakra::ByteView bytes, const std::string& label, size_t depth,
            std::vector<std::string>& lines) {
  lines.push_back(std::string(2 * depth, ' ') + label + ": " + summary(packet) + body_flags(packet.header.flags));
  if (const auto* bundle = std::get_if<vakra::WalkedBundle>(&packet.parts)) {
    for (const vakra::WalkedEntry& entry : bundle->entries) {
      render(entry.packet, bytes, quoted(bytes.subspan(entry.key.offset, entry.key.length)), depth + 1, lines);
    }
  } else if (const auto* sparse = std::get_if<vakra::WalkedSparse>(&packet.parts)) {
    static const char* const coo[] = {"data", "row", "col"};
    static const char* const compressed[] = {"data", "indices", "indptr"};
    for (size_t i = 0; i < sparse->components.size(); ++i) {
      render(sparse->components[i], bytes, sparse->format == vakra::SparseFormat::coo ? coo[i] : compressed[i],
             depth + 1, lines);
    }
  }
}

}  // namespace

std::vector<std::string> render_tree(const vakra::WalkedPacket& packet, vakra::ByteView bytes, const std::string& label) {
  std::vector<std::string> lines;
  render(packet, bytes, label, 0, lines);
  return lines;
}
