#pragma once

// Where the round-trip plots put their marks, for the report's SVG and the
// Results window's painting alike: one mapping, so both draw the same picture.
// No widgets: boxes in, coordinates out (y grows downwards, as on a screen).

#include "judge/Judge.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

struct SPlotBox {
    double dLeft = 0;
    double dTop = 0;
    double dWidth = 0;
    double dHeight = 0;
    double Right() const { return dLeft + dWidth; }
    double Bottom() const { return dTop + dHeight; }
};

// One request line in the scatter: when it went (since the first request)
// and its round trip (-1: unanswered).
struct SPlotSample {
    int64_t llSendNs = 0;
    int64_t llRoundTripNs = -1;
    size_t nLine = 0; // index into the judgement's lines
};

struct SPlotTick {
    double dAt = 0; // x for the x axis, y for the y axis
    std::string csLabel;
};

struct SPlotDot {
    double dX = 0;
    double dY = 0;
    size_t nLine = 0;
    bool bUnanswered = false; // a mark along the plot's top edge (dY), not a dot
};

struct SScatter {
    SPlotBox box;
    double dMaxSendS = 1; // the x axis's end, seconds
    double dMaxRoundTripMs = 1; // the y axis's end, milliseconds
    std::vector<SPlotDot> dots; // answered dots, then unanswered marks
    std::vector<SPlotTick> xTicks;
    std::vector<SPlotTick> yTicks;
    size_t nSamples = 0; // samples given
    bool bThinned = false; // fewer dots drawn than samples (see nMaxDots)
};

// Lays out round trip against send time. Above nMaxDots samples the plot is
// thinned: one dot per pixel it covers, then every k-th, so a dense plot
// looks the same and stays light.
SScatter LayOutScatter(
    const std::vector<SPlotSample>& samples, const SPlotBox& box, size_t nMaxDots = 20000);

struct SHistogramBar {
    double dX = 0;
    double dY = 0;
    double dWidth = 0;
    double dHeight = 0;
    size_t nCount = 0;
    double dFromMs = 0;
    double dToMs = 0;
};

struct SHistogram {
    SPlotBox box;
    double dMaxMs = 1; // the x axis's end
    size_t nMaxCount = 0; // the tallest bar's count (the y axis's end)
    std::vector<SHistogramBar> bars;
    std::vector<SPlotTick> xTicks;
    judge::SRoundTripStats stats; // the marks' values
    double dMedianX = -1; // -1 when there is no round trip
    double dP95X = -1;
};

// Lays out a histogram of round trips in nBins equal bins from 0 to a round
// axis end, with the median and p95 (judge::RoundTripStats) marked.
SHistogram LayOutHistogram(
    const std::vector<int64_t>& roundTripsNs, const SPlotBox& box, size_t nBins = 30);

// The samples of a judgement: each line's request's send time (its kernel
// stamp, relative to the earliest stamp) and round trip. Lines whose request
// has no send stamp are left out. keep (when given) says which lines count.
std::vector<SPlotSample> PlotSamples(
    const judge::SJudgement& judgement, const std::vector<bool>* pKeep = nullptr);

// The nearest dot to (dX, dY) within dRadius; -1 when none.
long NearestDot(const SScatter& scatter, double dX, double dY, double dRadius);

} // namespace velmora
