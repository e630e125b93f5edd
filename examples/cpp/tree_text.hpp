// A walked packet as indented lines of text, the way `vakra info` prints it.
#pragma once

#include <string>
#include <vector>

#include <vakra/vakra.hpp>

// One line per packet, children indented under their container; `bytes` are
// the walked bytes (the keys are read from them) and `label` names the top
// packet (vakra info uses the file name).
std::vector<std::string> render_tree(const vakra::WalkedPacket& packet, vakra::ByteView bytes, const std::string& label);
