// halvix/src/LabelledLine.h - one line of an object dump (internal).
#ifndef HALVIX_SRC_LABELLEDLINE_H
#define HALVIX_SRC_LABELLEDLINE_H

#include <ostream>
#include <string>

namespace halvix::utils {

// The dumps of queues, tasks and timers align their values: the label padded
// with blanks to 20 characters, "= ", the value, std::endl.
template <typename Value>
std::ostream& outputLabelledLine(std::ostream& os, const std::string& label, const Value& value)
{
    constexpr std::string::size_type LABEL_WIDTH = 20;
    os << label;
    if (label.size() < LABEL_WIDTH) {
        os << std::string(LABEL_WIDTH - label.size(), ' ');
    }
    return os << "= " << value << std::endl;
}

// A value between single quotes, as the dumps show names.
inline std::string quoted(const std::string& text)
{
    return "'" + text + "'";
}

}  // namespace halvix::utils

#endif  // HALVIX_SRC_LABELLEDLINE_H
