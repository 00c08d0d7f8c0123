#include "Chart.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace topctl {

namespace {

int const kRows = 10;     // rows of the phase error panel
int const kLabel = 9;     // width of the value labels and the axis
int const kColumns = 64;  // at most: the label and the plot fit 80 columns

// One column of the terminal chart: the intervals [from, to) folded.
struct Column {
    long long lo, avg, hi, sls;
};

std::vector<Column> fold(History const& h) {
    size_t const n = h.average.size();
    size_t const columns = std::min<size_t>(n, kColumns);
    std::vector<Column> out;
    for (size_t c = 0; c < columns; ++c) {
        size_t const from = c * n / columns, to = (c + 1) * n / columns;
        Column col{h.minimum[from], 0, h.maximum[from], 0};
        long long sum = 0;
        for (size_t i = from; i < to; ++i) {
            col.lo = std::min(col.lo, h.minimum[i]);
            col.hi = std::max(col.hi, h.maximum[i]);
            col.sls = std::max(col.sls, h.sls[i]);
            sum += h.average[i];
        }
        col.avg = sum / static_cast<long long>(to - from);
        out.push_back(col);
    }
    return out;
}

std::string label(long long v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%*lld ", kLabel - 2, v);
    return buf;
}

}  // namespace

std::vector<std::string> terminalChart(History const& h) {
    std::vector<std::string> lines;
    lines.push_back(h.title);
    if (h.average.empty()) {
        lines.push_back("  no intervals yet");
        return lines;
    }
    std::vector<Column> const cols = fold(h);
    long long lo = cols[0].lo, hi = cols[0].hi, slsMax = 0;
    for (auto const& c : cols) {
        lo = std::min(lo, c.lo);
        hi = std::max(hi, c.hi);
        slsMax = std::max(slsMax, c.sls);
    }
    if (hi == lo) ++hi;
    // Row 0 holds hi, row kRows-1 holds lo.
    auto rowOf = [&](long long v) {
        return static_cast<int>((hi - v) * (kRows - 1) * 2 / (hi - lo) + 1) / 2;
    };
    lines.push_back("phase error (ns): \u25CF average, \u2502 minimum to maximum; " + std::to_string(h.average.size()) +
                    " intervals, " + std::to_string((h.average.size() + cols.size() - 1) / cols.size()) +
                    " per column");
    for (int r = 0; r < kRows; ++r) {
        std::string line =
            r == 0 ? label(hi) : r == kRows - 1 ? label(lo) : r == kRows / 2 ? label(hi - (hi - lo) * r / (kRows - 1))
                                                                                : std::string(kLabel - 1, ' ');
        line += r == 0 || r == kRows - 1 ? "\u2524" : "\u2502";
        for (auto const& c : cols) {
            int const top = rowOf(c.hi), bottom = rowOf(c.lo), mid = rowOf(c.avg);
            line += r == mid ? "\u25CF" : r >= top && r <= bottom ? "\u2502" : " ";
        }
        lines.push_back(line);
    }
    // Seconds without lock: eighth blocks up to the largest value.
    static char const* const blocks[] = {" ", "\u2581", "\u2582", "\u2583", "\u2584",
                                         "\u2585", "\u2586", "\u2587", "\u2588"};
    std::string bars = label(slsMax) + "\u2524";
    for (auto const& c : cols) bars += blocks[slsMax == 0 ? 0 : (c.sls * 8 + slsMax - 1) / slsMax];
    lines.push_back("seconds without lock (s), largest per column:");
    lines.push_back(bars);
    std::string axis = std::string(kLabel - 1, ' ') + "\u2514";
    for (size_t i = 0; i < cols.size(); ++i) axis += "\u2500";
    lines.push_back(axis);
    std::string ends = std::string(kLabel, ' ') + h.firstLabel;
    size_t const width = kLabel + cols.size();
    if (ends.size() + 1 + h.lastLabel.size() <= std::max<size_t>(width, 80)) {
        size_t pad = width > ends.size() + h.lastLabel.size() ? width - ends.size() - h.lastLabel.size() : 1;
        ends += std::string(pad, ' ') + h.lastLabel;
    }
    lines.push_back(ends);
    return lines;
}

std::string svgChart(History const& h) {
    int const width = 800, height = 480, left = 70, right = 20, top = 40, plot = 280, slsTop = 360, slsHeight = 80;
    size_t const n = h.average.size();
    long long lo = 0, hi = 1, slsMax = 1;
    for (size_t i = 0; i < n; ++i) {
        lo = i == 0 ? h.minimum[i] : std::min(lo, h.minimum[i]);
        hi = i == 0 ? h.maximum[i] : std::max(hi, h.maximum[i]);
        slsMax = std::max(slsMax, h.sls[i]);
    }
    if (hi <= lo) hi = lo + 1;
    double const step = n > 1 ? double(width - left - right) / double(n - 1) : 0;
    auto x = [&](size_t i) { return left + step * double(i); };
    auto y = [&](long long v) { return top + double(hi - v) * plot / double(hi - lo); };
    std::ostringstream s;
    s << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height << "\" viewBox=\"0 0 "
      << width << " " << height << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      << "<title>" << h.title << "</title>\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      << "<text x=\"" << left << "\" y=\"20\" font-size=\"14\">" << h.title << "</text>\n"
      << "<text x=\"4\" y=\"" << top + 4 << "\">" << hi << " ns</text>\n"
      << "<text x=\"4\" y=\"" << top + plot + 4 << "\">" << lo << " ns</text>\n"
      << "<line x1=\"" << left << "\" y1=\"" << top << "\" x2=\"" << left << "\" y2=\"" << top + plot
      << "\" stroke=\"black\"/>\n";
    if (lo < 0 && hi > 0)
        s << "<line x1=\"" << left << "\" y1=\"" << y(0) << "\" x2=\"" << width - right << "\" y2=\"" << y(0)
          << "\" stroke=\"#bbb\" stroke-dasharray=\"4 3\"/>\n";
    struct Series {
        char const* name;
        char const* colour;
        std::vector<long long> const* values;
    };
    Series const series[] = {{"maximum", "#c0392b", &h.maximum},
                             {"average", "#2c3e50", &h.average},
                             {"minimum", "#2874a6", &h.minimum}};
    int legend = 0;
    for (auto const& sr : series) {
        s << "<polyline class=\"" << sr.name << "\" fill=\"none\" stroke=\"" << sr.colour
          << "\" stroke-width=\"1.5\" data-values=\"";
        for (size_t i = 0; i < n; ++i) s << (i ? " " : "") << (*sr.values)[i];
        s << "\" points=\"";
        for (size_t i = 0; i < n; ++i) s << (i ? " " : "") << x(i) << "," << y((*sr.values)[i]);
        s << "\"/>\n<text x=\"" << width - right - 250 + legend * 85 << "\" y=\"20\" fill=\"" << sr.colour << "\">"
          << sr.name << "</text>\n";
        ++legend;
    }
    s << "<text x=\"4\" y=\"" << slsTop - 8 << "\">seconds without lock (largest " << slsMax << " s)</text>\n"
      << "<g class=\"sls\" fill=\"#7d3c98\" data-values=\"";
    for (size_t i = 0; i < n; ++i) s << (i ? " " : "") << h.sls[i];
    s << "\">\n";
    double const bar = n > 0 ? std::max(1.0, double(width - left - right) / double(n) - 1) : 1;
    for (size_t i = 0; i < n; ++i) {
        double const hgt = double(h.sls[i]) * slsHeight / double(slsMax);
        s << "<rect x=\"" << x(i) - bar / 2 << "\" y=\"" << slsTop + slsHeight - hgt << "\" width=\"" << bar
          << "\" height=\"" << hgt << "\"/>\n";
    }
    s << "</g>\n<text x=\"" << left << "\" y=\"" << height - 6 << "\">" << h.firstLabel << "</text>\n"
      << "<text x=\"" << width - right << "\" y=\"" << height - 6 << "\" text-anchor=\"end\">" << h.lastLabel
      << "</text>\n</svg>\n";
    return s.str();
}

}  // namespace topctl
