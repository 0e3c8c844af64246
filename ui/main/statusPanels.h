#pragma once
// The main window's status bar: two sunken panels of left-aligned text, the first of a
// fixed width, the last running to the right end of the bar. No size grip.

#include <QWidget>

#include <array>

class QLabel;

class StatusPanels : public QWidget {
public:
    explicit StatusPanels(int firstPanelWidth, QWidget* parent = nullptr);

    QString panelText(int panel) const;
    void setPanelText(int panel, const QString& text);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    int firstPanelWidth_;
    std::array<QLabel*, 2> panels_{};
};
