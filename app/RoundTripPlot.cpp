#include "app/RoundTripPlot.h"

#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace velmora {

namespace {

    QColor VerdictColour(judge::EVerdict e)
    {
        switch (e) {
        case judge::EVerdict::Ok:
            return QColor(0x2e, 0x8b, 0x3a);
        case judge::EVerdict::Answered:
            return QColor(0x2f, 0x6f, 0xb3);
        case judge::EVerdict::Differs:
            return QColor(0xd9, 0x82, 0x2b);
        case judge::EVerdict::ValueChanged:
            return QColor(0xe3, 0xb5, 0x05);
        case judge::EVerdict::Unanswered:
            return QColor(0xc6, 0x28, 0x28);
        case judge::EVerdict::NoRecord:
        case judge::EVerdict::Stopped:
            break;
        }
        return QColor(0x7b, 0x7b, 0x7b);
    }

} // namespace

CRoundTripPlot::CRoundTripPlot(QWidget* pParent)
    : QWidget(pParent)
{
    setObjectName(QStringLiteral("roundTripPlot"));
    setMinimumHeight(fontMetrics().height() * 9);
    setToolTip(tr("Round trip against send time (unanswered: crosses along the top edge), and how "
                  "many answers took how long, median and p95 marked. Click a dot to select its "
                  "row."));
}

QSize CRoundTripPlot::sizeHint() const
{
    return QSize(fontMetrics().averageCharWidth() * 120, fontMetrics().height() * 12);
}

void CRoundTripPlot::SetData(const judge::SJudgement& judgement)
{
    m_judgement = judgement;
    m_keep.clear();
    LayOut();
    update();
}

void CRoundTripPlot::SetKeep(const std::vector<bool>& keep)
{
    m_keep = keep;
    LayOut();
    update();
}

void CRoundTripPlot::LayOut()
{
    const int iText = fontMetrics().height();
    const double dLeft = fontMetrics().averageCharWidth() * 8;
    const double dHalf = width() * 0.6;
    const SPlotBox scatterBox { dLeft, iText * 0.5, std::max(10.0, dHalf - dLeft - 10),
        std::max(10.0, height() - iText * 2.5) };
    m_scatter
        = LayOutScatter(PlotSamples(m_judgement, m_keep.empty() ? nullptr : &m_keep), scatterBox);
    std::vector<int64_t> roundTrips;
    for (size_t n = 0; n < m_judgement.lines.size(); ++n) {
        const judge::SJudgeLine& line = m_judgement.lines[n];
        // The histogram counts what the summary counts: each request's first answer.
        const bool bFirst = n == 0 || m_judgement.lines[n - 1].nRequest != line.nRequest;
        if (bFirst && line.llRoundTripNs >= 0
            && (m_keep.empty() || (n < m_keep.size() && m_keep[n])))
            roundTrips.push_back(line.llRoundTripNs);
    }
    const SPlotBox histogramBox { dHalf + dLeft * 0.6, iText * 0.5,
        std::max(10.0, width() - dHalf - dLeft * 0.6 - 10), scatterBox.dHeight };
    m_histogram = LayOutHistogram(roundTrips, histogramBox);
}

void CRoundTripPlot::resizeEvent(QResizeEvent* pEvent)
{
    QWidget::resizeEvent(pEvent);
    LayOut();
}

void CRoundTripPlot::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), QColor(0xfa, 0xfa, 0xfa));
    p.setRenderHint(QPainter::Antialiasing);
    const QColor axis(0x88, 0x88, 0x88);
    const int iText = fontMetrics().height();
    auto Axes = [&](const SPlotBox& box) {
        p.setPen(axis);
        p.drawLine(QPointF(box.dLeft, box.dTop), QPointF(box.dLeft, box.Bottom()));
        p.drawLine(QPointF(box.dLeft, box.Bottom()), QPointF(box.Right(), box.Bottom()));
    };
    const SPlotBox& sb = m_scatter.box;
    Axes(sb);
    p.setPen(QColor(0x44, 0x44, 0x44));
    for (const SPlotTick& t : m_scatter.xTicks)
        p.drawText(QRectF(t.dAt - 40, sb.Bottom() + 2, 80, iText), Qt::AlignHCenter,
            QString::fromStdString(t.csLabel));
    for (const SPlotTick& t : m_scatter.yTicks)
        p.drawText(QRectF(0, t.dAt - iText / 2.0, sb.dLeft - 4, iText), Qt::AlignRight,
            QString::fromStdString(t.csLabel));
    p.drawText(QRectF(sb.dLeft, sb.Bottom() + iText, sb.dWidth, iText), Qt::AlignHCenter,
        m_scatter.bThinned ? tr("send time (s), thinned: %1 of %2 drawn")
                                 .arg(m_scatter.dots.size())
                                 .arg(m_scatter.nSamples)
                           : tr("send time (s); round trip (ms) up"));
    for (const SPlotDot& d : m_scatter.dots) {
        const QColor c = VerdictColour(m_judgement.lines[d.nLine].eVerdict);
        if (d.bUnanswered) {
            // A cross on the top edge: no dot of a quick answer covers it.
            p.setPen(QPen(c, 2));
            p.drawLine(QPointF(d.dX - 4, d.dY - 4), QPointF(d.dX + 4, d.dY + 4));
            p.drawLine(QPointF(d.dX - 4, d.dY + 4), QPointF(d.dX + 4, d.dY - 4));
        } else {
            p.setPen(Qt::NoPen);
            p.setBrush(c);
            p.drawEllipse(QPointF(d.dX, d.dY), 2.5, 2.5);
        }
    }
    const SPlotBox& hb = m_histogram.box;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x7d, 0xa7, 0xd9));
    for (const SHistogramBar& bar : m_histogram.bars) {
        if (bar.nCount > 0)
            p.drawRect(QRectF(bar.dX, bar.dY, std::max(1.0, bar.dWidth - 1), bar.dHeight));
    }
    Axes(hb);
    p.setPen(QColor(0x44, 0x44, 0x44));
    for (const SPlotTick& t : m_histogram.xTicks)
        p.drawText(QRectF(t.dAt - 40, hb.Bottom() + 2, 80, iText), Qt::AlignHCenter,
            QString::fromStdString(t.csLabel));
    p.drawText(QRectF(hb.dLeft, hb.Bottom() + iText, hb.dWidth, iText), Qt::AlignHCenter,
        tr("round trip (ms)"));
    if (m_histogram.stats.nCount > 0) {
        const std::pair<double, QString> marks[] = {
            { m_histogram.dMedianX,
                tr("median %1")
                    .arg(QString::fromStdString(judge::ShortMs(m_histogram.stats.llMedianNs))) },
            { m_histogram.dP95X,
                tr("p95 %1").arg(
                    QString::fromStdString(judge::ShortMs(m_histogram.stats.llP95Ns))) },
        };
        const QColor colours[] = { QColor(0x2f, 0x6f, 0xb3), QColor(0xa3, 0x15, 0x15) };
        for (int i = 0; i < 2; ++i) {
            p.setPen(QPen(colours[i], 2));
            p.drawLine(QPointF(marks[i].first, hb.dTop), QPointF(marks[i].first, hb.Bottom()));
            p.drawText(QPointF(marks[i].first + 3, hb.dTop + iText * (i + 1)), marks[i].second);
        }
    }
}

void CRoundTripPlot::mousePressEvent(QMouseEvent* pEvent)
{
    const QPointF at = pEvent->position();
    const long iDot = NearestDot(m_scatter, at.x(), at.y(), 6);
    if (iDot >= 0)
        emit LineClicked(m_scatter.dots[static_cast<size_t>(iDot)].nLine);
    QWidget::mousePressEvent(pEvent);
}

} // namespace velmora
