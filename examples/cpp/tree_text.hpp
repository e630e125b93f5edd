// A walked packet as indented lines of text, the way `vakra info` prints it.
#pragma once

#include <string>
#include <vector>

#include <vakra/vakra.hpp>

// One line per packet, children indented under their container; `label`
// names the top packet (vakra info uses the file name).
std::vector<std::string> render_tree(const vakra::WalkedPacket& packet, const std::string& label);
