// Panel commands from outside the card program, as the card's other processes give
// them: the command is written into the panel record of a node of the shared tree,
// and the card takes it (and clears it) when it next aggregates that node.
#ifndef TVK_VUPANEL_H
#define TVK_VUPANEL_H

#include "Types.h"

#include <string>

namespace vupanel {

// Exit statuses shared with the reader tool.
constexpr int PANEL_OK = 0;
constexpr int PANEL_NO_SEGMENT = 1;   // no key file or no segment under the key
constexpr int PANEL_USAGE = 2;
constexpr int PANEL_UNREADABLE = 3;   // segment present but not usable as a tree
constexpr int PANEL_NO_NODE = 5;      // no node with that identifier

// Writes the delays first and the command byte last into node `id` ("SA.BA.M1") of
// the card whose working directory is `dir`. The segment is untrusted: only whole
// node slots inside it are looked at, identifiers are compared within their array.
int writePanel(const std::string &dir, const std::string &id, uint8 value, uint16 delayShut, uint16 delayReboot,
               std::string &err);

// Reads the pending command byte of node `id` (CMD_NONE once the card took it).
int readPanel(const std::string &dir, const std::string &id, uint8 &value, std::string &err);

// "on", "off", "shutdown", "reboot", "delete", "testbatt", "none" or a number 0..255.
bool parseCommand(const std::string &text, uint8 &value);

} // namespace vupanel

#endif
