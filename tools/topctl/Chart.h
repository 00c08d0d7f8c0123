// Charts of a flow's performance history: the phase error's minimum,
// average and maximum and the seconds without lock per interval, oldest
// first, drawn in the terminal (Unicode, at most 80 columns) or as an SVG
// document a browser opens.
#pragma once

#include <string>
#include <vector>

namespace topctl {

struct History {
    std::string title;
    // Per interval, oldest first.
    std::vector<long long> minimum, average, maximum, sls;
    // Labels of the first and the last interval (their end times).
    std::string firstLabel, lastLabel;
};

// Lines of text, each at most 80 columns wide.
std::vector<std::string> terminalChart(History const& h);
// A whole SVG document; each series carries its values in data-values.
std::string svgChart(History const& h);

}  // namespace topctl
