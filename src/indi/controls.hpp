// The camera's controls as the SDK describes them, read once at connection.
#pragma once

#include <string>
#include <vector>

namespace asi {

struct Control {
    int type;
    std::string name;      // the SDK's name, spaces made underscores: an INDI element name
    std::string label;     // the SDK's description
    long min, max, def;
    bool can_auto, writable;
};

// Every control the camera reports, in its order; empty with `code` set on failure.
std::vector<Control> read_controls(int camera_id, int &code);

const Control *find(const std::vector<Control> &controls, int type);

// Controls that have their own standard property or that the driver keeps fixed:
// they stay out of the generic controls vector.
bool has_own_property(int type);

}  // namespace asi
