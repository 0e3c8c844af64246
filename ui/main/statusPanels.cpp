#include "statusPanels.h"

#include <QLabel>

#include <algorithm>

namespace {
// Space between the panels, and above them within the bar.
constexpr int gap = 2;
}

StatusPanels::StatusPanels(int firstPanelWidth, QWidget* parent)
    : QWidget(parent), firstPanelWidth_(firstPanelWidth)
{
    for (QLabel*& panel : panels_) {
        panel = new QLabel(this);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setLineWidth(1);
        panel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        panel->setIndent(2);
        panel->setTextFormat(Qt::PlainText);
        panel->setWordWrap(false);
    }
    setFocusPolicy(Qt::NoFocus);
}

QString StatusPanels::panelText(int panel) const
{
    return panels_.at(static_cast<std::size_t>(panel))->text();
}

void StatusPanels::setPanelText(int panel, const QString& text)
{
    panels_.at(static_cast<std::size_t>(panel))->setText(text);
}

void StatusPanels::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    // Fixed geometry rather than a layout: a long text is cut at the panel's edge and
    // never widens the bar or the window.
    const int panelHeight = height() - gap;
    panels_[0]->setGeometry(0, gap, firstPanelWidth_ - gap, panelHeight);
    panels_[1]->setGeometry(firstPanelWidth_, gap, std::max(0, width() - firstPanelWidth_),
                            panelHeight);
}
