#pragma once

// The Results window's two round-trip plots, painted by us rather than with
// Qt Charts: no new dependency, and the very mapping the report's SVG uses
// (session/Plot.h), so window and report draw the same picture. Clicking a
// dot says which result line it is.

#include "judge/Judge.h"
#include "session/Plot.h"

#include <QWidget>
#include <vector>

namespace velmora {

class CRoundTripPlot final : public QWidget {
    Q_OBJECT
public:
    explicit CRoundTripPlot(QWidget* pParent = nullptr);

    // The lines to plot (each with its request's send stamp); SetKeep says
    // which lines the filter lets through (empty: all).
    void SetData(const judge::SJudgement& judgement);
    void SetKeep(const std::vector<bool>& keep);

    // What was laid out at the last paint (for tests, and the click).
    const SScatter& Scatter() const { return m_scatter; }
    const SHistogram& Histogram() const { return m_histogram; }
    // Lays the plots out for the widget's size now.
    void LayOut();

    QSize sizeHint() const override;

signals:
    void LineClicked(size_t nLine);

protected:
    void paintEvent(QPaintEvent* pEvent) override;
    void mousePressEvent(QMouseEvent* pEvent) override;
    void resizeEvent(QResizeEvent* pEvent) override;

private:
    judge::SJudgement m_judgement;
    std::vector<bool> m_keep;
    SScatter m_scatter;
    SHistogram m_histogram;
};

} // namespace velmora
