#include "session/Plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_set>

namespace velmora {

namespace {

    // The smallest 1, 2 or 5 times a power of ten at or above d (1 for none).
    double NiceCeiling(double d)
    {
        if (!(d > 0))
            return 1;
        const double dPower = std::pow(10.0, std::floor(std::log10(d)));
        for (double dStep : { 1.0, 2.0, 5.0, 10.0 }) {
            // A little slack, so that 2.0000000001 is no reason for 5.
            if (dStep * dPower >= d * (1 - 1e-9))
                return dStep * dPower;
        }
        return 10 * dPower;
    }

    // A tick's value with the decimals its step needs, and no trailing zeros.
    std::string Number(double d, double dStep)
    {
        const int iDecimals
            = dStep > 0 ? std::max(0, static_cast<int>(std::ceil(-std::log10(dStep) - 1e-9))) : 0;
        char sz[48];
        std::snprintf(sz, sizeof sz, "%.*f", iDecimals, d);
        std::string cs = sz;
        if (cs.find('.') != std::string::npos) {
            while (cs.back() == '0')
                cs.pop_back();
            if (cs.back() == '.')
                cs.pop_back();
        }
        return cs;
    }

    // Five intervals from 0 to dEnd along [dFrom, dTo] of the screen.
    std::vector<SPlotTick> Ticks(double dEnd, double dFrom, double dTo)
    {
        std::vector<SPlotTick> ticks;
        for (int i = 0; i <= 5; ++i)
            ticks.push_back({ dFrom + (dTo - dFrom) * i / 5, Number(dEnd * i / 5, dEnd / 5) });
        return ticks;
    }

} // namespace

SScatter LayOutScatter(
    const std::vector<SPlotSample>& samples, const SPlotBox& box, size_t nMaxDots)
{
    SScatter s;
    s.box = box;
    s.nSamples = samples.size();
    int64_t llMaxSend = 0;
    int64_t llMaxRoundTrip = 0;
    for (const SPlotSample& sample : samples) {
        llMaxSend = std::max(llMaxSend, sample.llSendNs);
        llMaxRoundTrip = std::max(llMaxRoundTrip, sample.llRoundTripNs);
    }
    s.dMaxSendS = NiceCeiling(static_cast<double>(llMaxSend) / 1e9);
    s.dMaxRoundTripMs = NiceCeiling(static_cast<double>(llMaxRoundTrip) / 1e6);
    auto X = [&](int64_t llNs) {
        return box.dLeft + box.dWidth * (static_cast<double>(llNs) / 1e9) / s.dMaxSendS;
    };
    auto Y = [&](int64_t llNs) {
        return box.Bottom() - box.dHeight * (static_cast<double>(llNs) / 1e6) / s.dMaxRoundTripMs;
    };
    std::vector<SPlotDot> answered;
    std::vector<SPlotDot> unanswered;
    for (const SPlotSample& sample : samples) {
        if (sample.llRoundTripNs >= 0)
            answered.push_back(
                { X(sample.llSendNs), Y(sample.llRoundTripNs), sample.nLine, false });
        else
            // Along the top edge: at the origin they hid under the dots of the
            // quick answers.
            unanswered.push_back({ X(sample.llSendNs), box.dTop, sample.nLine, true });
    }
    if (samples.size() > nMaxDots) {
        s.bThinned = true;
        auto Thin = [](std::vector<SPlotDot>& dots, size_t nMax) {
            std::unordered_set<uint64_t> cells;
            std::vector<SPlotDot> kept;
            for (const SPlotDot& d : dots) {
                const uint64_t uCell
                    = (static_cast<uint64_t>(std::lround(std::max(0.0, d.dX))) << 32)
                    | static_cast<uint64_t>(std::lround(std::max(0.0, d.dY)));
                if (cells.insert(uCell).second)
                    kept.push_back(d);
            }
            if (nMax > 0 && kept.size() > nMax) {
                const size_t nStep = (kept.size() + nMax - 1) / nMax;
                std::vector<SPlotDot> every;
                for (size_t i = 0; i < kept.size(); i += nStep)
                    every.push_back(kept[i]);
                kept.swap(every);
            }
            dots.swap(kept);
        };
        // The share of each kind stays as it was.
        const size_t nAnsweredMax = nMaxDots * answered.size() / samples.size();
        Thin(answered, std::max<size_t>(nAnsweredMax, 1));
        Thin(unanswered, std::max<size_t>(nMaxDots - std::min(nMaxDots, answered.size()), 1));
    }
    s.dots = std::move(answered);
    s.dots.insert(s.dots.end(), unanswered.begin(), unanswered.end());
    s.xTicks = Ticks(s.dMaxSendS, box.dLeft, box.Right());
    s.yTicks = Ticks(s.dMaxRoundTripMs, box.Bottom(), box.dTop);
    return s;
}

SHistogram LayOutHistogram(
    const std::vector<int64_t>& roundTripsNs, const SPlotBox& box, size_t nBins)
{
    SHistogram h;
    h.box = box;
    h.stats = judge::RoundTripStats(roundTripsNs);
    nBins = std::max<size_t>(nBins, 1);
    h.dMaxMs = NiceCeiling(static_cast<double>(std::max<int64_t>(h.stats.llMaxNs, 0)) / 1e6);
    std::vector<size_t> counts(nBins, 0);
    for (int64_t ll : roundTripsNs) {
        // Multiplied before divided, so that a value on a bin's edge lands in it.
        const size_t i = static_cast<size_t>(
            std::max(0.0, static_cast<double>(ll) * static_cast<double>(nBins) / (h.dMaxMs * 1e6)));
        counts[std::min(i, nBins - 1)] += 1; // the axis's end falls in the last bin
    }
    h.nMaxCount = *std::max_element(counts.begin(), counts.end());
    const double dBinWidth = box.dWidth / static_cast<double>(nBins);
    for (size_t i = 0; i < nBins; ++i) {
        SHistogramBar bar;
        bar.nCount = counts[i];
        bar.dFromMs = h.dMaxMs * static_cast<double>(i) / static_cast<double>(nBins);
        bar.dToMs = h.dMaxMs * static_cast<double>(i + 1) / static_cast<double>(nBins);
        bar.dX = box.dLeft + dBinWidth * static_cast<double>(i);
        bar.dWidth = dBinWidth;
        bar.dHeight = h.nMaxCount
            ? box.dHeight * static_cast<double>(counts[i]) / static_cast<double>(h.nMaxCount)
            : 0;
        bar.dY = box.Bottom() - bar.dHeight;
        h.bars.push_back(bar);
    }
    auto X = [&](int64_t llNs) {
        return box.dLeft + box.dWidth * (static_cast<double>(llNs) / 1e6) / h.dMaxMs;
    };
    if (h.stats.nCount > 0) {
        h.dMedianX = X(h.stats.llMedianNs);
        h.dP95X = X(h.stats.llP95Ns);
    }
    h.xTicks = Ticks(h.dMaxMs, box.dLeft, box.Right());
    return h;
}

std::vector<SPlotSample> PlotSamples(const judge::SJudgement& j, const std::vector<bool>* pKeep)
{
    int64_t llFirst = 0;
    for (const judge::SJudgeLine& line : j.lines) {
        if (line.llSentNs != 0 && (llFirst == 0 || line.llSentNs < llFirst))
            llFirst = line.llSentNs;
    }
    std::vector<SPlotSample> samples;
    samples.reserve(j.lines.size());
    for (size_t n = 0; n < j.lines.size(); ++n) {
        const judge::SJudgeLine& line = j.lines[n];
        // Not let through, not stamped, or answered but not timed: no place on the axes.
        if ((pKeep && (n >= pKeep->size() || !(*pKeep)[n])) || line.llSentNs == 0
            || (line.bAnswered && line.llRoundTripNs < 0))
            continue;
        samples.push_back({ line.llSentNs - llFirst, line.bAnswered ? line.llRoundTripNs : -1, n });
    }
    return samples;
}

long NearestDot(const SScatter& scatter, double dX, double dY, double dRadius)
{
    long iBest = -1;
    double dBest = dRadius * dRadius;
    for (size_t i = 0; i < scatter.dots.size(); ++i) {
        const double dx = scatter.dots[i].dX - dX;
        const double dy = scatter.dots[i].dY - dY;
        if (dx * dx + dy * dy <= dBest) {
            dBest = dx * dx + dy * dy;
            iBest = static_cast<long>(i);
        }
    }
    return iBest;
}

} // namespace velmora
