#pragma once

#include <QLabel>
#include <QString>

// A read-only label as assistive technology should know it. By default it is read like any label,
// by its text. Given an accessible name (the row label it belongs to, or what it reports), it keeps
// that name, its text is read as its value, and each change of the text is reported.
class AccessibleLabel : public QLabel {
    Q_OBJECT
public:
    explicit AccessibleLabel(const QString& text = {}, QWidget* parent = nullptr);

    // Hides QLabel::setText so that changes can be reported: set the text through this type.
    void setText(const QString& text);
    // Makes it the window's status line under this name: screen readers find it as the status bar.
    void setStatusLine(const QString& name);
    bool isStatusLine() const { return statusLine; }

private:
    bool statusLine = false;
};

// Names a view after its row label, without the colon ("Computer ID:" names it "Computer ID"), and
// ties the two together, so that a screen reader reads "Computer ID: " and the view's value.
void nameByRow(QLabel* rowLabel, QWidget* view);
